#pragma once
// NetService: one instance of a network service, found by DNS Service Discovery (RFC 6763). The
// instance "<name>.<type><domain>" (say "Office Printer" of "_ipp._tcp." in "corp.example.") has an SRV
// record naming the host and port that serve it, and a TXT record of key/value attributes.
//
// resolveWithTimeout asks the device's DNS servers by unicast DNS (the system's resolver configuration,
// or PlatformSettings::dnsServer when set) for the SRV and TXT records, then for the IPv4 addresses of
// the chosen SRV target. Among several SRV records the lowest priority wins, and records of equal
// priority are picked at random in proportion to their weight (RFC 2782). A target of "." says the
// service is decidedly not offered there.
//
// Thread-safe: every method may be called from any thread; resolving blocks the caller until the answer
// or the time-out, and resolutions of one service run one at a time.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform {

inline constexpr const char* kNetServicesErrorDomain = "NSNetServicesErrorDomain";
enum class NetServicesErrorCode : int {
    Unknown = -72000,
    NotFound = -72002,     // no such instance, or no SRV record for it
    BadArgument = -72004,  // an empty name or type, or a type that is not "_service._tcp." / "._udp."
    Timeout = -72007,      // the servers did not answer in time
};

class NetService {
public:
    // An empty domain means "local.". The type is "_<service>._tcp." or "_<service>._udp."; a missing
    // final dot is added, to the domain as well.
    NetService(std::string domain, std::string type, std::string name);

    const std::string& domain() const { return domain_; }
    const std::string& type() const { return type_; }
    const std::string& name() const { return name_; }
    // The instance's DNS name as asked for: the name's own dots and backslashes escaped.
    std::string serviceInstanceName() const;

    // Nullopt when resolved; else an error of kNetServicesErrorDomain. A failed resolution leaves what an
    // earlier one found.
    std::optional<Error> resolveWithTimeout(double timeout);

    // What the last successful resolution found: the SRV target (without its final dot), its port, its
    // IPv4 addresses as text (may be empty: then only the host name is known), and the TXT attributes
    // (a key without "=" has no value; the first of keys differing in case only counts).
    std::optional<std::string> hostName() const;
    int port() const;  // -1 until resolved
    std::vector<std::string> addresses() const;
    std::map<std::string, std::optional<Bytes>> TXTRecord() const;

private:
    std::string domain_, type_, name_;
    dispatch::Mutex resolving_;  // one resolution at a time
    mutable dispatch::Mutex mutex_ ACQUIRED_AFTER(resolving_);
    std::optional<std::string> hostName_ GUARDED_BY(mutex_);
    int port_ GUARDED_BY(mutex_) = -1;
    std::vector<std::string> addresses_ GUARDED_BY(mutex_);
    std::map<std::string, std::optional<Bytes>> txt_ GUARDED_BY(mutex_);
};

}  // namespace platform
