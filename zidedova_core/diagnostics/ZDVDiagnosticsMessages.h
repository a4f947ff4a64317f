#pragma once
// The diagnostics upload's messages on the protocol-buffer runtime: LLNPBLogRequest (one upload) with
// its LLNPBClientInfo / LLNPBIosClientInfo and LLNPBLogEvent (one logged event), and the app core's
// report ZDVPBICoreConfiguration with its ZDVPBErrorInfo, which travels serialized inside a log event.
// Slots are the runtime's field indexes (the message's own order, not field numbers). Fields without a
// slot name here belong to the schema: they are decoded, kept and re-encoded, never set.
#include <cstdint>
#include <memory>
#include <string>

#include "zidedova_core/protobuf_runtime/NANOMessage.h"

namespace zidedova {

class LLNPBClientInfo final : public NANOMessage {
public:
    static const NANOMessageSchema& messageSchema();
    LLNPBClientInfo() : NANOMessage(messageSchema()) {}
    enum Slot : int32_t { client_type = 0, ios_client_info = 3 };
};

class LLNPBIosClientInfo final : public NANOMessage {
public:
    static const NANOMessageSchema& messageSchema();
    LLNPBIosClientInfo() : NANOMessage(messageSchema()) {}
    enum Slot : int32_t { install_identifier = 1, os_version = 3, application_build = 4 };
};

class LLNPBLogEvent final : public NANOMessage {
public:
    static const NANOMessageSchema& messageSchema();
    LLNPBLogEvent() : NANOMessage(messageSchema()) {}
    enum Slot : int32_t { event_time_ms = 0, event_uptime_ms = 1, source_extension = 8, test_code = 16 };
};

class LLNPBLogRequest final : public NANOMessage {
public:
    static const NANOMessageSchema& messageSchema();
    LLNPBLogRequest() : NANOMessage(messageSchema()) {}
    enum Slot : int32_t {
        request_time_ms = 0,
        request_uptime_ms = 1,
        client_info = 2,
        log_source = 3,
        zwieback_cookie = 5,
        log_event = 6,
        serialized_log_events = 7,
    };
};

class ZDVPBErrorInfo final : public NANOMessage {
public:
    static const NANOMessageSchema& messageSchema();
    ZDVPBErrorInfo() : NANOMessage(messageSchema()) {}
    enum Slot : int32_t { error_flag = 0, error_code = 1, error_domain = 2 };
};

class ZDVPBICoreConfiguration final : public NANOMessage {
public:
    static const NANOMessageSchema& messageSchema();
    ZDVPBICoreConfiguration() : NANOMessage(messageSchema()) {}
    enum Slot : int32_t {
        configuration_type = 1,
        library_version_id = 3,
        sdk_version = 4,
        sdk_service_enabled = 8,
        sdk_service_installed = 9,
        sdk_name = 10,
        error_info = 11,
        subspec_error_info = 12,
        device_model = 13,
        os_version = 14,
        app_id = 15,
        bundle_id = 17,
        minimum_os_version = 20,
        install_string = 21,
        using_options_from_default_plist = 22,
        app_count = 23,
        is_from_app_store = 24,
        linked_framework_count = 25,
        build_tools_version = 26,
        user_agent = 29,
        app_delegate_proxy_enabled = 31,
    };
};

// The service type of an SDK's service name; 0 for names not in the table.
int32_t ZDVServiceTypeForName(const std::string& name);

}  // namespace zidedova
