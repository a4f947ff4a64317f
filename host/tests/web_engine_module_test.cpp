// The real engine is a module tesmar-sim opens only when asked for it: a launch loads none of the
// engine's libraries, and a missing or broken module is a clear error, not a crash.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/foundation/PropertyList.h"

namespace {

namespace fs = std::filesystem;

// Runs `command` through the shell and answers what it printed (stdout and stderr) and its exit status.
std::pair<std::string, int> capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1 </dev/null").c_str(), "r");
    if (!pipe) return {"", -1};
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    return {out, pclose(pipe)};
}

class EngineModule : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/engine-module-XXXXXX";
        dir_ = mkdtemp(pattern);
        fs::create_directories(dir_ / "bundle");
        auto info = platform::Value::dictionary({{"CFBundleIdentifier", "com.example.tesmar"}});
        ASSERT_TRUE(platform::plist::writeFile(info, (dir_ / "bundle" / "Info.plist").string()).ok());
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

TEST_F(EngineModule, ALaunchLoadsNoneOfTheEnginesLibraries) {
    // What the dynamic linker maps at start, as ldd lists it.
    auto [listing, status] = capture(std::string("LD_TRACE_LOADED_OBJECTS=1 '") + TESMAR_SIM_PATH + "' --help");
    ASSERT_EQ(status, 0) << listing;
    ASSERT_NE(listing.find("libc.so"), std::string::npos) << listing;
    for (const char* library : {"libwebkit", "libjavascriptcore", "libgtk", "libsoup", "tesmar_webengine"})
        EXPECT_EQ(listing.find(library), std::string::npos) << library << " is loaded at start:\n" << listing;
}

TEST_F(EngineModule, AMissingOrBrokenModuleIsAClearErrorOnlyForTheRealEngine) {
    // A copy of the executable in a folder of its own, so the module beside it is the case's.
    auto sim = dir_ / "tesmar-sim";
    fs::copy_file(TESMAR_SIM_PATH, sim);
    auto module = dir_ / "libtesmar_webengine.so";
    struct Case {
        const char* name;
        const char* moduleContent;  // null: no module file
        const char* error;
    };
    for (const Case& c : {Case{"missing", nullptr, "is missing"}, Case{"not a library", "junk", "does not load"}}) {
        SCOPED_TRACE(c.name);
        fs::remove(module);
        if (c.moduleContent) std::ofstream(module) << c.moduleContent;
        std::string run = "'" + sim.string() + "' --bundle '" + (dir_ / "bundle").string() + "' --web-engine ";
        auto [out, status] = capture(run + "real");
        EXPECT_NE(status, 0) << out;
        EXPECT_NE(out.find("the real web engine cannot start: its module '" + module.string() + "' " + c.error),
                  std::string::npos)
            << out;
        // The headless engine needs no module (this bundle's app then stops on its own missing settings).
        auto [headless, headlessStatus] = capture(run + "headless");
        EXPECT_TRUE(WIFEXITED(headlessStatus)) << headless;
        EXPECT_EQ(headless.find("web engine"), std::string::npos) << headless;
        EXPECT_NE(headless.find("\"event\":\"exit\""), std::string::npos) << headless;
    }
}

}  // namespace
