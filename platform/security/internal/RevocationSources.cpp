#include "platform/security/internal/RevocationSources.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "platform/foundation/PlatformConfig.h"

namespace platform::security::detail {

namespace {

constexpr size_t kMaxFetched = 4 << 20;  // a CRL or an OCSP answer larger than this is not one
constexpr long kFetchTimeoutMs = 5000;

struct OCSPRequestDeleter {
    void operator()(OCSP_REQUEST* r) const { OCSP_REQUEST_free(r); }
};
struct OCSPResponseDeleter {
    void operator()(OCSP_RESPONSE* r) const { OCSP_RESPONSE_free(r); }
};
struct OCSPBasicDeleter {
    void operator()(OCSP_BASICRESP* r) const { OCSP_BASICRESP_free(r); }
};
struct OCSPCertIdDeleter {
    void operator()(OCSP_CERTID* id) const { OCSP_CERTID_free(id); }
};

bool isHTTP(const std::string& url) { return url.rfind("http://", 0) == 0; }

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* into = static_cast<std::string*>(user);
    size_t length = size * count;
    if (into->size() + length > kMaxFetched) return 0;  // ends the fetch
    into->append(data, length);
    return length;
}

// GET `url`, or POST `body` to it; the answer's body when the status is 200.
std::optional<std::string> fetch(const std::string& url, const std::string* body, const char* contentType) {
    if (!isHTTP(url) || !PlatformConfig::networkUp()) return std::nullopt;
    CURL* easy = curl_easy_init();
    if (!easy) return std::nullopt;
    std::string answer;
    curl_slist* headers = nullptr;
    curl_slist* connectTo = nullptr;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kFetchTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    if (body) {
        headers = curl_slist_append(headers, (std::string("Content-Type: ") + contentType).c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body->size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body->data());
    }
    {
        // Fixed host names reach the local servers they are mapped to, as every request does.
        CURLU* parsed = curl_url();
        char *host = nullptr, *port = nullptr;
        if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            std::string hostAndPort = std::string(host) + ":" + port;
            if (auto target = PlatformConfig::connectTarget(hostAndPort)) {
                connectTo = curl_slist_append(connectTo, (hostAndPort + ":" + *target).c_str());
                curl_easy_setopt(easy, CURLOPT_CONNECT_TO, connectTo);
            }
        }
        curl_free(host);
        curl_free(port);
        curl_url_cleanup(parsed);
    }
    CURLcode code = curl_easy_perform(easy);
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
    curl_slist_free_all(connectTo);
    if (code != CURLE_OK || status != 200) return std::nullopt;
    return answer;
}

std::vector<std::string> urisOf(GENERAL_NAMES* names) {
    std::vector<std::string> out;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
        GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type != GEN_URI) continue;
        const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
        std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)), size_t(ASN1_STRING_length(uri)));
        if (isHTTP(text)) out.push_back(std::move(text));
    }
    return out;
}

}  // namespace

std::vector<std::string> crlDistributionPoints(X509* certificate) {
    std::vector<std::string> out;
    auto* points =
        static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr));
    for (int i = 0; points && i < sk_DIST_POINT_num(points); ++i) {
        DIST_POINT* point = sk_DIST_POINT_value(points, i);
        if (point->distpoint && point->distpoint->type == 0)
            for (auto& uri : urisOf(point->distpoint->name.fullname)) out.push_back(std::move(uri));
    }
    CRL_DIST_POINTS_free(points);
    return out;
}

std::vector<std::string> ocspResponders(X509* certificate) {
    std::vector<std::string> out;
    auto* access =
        static_cast<AUTHORITY_INFO_ACCESS*>(X509_get_ext_d2i(certificate, NID_info_access, nullptr, nullptr));
    for (int i = 0; access && i < sk_ACCESS_DESCRIPTION_num(access); ++i) {
        ACCESS_DESCRIPTION* description = sk_ACCESS_DESCRIPTION_value(access, i);
        if (OBJ_obj2nid(description->method) != NID_ad_OCSP || description->location->type != GEN_URI) continue;
        const ASN1_IA5STRING* uri = description->location->d.uniformResourceIdentifier;
        std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)), size_t(ASN1_STRING_length(uri)));
        if (isHTTP(text)) out.push_back(std::move(text));
    }
    AUTHORITY_INFO_ACCESS_free(access);
    return out;
}

std::vector<CRLPtr> fetchDistributionPointCRLs(X509* certificate) {
    std::vector<CRLPtr> out;
    for (const auto& url : crlDistributionPoints(certificate)) {
        auto bytes = fetch(url, nullptr, nullptr);
        if (!bytes) continue;
        const auto* p = reinterpret_cast<const unsigned char*>(bytes->data());
        CRLPtr crl(d2i_X509_CRL(nullptr, &p, long(bytes->size())));
        if (!crl) {
            BIOPtr bio = readOnlyBIO(bytes->data(), bytes->size());
            if (bio) crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
        }
        if (crl) out.push_back(std::move(crl));
    }
    ERR_clear_error();
    return out;
}

namespace {

// What one OCSP response says of `id`: only a successful answer, signed for the issuer (checked
// against `store` and `untrusted`), matching the request's nonce when one was sent, and current at
// `at` (five minutes of clock skew either way) counts.
OCSPAnswer judgeOCSPResponse(const std::string& der, OCSP_CERTID* id, OCSP_REQUEST* request, STACK_OF(X509) * untrusted,
                             X509_STORE* store, std::optional<time_t> at) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    std::unique_ptr<OCSP_RESPONSE, OCSPResponseDeleter> response(d2i_OCSP_RESPONSE(nullptr, &p, long(der.size())));
    if (!response || OCSP_response_status(response.get()) != OCSP_RESPONSE_STATUS_SUCCESSFUL) return OCSPAnswer::none;
    std::unique_ptr<OCSP_BASICRESP, OCSPBasicDeleter> basic(OCSP_response_get1_basic(response.get()));
    if (!basic || (request && OCSP_check_nonce(request, basic.get()) == 0)) return OCSPAnswer::none;
    if (OCSP_basic_verify(basic.get(), untrusted, store, 0) <= 0) return OCSPAnswer::none;
    int status = -1, reason = 0;
    ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
    if (!OCSP_resp_find_status(basic.get(), id, &status, &reason, &revokedAt, &thisUpdate, &nextUpdate))
        return OCSPAnswer::none;
    // An answer for another moment says nothing now.
    if (!at && !OCSP_check_validity(thisUpdate, nextUpdate, 300, -1)) return OCSPAnswer::none;
    if (status == V_OCSP_CERTSTATUS_REVOKED) return OCSPAnswer::revoked;
    if (status == V_OCSP_CERTSTATUS_GOOD) return OCSPAnswer::good;
    return OCSPAnswer::none;
}

}  // namespace

OCSPAnswer askOCSPResponders(X509* certificate, X509* issuer, STACK_OF(X509) * untrusted, X509_STORE* store,
                             std::optional<time_t> at) {
    OCSPAnswer answer = OCSPAnswer::none;
    for (const auto& url : ocspResponders(certificate)) {
        std::unique_ptr<OCSP_CERTID, OCSPCertIdDeleter> id(OCSP_cert_to_id(nullptr, certificate, issuer));
        std::unique_ptr<OCSP_REQUEST, OCSPRequestDeleter> request(OCSP_REQUEST_new());
        if (!id || !request) break;
        OCSP_CERTID* sent = OCSP_CERTID_dup(id.get());
        if (!sent || !OCSP_request_add0_id(request.get(), sent)) {
            OCSP_CERTID_free(sent);
            break;
        }
        OCSP_request_add1_nonce(request.get(), nullptr, -1);
        unsigned char* der = nullptr;
        int length = i2d_OCSP_REQUEST(request.get(), &der);
        if (length <= 0) break;
        std::string body(reinterpret_cast<char*>(der), size_t(length));
        OPENSSL_free(der);
        auto bytes = fetch(url, &body, "application/ocsp-request");
        if (!bytes) continue;
        answer = judgeOCSPResponse(*bytes, id.get(), request.get(), untrusted, store, at);
        if (answer == OCSPAnswer::revoked) return answer;
        if (answer == OCSPAnswer::good) break;
    }
    ERR_clear_error();
    return answer;
}

OCSPAnswer readStapledOCSPResponses(const std::vector<std::string>& responses, X509* certificate, X509* issuer,
                                    STACK_OF(X509) * untrusted, X509_STORE* store, std::optional<time_t> at) {
    OCSPAnswer answer = OCSPAnswer::none;
    std::unique_ptr<OCSP_CERTID, OCSPCertIdDeleter> id(OCSP_cert_to_id(nullptr, certificate, issuer));
    if (!id) return answer;
    for (const auto& der : responses) {
        // A stapled answer was made for every client alike: it carries no nonce of ours.
        auto said = judgeOCSPResponse(der, id.get(), nullptr, untrusted, store, at);
        if (said == OCSPAnswer::revoked) {
            answer = said;
            break;
        }
        if (said == OCSPAnswer::good) answer = said;
    }
    ERR_clear_error();
    return answer;
}

}  // namespace platform::security::detail
