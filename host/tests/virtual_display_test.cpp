// The host's own X server for the web engine on machines without a display.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "host/VirtualDisplay.h"

using tesmar_host::VirtualDisplay;

namespace {

// Sets (or, with nullopt, unsets) an environment variable for one test and puts it back after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = ::getenv(name)) saved_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (saved_)
            ::setenv(name_, saved_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

bool acceptsClients(const std::string& socketPath) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

TEST(VirtualDisplay, StartsAnXServerForTheProcessAndEndsItByProcessId) {
    ScopedEnvironment noDisplay("DISPLAY", std::nullopt);
    std::string error = "stale";
    auto display = VirtualDisplay::startIfNeeded(&error);
    ASSERT_NE(display, nullptr) << error;
    EXPECT_EQ(error, "");
    ASSERT_EQ(display->display().rfind(':', 0), 0u);
    const char* set = ::getenv("DISPLAY");
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(display->display(), set);
    const std::string socketPath = "/tmp/.X11-unix/X" + display->display().substr(1);
    EXPECT_TRUE(acceptsClients(socketPath)) << socketPath;  // ready as soon as it returns

    const pid_t pid = display->pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(::kill(pid, 0), 0);
    display.reset();
    EXPECT_EQ(::kill(pid, 0), -1) << "still running";  // ended and reaped, not left a zombie
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(::getenv("DISPLAY"), nullptr);
    // The socket is not checked after the end: a test running beside this one may start its own X server
    // on the number just freed.
}

TEST(VirtualDisplay, TwoAtOnceGetTheirOwnDisplays) {
    ScopedEnvironment noDisplay("DISPLAY", std::nullopt);
    std::string error;
    auto first = VirtualDisplay::startIfNeeded(&error);
    ASSERT_NE(first, nullptr) << error;
    ::unsetenv("DISPLAY");  // as a second process would start
    auto second = VirtualDisplay::startIfNeeded(&error);
    ASSERT_NE(second, nullptr) << error;
    EXPECT_NE(first->display(), second->display());
    EXPECT_NE(first->pid(), second->pid());
}

TEST(VirtualDisplay, UsesTheDisplayAlreadyThere) {
    ScopedEnvironment display("DISPLAY", ":42");
    std::string error = "stale";
    EXPECT_EQ(VirtualDisplay::startIfNeeded(&error), nullptr);
    EXPECT_EQ(error, "");
    EXPECT_STREQ(::getenv("DISPLAY"), ":42");
}

TEST(VirtualDisplay, WithoutXvfbSaysWhatIsMissing) {
    ScopedEnvironment noDisplay("DISPLAY", std::nullopt);
    ScopedEnvironment emptyPath("PATH", (std::filesystem::temp_directory_path() / "no-such-dir").string());
    std::string error;
    EXPECT_EQ(VirtualDisplay::startIfNeeded(&error), nullptr);
    EXPECT_NE(error.find("Xvfb"), std::string::npos) << error;
    EXPECT_EQ(::getenv("DISPLAY"), nullptr);
}

}  // namespace
