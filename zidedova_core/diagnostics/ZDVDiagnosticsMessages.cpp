// Schema tables of the diagnostics messages: slot order, type words, field numbers and nested messages.
#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"

#include <map>

#include "core_configuration.pb.h"
#include "loglane.pb.h"

namespace zidedova {

namespace {

template <class T>
std::shared_ptr<NANOMessage> create() {
    return std::make_shared<T>();
}

extern const NANOMessageSchema kClientInfo, kIosClientInfo, kLogEvent, kLogRequest, kErrorInfo, kCoreConfiguration;

// --- IosClientInfo: eight strings, slot i is field i + 1.
constexpr uint32_t kIosTypes[8] = {0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002, 0x2002};
constexpr uint32_t kIosNumbers[8] = {1, 2, 3, 4, 5, 6, 7, 8};
const char* const kIosNames[8] = {
    nullptr, "install_identifier", nullptr, "os_version", "application_build", nullptr, nullptr, nullptr};
const NANOMessageSchema* const kIosNested[8] = {};

// --- ClientInfo
constexpr uint32_t kClientTypes[4] = {0x42, 0x2002, 0x2002, 0x4002};
constexpr uint32_t kClientNumbers[4] = {1, 6, 7, 4};
const char* const kClientNames[4] = {"client_type", nullptr, nullptr, "ios_client_info"};
const NANOMessageSchema* const kClientNested[4] = {nullptr, nullptr, nullptr, &kIosClientInfo};

// --- LogEvent
constexpr uint32_t kEventTypes[18] = {0x202,  0x202,  0x202,  0x2002, 0x82,   0x82,   0x22, 0x8002, 0x8002,
                                      0x2002, 0x2002, 0x2002, 0x202,  0x8002, 0x2002, 0x42, 0x88,   0x202};
constexpr uint32_t kEventNumbers[18] = {1, 17, 21, 2, 11, 12, 10, 4, 6, 8, 13, 14, 15, 18, 24, 19, 20, 22};
const char* const kEventNames[18] = {
    "event_time_ms", "event_uptime_ms", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,     "source_extension",
    nullptr,         nullptr,           nullptr, nullptr, nullptr, nullptr, nullptr, "test_code", nullptr};
const NANOMessageSchema* const kEventNested[18] = {};

// --- LogRequest
constexpr uint32_t kRequestTypes[9] = {0x202, 0x202, 0x4002, 0x42, 0x2002, 0x2002, 0x4008, 0x8008, 0x42};
constexpr uint32_t kRequestNumbers[9] = {4, 8, 1, 2, 6, 7, 3, 5, 10};
const char* const kRequestNames[9] = {
    "request_time_ms", "request_uptime_ms", "client_info",           "log_source", nullptr,
    "zwieback_cookie", "log_event",         "serialized_log_events", nullptr};
const NANOMessageSchema* const kRequestNested[9] = {nullptr, nullptr,    &kClientInfo, nullptr, nullptr,
                                                    nullptr, &kLogEvent, nullptr,      nullptr};

// --- ErrorInfo
constexpr uint32_t kErrorTypes[3] = {0x22, 0x82, 0x2002};
constexpr uint32_t kErrorNumbers[3] = {1, 2, 3};
const char* const kErrorNames[3] = {"error_flag", "error_code", "error_domain"};
const NANOMessageSchema* const kErrorNested[3] = {};

// --- ICoreConfiguration: fields 1 to 35 without 8.
constexpr uint32_t kConfigTypes[34] = {0x42,   0x42,   0x2002, 0x2002, 0x2002, 0x202,  0x42,   0x2002, 0x48,
                                       0x48,   0x42,   0x4002, 0x4008, 0x2002, 0x2002, 0x2002, 0x202,  0x2002,
                                       0x2002, 0x2002, 0x2002, 0x2002, 0x22,   0x82,   0x22,   0x82,   0x2002,
                                       0x22,   0x42,   0x2002, 0x202,  0x22,   0x82,   0x82};
constexpr uint32_t kConfigNumbers[34] = {16, 1,  2,  18, 19, 3,  4,  5,  6,  7,  20, 15, 17, 9,  22, 10, 11,
                                         12, 13, 23, 24, 14, 25, 21, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35};
const char* const kConfigNames[34] = {nullptr,
                                      "configuration_type",
                                      nullptr,
                                      "library_version_id",
                                      "sdk_version",
                                      nullptr,
                                      nullptr,
                                      nullptr,
                                      "sdk_service_enabled",
                                      "sdk_service_installed",
                                      "sdk_name",
                                      "error_info",
                                      "subspec_error_info",
                                      "device_model",
                                      "os_version",
                                      "app_id",
                                      nullptr,
                                      "bundle_id",
                                      nullptr,
                                      nullptr,
                                      "minimum_os_version",
                                      "install_string",
                                      "using_options_from_default_plist",
                                      "app_count",
                                      "is_from_app_store",
                                      "linked_framework_count",
                                      "build_tools_version",
                                      nullptr,
                                      nullptr,
                                      "user_agent",
                                      nullptr,
                                      "app_delegate_proxy_enabled",
                                      nullptr,
                                      nullptr};
const NANOMessageSchema* const kConfigNested[34] = {nullptr, nullptr,     nullptr,    nullptr, nullptr,
                                                    nullptr, nullptr,     nullptr,    nullptr, nullptr,
                                                    nullptr, &kErrorInfo, &kErrorInfo};

const NANOMessageSchema kIosClientInfo = {"IosClientInfo",
                                          "LLNPBIosClientInfo",
                                          8,
                                          kIosTypes,
                                          kIosNumbers,
                                          kIosNames,
                                          kIosNested,
                                          &llnpb_IosClientInfo_msg,
                                          sizeof(llnpb_IosClientInfo),
                                          &create<LLNPBIosClientInfo>};
const NANOMessageSchema kClientInfo = {"ClientInfo",
                                       "LLNPBClientInfo",
                                       4,
                                       kClientTypes,
                                       kClientNumbers,
                                       kClientNames,
                                       kClientNested,
                                       &llnpb_ClientInfo_msg,
                                       sizeof(llnpb_ClientInfo),
                                       &create<LLNPBClientInfo>};
const NANOMessageSchema kLogEvent = {"LogEvent",
                                     "LLNPBLogEvent",
                                     18,
                                     kEventTypes,
                                     kEventNumbers,
                                     kEventNames,
                                     kEventNested,
                                     &llnpb_LogEvent_msg,
                                     sizeof(llnpb_LogEvent),
                                     &create<LLNPBLogEvent>};
const NANOMessageSchema kLogRequest = {"LogRequest",
                                       "LLNPBLogRequest",
                                       9,
                                       kRequestTypes,
                                       kRequestNumbers,
                                       kRequestNames,
                                       kRequestNested,
                                       &llnpb_LogRequest_msg,
                                       sizeof(llnpb_LogRequest),
                                       &create<LLNPBLogRequest>};
const NANOMessageSchema kErrorInfo = {"ErrorInfo",
                                      "ZDVPBErrorInfo",
                                      3,
                                      kErrorTypes,
                                      kErrorNumbers,
                                      kErrorNames,
                                      kErrorNested,
                                      &zdvpb_ErrorInfo_msg,
                                      sizeof(zdvpb_ErrorInfo),
                                      &create<ZDVPBErrorInfo>};
const NANOMessageSchema kCoreConfiguration = {"ICoreConfiguration",
                                              "ZDVPBICoreConfiguration",
                                              34,
                                              kConfigTypes,
                                              kConfigNumbers,
                                              kConfigNames,
                                              kConfigNested,
                                              &zdvpb_ICoreConfiguration_msg,
                                              sizeof(zdvpb_ICoreConfiguration),
                                              &create<ZDVPBICoreConfiguration>};

}  // namespace

const NANOMessageSchema& LLNPBClientInfo::messageSchema() { return kClientInfo; }
const NANOMessageSchema& LLNPBIosClientInfo::messageSchema() { return kIosClientInfo; }
const NANOMessageSchema& LLNPBLogEvent::messageSchema() { return kLogEvent; }
const NANOMessageSchema& LLNPBLogRequest::messageSchema() { return kLogRequest; }
const NANOMessageSchema& ZDVPBErrorInfo::messageSchema() { return kErrorInfo; }
const NANOMessageSchema& ZDVPBICoreConfiguration::messageSchema() { return kCoreConfiguration; }

int32_t ZDVServiceTypeForName(const std::string& name) {
    static const std::map<std::string, int32_t> table = {
        {"SignIn", 5},
        {"Analytics", 9},
        {"Crash", 13},
        {"Auth", 14},
        {"Database", 15},
        {"Storage", 16},
        {"Messaging", 17},
        {"Measurement", 18},
        {"RemoteSettings", 19},
        {"DeepLinks", 20},
        {"Invitations", 21},
        {"DocumentStore", 23},
        {"Performance", 24},
        {"VisionOnDeviceFace", 26},
        {"VisionOnDeviceBarcode", 27},
        {"VisionOnDeviceText", 28},
        {"VisionOnDeviceLabel", 29},
        {"ModelInterpreter", 30},
        {"InAppMessages", 31},
        {"Functions", 32},
        {"AdNetwork", 2},
        {"AuthUI", 22},
    };
    auto it = table.find(name);
    return it == table.end() ? 0 : it->second;
}

}  // namespace zidedova
