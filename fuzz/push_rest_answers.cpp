// The push REST client's answer handling fed arbitrary status/body pairs.
// Input: 2 bytes status (big-endian, mod 1000), 1 byte of switches (bit 0: a transport error,
// bits 1-2: re-attempts already made), then the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"

using vezeduduz::VezEduduzClient;
using Kind = VezEduduzClient::AnswerOutcome::Kind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    int status = ((data[0] << 8) | data[1]) % 1000;
    bool transport = data[2] & 1;
    int reattempts = (data[2] >> 1) & 3;
    platform::Bytes body(data + 3, data + size);

    vezeduduz::VERequestGetTags request;
    request.reattemptCount = reattempts;
    std::optional<platform::Error> transportError;
    if (transport) transportError = platform::Error("NSURLErrorDomain", -1005);

    auto outcome = VezEduduzClient::interpretAnswer(request, status, body, transportError);
    switch (outcome.kind) {
    case Kind::success:
        if (status != 200 || transport) std::abort();
        // Callers read answers with checked lookups; none of these may fail on any shape.
        (void)outcome.result["id"].stringOr("");
        (void)outcome.result["tags"].asDictionary();
        (void)outcome.result.description();
        break;
    case Kind::reattempt:
        if (!(status == 0 || status >= 500) || reattempts >= VezEduduzClient::kMaxReattempts) std::abort();
        break;
    case Kind::failure:
        if (!outcome.error) std::abort();
        if (outcome.error->domain != vezeduduz::kVezEduduzErrorDomain &&
            outcome.error->domain != vezeduduz::kVezEduduzSpacedErrorDomain)
            std::abort();
        if (outcome.error->code != status) std::abort();
        (void)outcome.error->userInfo["returned"].description();
        break;
    }
    return 0;
}
