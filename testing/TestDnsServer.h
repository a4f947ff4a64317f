#pragma once
// TestDnsServer: a small DNS answerer over UDP on 127.0.0.1 (a free port), for network-service lookups.
// It answers class-IN questions for SRV, TXT and A records from a script: names are compared without
// regard to ASCII case, in their presentation form ("Office\ Printer" needs no escape; a dot inside a
// label is written "\."), with or without the final dot. A name the script knows but holds no record of
// the asked type gets an empty answer; an unknown name gets NXDOMAIN. `silent` drops every question
// (the client must time out). Every question is recorded as "<name> <TYPE>" (name without final dot).
//
// Every public method is thread-safe. The destructor stops and joins the server's thread.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tesmar_testing {

class TestDnsServer {
public:
    struct SRV {
        uint16_t priority = 0;
        uint16_t weight = 0;
        uint16_t port = 0;
        std::string target;
    };

    // Throws std::runtime_error when no socket can be bound.
    TestDnsServer();
    ~TestDnsServer();
    TestDnsServer(const TestDnsServer&) = delete;
    TestDnsServer& operator=(const TestDnsServer&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:<port>", as PlatformSettings::dnsServer takes it.
    std::string address() const;

    void addSRV(const std::string& name, SRV record);
    void addTXT(const std::string& name, std::vector<std::string> strings);
    void addA(const std::string& name, const std::string& ipv4);
    void setSilent(bool silent);

    std::vector<std::string> questions() const;

private:
    struct Records {
        std::vector<SRV> srv;
        std::vector<std::vector<std::string>> txt;
        std::vector<uint32_t> a;  // network order
    };
    void run();
    std::string answer(const std::string& query);

    int fd_ = -1;
    int wakeFd_ = -1;
    int port_ = 0;
    std::thread thread_;

    mutable std::mutex mutex_;  // guards everything below
    bool stopping_ = false;
    bool silent_ = false;
    std::map<std::string, Records> records_;  // by lower-cased name without final dot
    std::vector<std::string> questions_;
};

}  // namespace tesmar_testing
