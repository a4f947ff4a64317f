// How a tesmar-sim run waits and ends, from outside: files that are no files, work the app set to run
// shortly after a command, a wait that runs out, an app that shows no screen, and a run ended by a signal.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/MinimalApp.h"
#include "host/tests/RoadFixture.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"

namespace {

using platform::Value;
using namespace host_test;
namespace fs = std::filesystem;

class RunWaitsAndEndings : public RoadFixture {
protected:
    RunWaitsAndEndings() : RoadFixture("run-endings") {}

    // The host's minimal app, opening `startURL`.
    std::string minimalBundle(const std::string& startURL = "about:blank") {
        fs::create_directories(dir_ / "minimal");
        Value info = Value::dictionary(
            {{"CFBundleIdentifier", "com.example.minimal"}, {tesmar_host::kStartURLInfoKey, startURL}});
        EXPECT_TRUE(platform::plist::writeFile(info, (dir_ / "minimal/Info.plist").string()).ok());
        return (dir_ / "minimal").string();
    }
    void fifoAt(const fs::path& path) {
        fs::create_directories(path.parent_path());
        fs::remove(path);
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
    }
};

// Opening a FIFO waits for a writer: the launch checks look at what a file is before they open it, and
// name it as the bundle's copy does, whichever file it is.
TEST_F(RunWaitsAndEndings, FifosInTheBundleOrFlagsAreNamedAndNeverOpened) {
    const auto quick = std::chrono::seconds(30);
    const std::vector<std::string> minimal = {"--delegate", tesmar_host::kMinimalDelegateClass};
    auto args = [&](const std::string& bundle, std::vector<std::string> extra = {}) {
        std::vector<std::string> all = {"--bundle", bundle};
        all.insert(all.end(), minimal.begin(), minimal.end());
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    };
    {
        SCOPED_TRACE("the app's Info.plist");
        std::string bundle = minimalBundle();
        fifoAt(fs::path(bundle) / "Info.plist");
        SimRun run = runSim(args(bundle), "quit\n", quick);
        EXPECT_EQ(run.status, 1) << allOutput(run);
        EXPECT_NE(run.err.find("Info.plist is a FIFO, not a file"), std::string::npos) << run.err;
        ASSERT_FALSE(run.lines.empty());
        EXPECT_EQ(simEvents(run).back()["event"], Value("exit"));
    }
    {
        SCOPED_TRACE("a service extension's Info.plist");
        std::string bundle = minimalBundle();
        fifoAt(fs::path(bundle) / "PlugIns/Service.appex/Info.plist");
        SimRun run = runSim(args(bundle), "quit\n", quick);
        EXPECT_NE(run.err.find("warning: the device leaves out an extension: " + bundle +
                               "/PlugIns/Service.appex/Info.plist is a FIFO, not a file"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(run.status, 2) << allOutput(run);  // and the bundle cannot be copied into the device
    }
    {
        SCOPED_TRACE("--ca");
        fifoAt(dir_ / "roots.pem");
        SimRun run = runSim(args(minimalBundle(), {"--ca", (dir_ / "roots.pem").string()}), "quit\n", quick);
        EXPECT_EQ(run.status, 2) << allOutput(run);
        EXPECT_NE(run.err.find("--ca '" + (dir_ / "roots.pem").string() + "' is a FIFO, not a file"), std::string::npos)
            << run.err;
    }
}

}  // namespace
