#include "testing/TestDnsServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace tesmar_testing {

namespace {

constexpr uint16_t kTypeA = 1, kTypeTXT = 16, kTypeSRV = 33, kClassIN = 1;

std::string key(std::string name) {
    if (!name.empty() && name.back() == '.' && (name.size() < 2 || name[name.size() - 2] != '\\')) name.pop_back();
    for (auto& c : name)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return name;
}

void put16(std::string& out, uint16_t v) {
    out += char(v >> 8);
    out += char(v & 0xff);
}

void put32(std::string& out, uint32_t v) {
    put16(out, uint16_t(v >> 16));
    put16(out, uint16_t(v & 0xffff));
}

// Presentation form ("a\.b.example") to wire labels.
std::string wireName(const std::string& name) {
    std::string out, label;
    auto flush = [&] {
        if (label.empty()) return;
        out += char(label.size());
        out += label;
        label.clear();
    };
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size()) {
            label += name[++i];
        } else if (name[i] == '.') {
            flush();
        } else {
            label += name[i];
        }
    }
    flush();
    out += '\0';
    return out;
}

// Reads the question's name (no compression in questions) into presentation form; false if malformed.
bool readName(const std::string& q, size_t& at, std::string& name) {
    name.clear();
    while (at < q.size()) {
        auto length = uint8_t(q[at++]);
        if (length == 0) return true;
        if (length > 63 || at + length > q.size()) return false;
        if (!name.empty()) name += '.';
        for (size_t i = 0; i < length; ++i) {
            char c = q[at + i];
            if (c == '.' || c == '\\') name += '\\';
            name += c;
        }
        at += length;
    }
    return false;
}

const char* typeName(uint16_t type) {
    switch (type) {
    case kTypeA:
        return "A";
    case kTypeTXT:
        return "TXT";
    case kTypeSRV:
        return "SRV";
    default:
        return "OTHER";
    }
}

}  // namespace

TestDnsServer::TestDnsServer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("TestDnsServer: cannot bind on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        ::close(fd_);
        throw std::runtime_error("TestDnsServer: no eventfd");
    }
    thread_ = std::thread([this] { run(); });
}

TestDnsServer::~TestDnsServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(fd_);
    ::close(wakeFd_);
}

std::string TestDnsServer::address() const { return "127.0.0.1:" + std::to_string(port_); }

void TestDnsServer::addSRV(const std::string& name, SRV record) {
    std::lock_guard lock(mutex_);
    records_[key(name)].srv.push_back(std::move(record));
}

void TestDnsServer::addTXT(const std::string& name, std::vector<std::string> strings) {
    std::lock_guard lock(mutex_);
    records_[key(name)].txt.push_back(std::move(strings));
}

void TestDnsServer::addA(const std::string& name, const std::string& ipv4) {
    in_addr a{};
    if (inet_pton(AF_INET, ipv4.c_str(), &a) != 1) throw std::invalid_argument("TestDnsServer: not an IPv4 address");
    std::lock_guard lock(mutex_);
    records_[key(name)].a.push_back(a.s_addr);
}

void TestDnsServer::setSilent(bool silent) {
    std::lock_guard lock(mutex_);
    silent_ = silent;
}

std::vector<std::string> TestDnsServer::questions() const {
    std::lock_guard lock(mutex_);
    return questions_;
}

void TestDnsServer::run() {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        ::poll(fds, 2, -1);
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
        }
        if (!(fds[0].revents & POLLIN)) continue;
        char buffer[1500];
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n <= 0) continue;
        std::string reply = answer(std::string(buffer, size_t(n)));
        if (!reply.empty())
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}

// The reply to one query; empty to stay silent.
std::string TestDnsServer::answer(const std::string& q) {
    if (q.size() < 12) return {};
    size_t at = 12;
    std::string name;
    if (!readName(q, at, name) || at + 4 > q.size()) return {};
    uint16_t type = uint16_t(uint8_t(q[at]) << 8 | uint8_t(q[at + 1]));
    uint16_t klass = uint16_t(uint8_t(q[at + 2]) << 8 | uint8_t(q[at + 3]));
    const size_t questionEnd = at + 4;

    std::lock_guard lock(mutex_);
    questions_.push_back(key(name) + " " + typeName(type));
    if (silent_) return {};
    auto it = klass == kClassIN ? records_.find(key(name)) : records_.end();
    std::vector<std::string> answers;  // rdata of each answer
    if (it != records_.end()) {
        const Records& r = it->second;
        if (type == kTypeSRV)
            for (auto& s : r.srv) {
                std::string rdata;
                put16(rdata, s.priority);
                put16(rdata, s.weight);
                put16(rdata, s.port);
                rdata += wireName(s.target);
                answers.push_back(rdata);
            }
        if (type == kTypeTXT)
            for (auto& strings : r.txt) {
                std::string rdata;
                for (auto& s : strings) {
                    rdata += char(std::min<size_t>(s.size(), 255));
                    rdata += s.substr(0, 255);
                }
                answers.push_back(rdata);
            }
        if (type == kTypeA)
            for (uint32_t a : r.a) answers.emplace_back(reinterpret_cast<const char*>(&a), 4);
    }
    std::string out = q.substr(0, 2);                    // the query's id
    put16(out, it == records_.end() ? 0x8183 : 0x8180);  // answer, recursion desired/available, NXDOMAIN or none
    put16(out, 1);
    put16(out, uint16_t(answers.size()));
    put16(out, 0);
    put16(out, 0);
    out += q.substr(12, questionEnd - 12);
    for (auto& rdata : answers) {
        put16(out, 0xc00c);  // the question's name
        put16(out, type);
        put16(out, kClassIN);
        put32(out, 60);
        put16(out, uint16_t(rdata.size()));
        out += rdata;
    }
    return out;
}

}  // namespace tesmar_testing
