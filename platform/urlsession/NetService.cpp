// Network-service resolution by unicast DNS through c-ares: SRV and TXT of the instance, then A of the
// SRV target, on a channel of its own that lives for one resolution.
#include "platform/urlsession/NetService.h"

#include <ares.h>
#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/PlatformConfig.h"

namespace platform {

namespace {

constexpr int kClassIN = 1;
constexpr int kTypeA = 1;
constexpr int kTypeTXT = 16;
constexpr int kTypeSRV = 33;
constexpr double kLongestTimeout = 600;

using Clock = std::chrono::steady_clock;

std::string withFinalDot(std::string s) {
    if (s.empty() || s.back() != '.') s += '.';
    return s;
}

Error netServiceError(NetServicesErrorCode code, const std::string& why) {
    return Error::withDescription(kNetServicesErrorDomain, int64_t(code), why);
}

bool validType(const std::string& type) {
    // "_<service>._tcp." or "_<service>._udp."
    if (type.size() < 8 || type[0] != '_') return false;
    auto proto = type.substr(type.size() - 6);
    if (!equalsIgnoringASCIICase(proto, "._tcp.") && !equalsIgnoringASCIICase(proto, "._udp.")) return false;
    auto service = std::string_view(type).substr(1, type.size() - 7);
    return !service.empty() && service.find('.') == std::string_view::npos;
}

struct AresLibrary {
    AresLibrary() { ok = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS; }
    bool ok = false;
};

// One query's answer: the c-ares status and the raw reply.
struct Answer {
    bool done = false;
    int status = ARES_ENODATA;
    std::vector<unsigned char> reply;
};

void onAnswer(void* arg, int status, int, unsigned char* buffer, int length) {
    auto* a = static_cast<Answer*>(arg);
    a->done = true;
    a->status = status;
    if (status == ARES_SUCCESS && buffer && length > 0) a->reply.assign(buffer, buffer + length);
}

// A channel for one resolution, asking the configured server (or the system's) with the caller's deadline.
class Channel {
public:
    explicit Channel(Clock::time_point deadline) : deadline_(deadline) {
        static AresLibrary library;
        if (!library.ok) return;
        ares_options options{};
        options.timeout = 1000;  // per try, in ms (ARES_OPT_TIMEOUTMS)
        options.tries = 3;
        options.flags = ARES_FLAG_NOSEARCH | ARES_FLAG_NOALIASES;
        if (ares_init_options(&channel_, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS) !=
            ARES_SUCCESS) {
            channel_ = nullptr;
            return;
        }
        auto server = PlatformConfig::current().dnsServer;
        if (server.empty()) return;
        auto colon = server.rfind(':');
        ares_addr_port_node node{};
        node.family = AF_INET;
        int port = colon == std::string::npos ? 53 : std::atoi(server.c_str() + colon + 1);
        std::string host = server.substr(0, colon);
        node.udp_port = node.tcp_port = port;
        if (inet_pton(AF_INET, host.c_str(), &node.addr.addr4) != 1 || port < 1 || port > 65535 ||
            ares_set_servers_ports(channel_, &node) != ARES_SUCCESS) {
            ares_destroy(channel_);
            channel_ = nullptr;
        }
    }
    ~Channel() {
        if (channel_) ares_destroy(channel_);
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool usable() const { return channel_ != nullptr; }

    // Asks every query at once and waits for all their answers (or the deadline: false).
    bool ask(std::vector<std::pair<std::pair<std::string, int>, Answer*>> queries) {
        for (auto& [q, answer] : queries) ares_query(channel_, q.first.c_str(), kClassIN, q.second, onAnswer, answer);
        auto allDone = [&] {
            return std::all_of(queries.begin(), queries.end(), [](auto& q) { return q.second->done; });
        };
        while (!allDone()) {
            auto now = Clock::now();
            if (now >= deadline_) {
                ares_cancel(channel_);  // answers the pending queries with ARES_ECANCELLED
                return false;
            }
            ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
            int bits = ares_getsock(channel_, sockets, ARES_GETSOCK_MAXNUM);
            std::vector<pollfd> fds;
            for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                short events = 0;
                if (ARES_GETSOCK_READABLE(bits, i)) events |= POLLIN;
                if (ARES_GETSOCK_WRITABLE(bits, i)) events |= POLLOUT;
                if (events) fds.push_back({sockets[i], events, 0});
            }
            timeval limit{}, *next;
            auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - now).count();
            limit.tv_sec = left / 1000000;
            limit.tv_usec = left % 1000000;
            next = ares_timeout(channel_, &limit, &limit);
            int waitMs = int(next->tv_sec * 1000 + next->tv_usec / 1000) + 1;
            ::poll(fds.data(), fds.size(), waitMs);
            for (auto& fd : fds) {
                ares_socket_t r = (fd.revents & (POLLIN | POLLERR | POLLHUP)) ? fd.fd : ARES_SOCKET_BAD;
                ares_socket_t w = (fd.revents & POLLOUT) ? fd.fd : ARES_SOCKET_BAD;
                if (r != ARES_SOCKET_BAD || w != ARES_SOCKET_BAD) ares_process_fd(channel_, r, w);
            }
            if (fds.empty() || std::none_of(fds.begin(), fds.end(), [](auto& f) { return f.revents != 0; }))
                ares_process_fd(channel_, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // time-outs and retries
        }
        return true;
    }

private:
    Clock::time_point deadline_;
    ares_channel channel_ = nullptr;
};

struct SRV {
    unsigned priority, weight, port;
    std::string target;
};

std::vector<SRV> parseSRV(const Answer& a) {
    std::vector<SRV> out;
    ares_srv_reply* list = nullptr;
    if (ares_parse_srv_reply(a.reply.data(), int(a.reply.size()), &list) != ARES_SUCCESS) return out;
    for (auto* r = list; r; r = r->next) out.push_back({r->priority, r->weight, r->port, r->host ? r->host : ""});
    ares_free_data(list);
    return out;
}

// RFC 2782: the lowest priority; among those, a random pick weighted by weight (zero weights rarely).
SRV chooseSRV(std::vector<SRV> records) {
    unsigned lowest = std::min_element(records.begin(), records.end(), [](auto& a, auto& b) {
                          return a.priority < b.priority;
                      })->priority;
    std::erase_if(records, [&](const SRV& r) { return r.priority != lowest; });
    std::stable_sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.weight < b.weight; });
    uint64_t total = 0;
    for (auto& r : records) total += r.weight;
    if (total == 0) return records.front();
    static thread_local std::mt19937_64 random{std::random_device{}()};
    uint64_t pick = std::uniform_int_distribution<uint64_t>(0, total)(random), sum = 0;
    for (auto& r : records) {
        sum += r.weight;
        if (sum >= pick && r.weight > 0) return r;
    }
    return records.back();
}

std::map<std::string, std::optional<Bytes>> parseTXT(const Answer& a) {
    std::map<std::string, std::optional<Bytes>> out;
    ares_txt_ext* list = nullptr;
    if (ares_parse_txt_reply_ext(a.reply.data(), int(a.reply.size()), &list) != ARES_SUCCESS) return out;
    for (auto* r = list; r; r = r->next) {
        std::string_view s(reinterpret_cast<const char*>(r->txt), r->length);
        auto eq = s.find('=');
        std::string key(s.substr(0, eq));
        if (key.empty()) continue;  // an empty string, or a missing key
        bool seen =
            std::any_of(out.begin(), out.end(), [&](auto& kv) { return equalsIgnoringASCIICase(kv.first, key); });
        if (seen) continue;
        if (eq == std::string_view::npos)
            out[key] = std::nullopt;
        else
            out[key] = Bytes(s.begin() + eq + 1, s.end());
    }
    ares_free_data(list);
    return out;
}

std::vector<std::string> parseA(const Answer& a) {
    std::vector<std::string> out;
    ares_addrttl addresses[16];
    int count = 16;
    hostent* host = nullptr;
    if (ares_parse_a_reply(a.reply.data(), int(a.reply.size()), &host, addresses, &count) != ARES_SUCCESS) return out;
    if (host) ares_free_hostent(host);
    for (int i = 0; i < count; ++i) {
        char text[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &addresses[i].ipaddr, text, sizeof text)) out.emplace_back(text);
    }
    return out;
}

bool isIPv4(const std::string& s) {
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1;
}

}  // namespace

NetService::NetService(std::string domain, std::string type, std::string name)
    : domain_(withFinalDot(domain.empty() ? "local." : std::move(domain))), type_(withFinalDot(std::move(type))),
      name_(std::move(name)) {}

std::string NetService::serviceInstanceName() const {
    std::string label;
    for (char c : name_) {
        if (c == '.' || c == '\\') label += '\\';
        label += c;
    }
    return label + "." + type_ + (domain_ == "." ? "" : domain_);
}

std::optional<Error> NetService::resolveWithTimeout(double timeout) {
    if (name_.empty() || !validType(type_))
        return netServiceError(NetServicesErrorCode::BadArgument, "The service's name or type is not valid.");
    dispatch::MutexLock one(resolving_);
    if (!(timeout > 0) || timeout > kLongestTimeout) timeout = kLongestTimeout;
    auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    Channel channel(deadline);
    if (!channel.usable()) return netServiceError(NetServicesErrorCode::Unknown, "No DNS resolver is available.");

    const std::string instance = serviceInstanceName();
    Answer srvAnswer, txtAnswer;
    if (!channel.ask({{{instance, kTypeSRV}, &srvAnswer}, {{instance, kTypeTXT}, &txtAnswer}}))
        return netServiceError(NetServicesErrorCode::Timeout, "The service's records did not come in time.");
    if (srvAnswer.status == ARES_ETIMEOUT || srvAnswer.status == ARES_ECONNREFUSED)
        return netServiceError(NetServicesErrorCode::Timeout, "The DNS servers did not answer.");
    auto records = parseSRV(srvAnswer);
    if (records.empty()) return netServiceError(NetServicesErrorCode::NotFound, "The service was not found.");
    SRV chosen = chooseSRV(std::move(records));
    if (chosen.target.empty() || chosen.target == "." || chosen.port == 0)
        return netServiceError(NetServicesErrorCode::NotFound, "The service is not offered.");
    std::string host = chosen.target;
    if (host.back() == '.') host.pop_back();

    std::vector<std::string> addresses;
    if (isIPv4(host)) {
        addresses.push_back(host);
    } else {
        Answer aAnswer;
        if (!channel.ask({{{host + ".", kTypeA}, &aAnswer}}))
            return netServiceError(NetServicesErrorCode::Timeout, "The service's host address did not come in time.");
        addresses = parseA(aAnswer);  // none: the host name alone is known
    }
    auto txt = parseTXT(txtAnswer);
    dispatch::MutexLock lock(mutex_);
    hostName_ = host;
    port_ = int(chosen.port);
    addresses_ = std::move(addresses);
    txt_ = std::move(txt);
    return std::nullopt;
}

std::optional<std::string> NetService::hostName() const {
    dispatch::MutexLock lock(mutex_);
    return hostName_;
}

int NetService::port() const {
    dispatch::MutexLock lock(mutex_);
    return port_;
}

std::vector<std::string> NetService::addresses() const {
    dispatch::MutexLock lock(mutex_);
    return addresses_;
}

std::map<std::string, std::optional<Bytes>> NetService::TXTRecord() const {
    dispatch::MutexLock lock(mutex_);
    return txt_;
}

}  // namespace platform
