// The protocol-buffer message runtime against raw nanopb on the same generated structures: encoding and
// decoding a full app-core report (ICoreConfiguration: 34 fields, strings, repeated varints, a nested
// and a repeated nested message). The raw side fills the structure by hand and decodes strings and
// repeated fields into std::string / std::vector, so both sides end with the data in owned memory.
// The last line prints the runtime's speed relative to raw nanopb, the median over repetitions (higher
// is better; goal >= 0.5x).
#include <benchmark/benchmark.h>
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "bench/PeerRatio.h"
#include "core_configuration.pb.h"
#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"

namespace {

using namespace zidedova;
using platform::Bytes;

const std::vector<std::string>& texts() {
    static const std::vector<std::string> t = {"2.5.0",
                                               "50107000",
                                               "iPhone10,3",
                                               "17.0",
                                               "1:123:ios:abc",
                                               "com.tesmar.app",
                                               "12.0",
                                               "E621E1F8-C36C-495A-93FC-0C247A3E6E5F",
                                               "15A372-21A325",
                                               "zdv-ios/5.12.0 zdv-core/5.12.0 apple-platform/ios",
                                               "com.zidedova.core"};
    return t;
}

// The report through the runtime's accessors.
std::shared_ptr<ZDVPBICoreConfiguration> runtimeReport() {
    auto c = NANOMake<ZDVPBICoreConfiguration>();
    const auto& t = texts();
    using S = ZDVPBICoreConfiguration;
    NANOSetInt32(*c, 0, 2);
    NANOSetInt32(*c, S::configuration_type, 1);
    NANOSetString(*c, S::sdk_version, t[0]);
    NANOSetString(*c, S::library_version_id, t[1]);
    NANOSetString(*c, S::device_model, t[2]);
    NANOSetString(*c, S::os_version, t[3]);
    NANOSetString(*c, S::app_id, t[4]);
    NANOSetString(*c, S::bundle_id, t[5]);
    NANOSetString(*c, S::minimum_os_version, t[6]);
    NANOSetString(*c, S::install_string, t[7]);
    NANOSetString(*c, S::build_tools_version, t[8]);
    NANOSetString(*c, S::user_agent, t[9]);
    NANOSetInt32(*c, S::sdk_name, 18);
    NANOSetArray(*c, S::sdk_service_installed, std::vector<NANOElement>{int64_t(18), int64_t(13), int64_t(17)});
    NANOSetBool(*c, S::using_options_from_default_plist, true);
    NANOSetInt32(*c, S::app_count, 1);
    NANOSetBool(*c, S::is_from_app_store, false);
    NANOSetInt32(*c, S::linked_framework_count, 0);
    NANOSetBool(*c, 27, false);
    NANOSetInt32(*c, 28, 1);
    NANOSetBool(*c, S::app_delegate_proxy_enabled, true);
    ZDVPBErrorInfo error;
    NANOSetBool(error, ZDVPBErrorInfo::error_flag, true);
    NANOSetInt32(error, ZDVPBErrorInfo::error_code, -3);
    NANOSetString(error, ZDVPBErrorInfo::error_domain, t[10]);
    NANOSetMessage(*c, S::error_info, &error);
    auto e = NANOMake<ZDVPBErrorInfo>(error.messageInfo());
    NANOSetArray(*c, S::subspec_error_info,
                 std::vector<NANOElement>{std::shared_ptr<NANOMessage>(e), std::shared_ptr<NANOMessage>(e)});
    return c;
}

// ---------------------------------------------------------------- raw nanopb

bool encodeText(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    auto* s = static_cast<const std::string*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(s->data()), s->size());
}

bool encodeVarints(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (uint32_t v : *static_cast<const std::vector<uint32_t>*>(*arg))
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, v)) return false;
    return true;
}

bool encodeErrors(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& e : *static_cast<const std::vector<zdvpb_ErrorInfo>*>(*arg))
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, zdvpb_ErrorInfo_fields, &e))
            return false;
    return true;
}

void text(pb_callback_t& cb, const std::string& s) {
    cb.funcs.encode = encodeText;
    cb.arg = const_cast<std::string*>(&s);
}

Bytes rawEncode() {
    static const std::vector<uint32_t> installed = {18, 13, 17};
    const auto& t = texts();
    zdvpb_ErrorInfo error = zdvpb_ErrorInfo_init_zero;
    error.has_error_flag = true;
    error.error_flag = true;
    error.has_error_code = true;
    error.error_code = -3;
    text(error.error_domain, t[10]);
    std::vector<zdvpb_ErrorInfo> subspec = {error, error};

    zdvpb_ICoreConfiguration c = zdvpb_ICoreConfiguration_init_zero;
    c.has_unwritten_16 = true;
    c.unwritten_16 = 2;
    c.has_configuration_type = true;
    c.configuration_type = 1;
    text(c.sdk_version, t[0]);
    text(c.library_version_id, t[1]);
    text(c.device_model, t[2]);
    text(c.os_version, t[3]);
    text(c.app_id, t[4]);
    text(c.bundle_id, t[5]);
    text(c.minimum_os_version, t[6]);
    text(c.install_string, t[7]);
    text(c.build_tools_version, t[8]);
    text(c.user_agent, t[9]);
    c.has_sdk_name = true;
    c.sdk_name = 18;
    c.sdk_service_installed.funcs.encode = encodeVarints;
    c.sdk_service_installed.arg = const_cast<std::vector<uint32_t>*>(&installed);
    c.has_using_options_from_default_plist = true;
    c.using_options_from_default_plist = true;
    c.has_app_count = true;
    c.app_count = 1;
    c.has_is_from_app_store = true;
    c.has_linked_framework_count = true;
    c.has_unwritten_29 = true;
    c.has_unwritten_30 = true;
    c.unwritten_30 = 1;
    c.has_app_delegate_proxy_enabled = true;
    c.app_delegate_proxy_enabled = true;
    c.has_error_info = true;
    c.error_info = error;
    c.subspec_error_info.funcs.encode = encodeErrors;
    c.subspec_error_info.arg = &subspec;

    size_t size = 0;
    pb_get_encoded_size(&size, zdvpb_ICoreConfiguration_fields, &c);
    Bytes out(size);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    if (!pb_encode(&stream, zdvpb_ICoreConfiguration_fields, &c)) out.clear();
    return out;
}

// Decoded strings and repeated values land here, owned.
struct RawDecoded {
    std::deque<std::string> strings;
    std::vector<uint64_t> varints;
    std::vector<zdvpb_ErrorInfo> errors;
};

bool decodeText(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* out = static_cast<RawDecoded*>(*arg);
    std::string& s = out->strings.emplace_back(stream->bytes_left, '\0');
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(s.data()), s.size());
}

bool decodeVarint(pb_istream_t* stream, const pb_field_t*, void** arg) {
    uint64_t v;
    if (!pb_decode_varint(stream, &v)) return false;
    static_cast<RawDecoded*>(*arg)->varints.push_back(v);
    return true;
}

void setTextCallbacks(const pb_msgdesc_t* desc, void* structure, RawDecoded* out);

bool decodeError(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* out = static_cast<RawDecoded*>(*arg);
    zdvpb_ErrorInfo& e = out->errors.emplace_back();
    e = zdvpb_ErrorInfo_init_zero;
    setTextCallbacks(zdvpb_ErrorInfo_fields, &e, out);
    return pb_decode(stream, zdvpb_ErrorInfo_fields, &e);
}

void setTextCallbacks(const pb_msgdesc_t* desc, void* structure, RawDecoded* out) {
    pb_field_iter_t it;
    if (!pb_field_iter_begin(&it, desc, structure)) return;
    do {
        if (PB_ATYPE(it.type) == PB_ATYPE_CALLBACK) {
            auto* cb = static_cast<pb_callback_t*>(it.pData);
            cb->arg = out;
            if (PB_LTYPE_IS_SUBMSG(it.type))
                cb->funcs.decode = decodeError;
            else if (PB_LTYPE(it.type) == PB_LTYPE_STRING)
                cb->funcs.decode = decodeText;
            else
                cb->funcs.decode = decodeVarint;
        } else if (PB_LTYPE_IS_SUBMSG(it.type)) {
            setTextCallbacks(it.submsg_desc, it.pData, out);
        }
    } while (pb_field_iter_next(&it));
}

bool rawDecode(const Bytes& bytes, RawDecoded& out) {
    zdvpb_ICoreConfiguration c = zdvpb_ICoreConfiguration_init_zero;
    setTextCallbacks(zdvpb_ICoreConfiguration_fields, &c, &out);
    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    return pb_decode(&stream, zdvpb_ICoreConfiguration_fields, &c);
}

// ---------------------------------------------------------------- benchmarks

void BM_RuntimeEncode(benchmark::State& state) {
    auto report = runtimeReport();
    for (auto _ : state) benchmark::DoNotOptimize(report->protoBuffer());
}
BENCHMARK(BM_RuntimeEncode);

void BM_RawEncode(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(rawEncode());
}
BENCHMARK(BM_RawEncode);

void BM_RuntimeDecode(benchmark::State& state) {
    Bytes bytes = *runtimeReport()->protoBuffer();
    for (auto _ : state) benchmark::DoNotOptimize(NANOMakeFromBuffer<ZDVPBICoreConfiguration>(bytes));
}
BENCHMARK(BM_RuntimeDecode);

void BM_RawDecode(benchmark::State& state) {
    Bytes bytes = rawEncode();
    for (auto _ : state) {
        RawDecoded out;
        benchmark::DoNotOptimize(rawDecode(bytes, out));
    }
}
BENCHMARK(BM_RawDecode);

// Both sides in one interleaved loop, so the ratio is not skewed by frequency changes between runs.
void BM_Ratio(benchmark::State& state) {
    auto report = runtimeReport();
    Bytes bytes = *report->protoBuffer();
    using Clock = std::chrono::steady_clock;
    Clock::duration runtimeEncode{}, rawEncodeTime{}, runtimeDecode{}, rawDecodeTime{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(report->protoBuffer());
        auto t1 = Clock::now();
        benchmark::DoNotOptimize(rawEncode());
        auto t2 = Clock::now();
        benchmark::DoNotOptimize(NANOMakeFromBuffer<ZDVPBICoreConfiguration>(bytes));
        auto t3 = Clock::now();
        RawDecoded out;
        benchmark::DoNotOptimize(rawDecode(bytes, out));
        auto t4 = Clock::now();
        runtimeEncode += t1 - t0;
        rawEncodeTime += t2 - t1;
        runtimeDecode += t3 - t2;
        rawDecodeTime += t4 - t3;
    }
    const double encodeRatio = double(rawEncodeTime.count()) / double(runtimeEncode.count());
    const double decodeRatio = double(rawDecodeTime.count()) / double(runtimeDecode.count());
    state.counters["encode raw/runtime"] = encodeRatio;
    state.counters["decode raw/runtime"] = decodeRatio;
    bench::recordPeerRatio("encode", encodeRatio);
    bench::recordPeerRatio("decode", decodeRatio);
}
BENCHMARK(BM_Ratio);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Bytes runtime = *runtimeReport()->protoBuffer();
    Bytes raw = rawEncode();
    std::printf("report: %zu bytes (runtime), %zu bytes (raw nanopb), %s\n", runtime.size(), raw.size(),
                runtime == raw ? "identical" : "DIFFERENT");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("runtime speed relative to raw nanopb: encode %.2fx, decode %.2fx (goal >= 0.5x)\n",
                bench::medianPeerRatio("encode"), bench::medianPeerRatio("decode"));
    return runtime == raw ? 0 : 1;
}
