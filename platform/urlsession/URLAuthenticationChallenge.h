#pragma once
// Authentication challenges: what the server (or its certificate) asks, and how the delegate answers.
// Plain values; the trust inside a server-trust protection space is shared, read-only after the
// handshake handed it over.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

namespace security {
class Trust;  // platform/security/Trust.h: the certificate chain the server presented
}

inline constexpr const char* kURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr const char* kURLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";
inline constexpr const char* kURLAuthenticationMethodServerTrust = "NSURLAuthenticationMethodServerTrust";

inline constexpr const char* kURLProtectionSpaceHTTPS = "https";

enum class URLCredentialPersistence { None = 0, ForSession = 1, Permanent = 2, Synchronizable = 3 };

class URLCredential {
public:
    URLCredential(std::string user, std::string password, URLCredentialPersistence persistence);
    explicit URLCredential(std::shared_ptr<security::Trust> trust);  // accepts a server trust

    const std::optional<std::string>& user() const { return user_; }
    const std::optional<std::string>& password() const { return password_; }
    bool hasPassword() const { return password_.has_value(); }
    URLCredentialPersistence persistence() const { return persistence_; }
    const std::shared_ptr<security::Trust>& trust() const { return trust_; }
    bool operator==(const URLCredential& o) const {
        return user_ == o.user_ && password_ == o.password_ && trust_ == o.trust_;
    }

private:
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    URLCredentialPersistence persistence_ = URLCredentialPersistence::None;
    std::shared_ptr<security::Trust> trust_;
};

class URLProtectionSpace {
public:
    URLProtectionSpace(std::string host, int port, std::optional<std::string> protocol,
                       std::optional<std::string> realm, std::string authenticationMethod);

    const std::string& host() const { return host_; }
    int port() const { return port_; }
    const std::optional<std::string>& protocol() const { return protocol_; }
    const std::optional<std::string>& realm() const { return realm_; }
    const std::string& authenticationMethod() const { return method_; }
    bool receivesCredentialSecurely() const { return protocol_ && *protocol_ == kURLProtectionSpaceHTTPS; }
    // Present only for server-trust spaces.
    const std::shared_ptr<security::Trust>& serverTrust() const { return trust_; }
    void setServerTrust(std::shared_ptr<security::Trust> t) { trust_ = std::move(t); }

    // Identity for credential storage: host, port, protocol, realm and method (not the trust).
    bool operator<(const URLProtectionSpace& o) const;
    bool operator==(const URLProtectionSpace& o) const;

private:
    std::string host_;
    int port_;
    std::optional<std::string> protocol_;
    std::optional<std::string> realm_;
    std::string method_;
    std::shared_ptr<security::Trust> trust_;
};

enum class URLSessionAuthChallengeDisposition {
    UseCredential = 0,
    PerformDefaultHandling = 1,
    CancelAuthenticationChallenge = 2,
    RejectProtectionSpace = 3,
};

struct URLAuthenticationChallenge {
    URLProtectionSpace protectionSpace;
    std::optional<URLCredential> proposedCredential;
    int previousFailureCount = 0;
    std::shared_ptr<const class URLResponse> failureResponse;
};

}  // namespace platform
