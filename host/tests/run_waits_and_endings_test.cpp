// How a tesmar-sim run waits and ends, from outside: files that are no files, work the app set to run
// shortly after a command, a wait that runs out, an app that shows no screen, and a run ended by a signal.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/Device.h"
#include "host/Interruption.h"
#include "host/MinimalApp.h"
#include "host/tests/RoadFixture.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "testing/LoopbackSocket.h"
#include "testing/TestHttpServer.h"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
constexpr bool kThreadSanitizer = __has_feature(thread_sanitizer);
#else
constexpr bool kThreadSanitizer = false;
#endif

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

// The index of the first event named `name` (with `text`, for a `command` line), or the count when none.
size_t indexOf(const std::vector<Value>& seen, const std::string& name, const std::string& text = "") {
    for (size_t i = 0; i < seen.size(); ++i)
        if (seen[i]["event"] == Value(name) && (text.empty() || seen[i]["text"] == Value(text))) return i;
    return seen.size();
}

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

// The same on a kept device: a device file that is a FIFO, or a link to one, is never opened. The stores
// that set a damaged file aside set it aside and say so; the others make their file afresh, and the
// jailbreak probe (a FIFO at /bin/bash) finds it there without holding the registration back.
TEST_F(RunWaitsAndEndings, FifosInTheDeviceAreSetAsideOrReplacedAndNeverOpened) {
    const fs::path root = device();
    const std::string preferences = "Library/Preferences/" + std::string(kBundleId) + ".plist",
                      suite = "Library/Preferences/group.com.tesmar.intranet.vezeduduz.plist";
    fifoAt(root / preferences);
    fifoAt(dir_ / "fifo");
    fs::create_symlink(dir_ / "fifo", root / suite);
    for (const char* file :
         {"Library/Application Support/io.verira/installation-id",
          "Library/Application Support/Vodezu/ZODOzi/ZIDEDOVA_UNIQUE_INSTALL",
          "Library/UserNotifications/authorization.plist", "Library/Device/VendorIdentifiers.plist", "bin/bash"})
        fifoAt(root / file);
    SimRun r = runRoad("quit\n", writeBundle());
    ASSERT_EQ(r.status, 0) << allOutput(r);
    std::vector<Value> setAside;
    for (const Value& e : simEvents(r))
        if (e["event"] == Value("storage.corrupt")) setAside.push_back(e);
    EXPECT_EQ(setAside.size(), 2u) << allOutput(r);
    for (const std::string& file : {preferences, suite}) {
        EXPECT_NE(
            std::find(setAside.begin(), setAside.end(),
                      Value::dictionary({{"event", "storage.corrupt"}, {"path", file}, {"copy", file + ".corrupt"}})),
            setAside.end())
            << file << "\n"
            << allOutput(r);
    }
    EXPECT_TRUE(fs::is_fifo(root / (preferences + ".corrupt")));
    EXPECT_TRUE(fs::is_regular_file(root / preferences));  // written afresh
    EXPECT_EQ(push_->requestsTo("players").size(), 1u);
}

// The push client shows its own notification on a 0.25 s trigger, and a tapped push opens its launch URL
// after a short delay: both are the command's own, printed under it, even with no quiet period at all. In
// front, the client builds that notification on a queue of its own, and the wait is for that block too.
TEST_F(RunWaitsAndEndings, WorkDueShortlyAfterACommandPrintsUnderIt) {
    settle_ = {"--settle-ms", "0", "--settle-timeout", "20"};
    const struct {
        const char* name;
        std::string before;
        Value aps;
    } roads[] = {
        {"woken in the background", "background\n", Value::dictionary({{"content-available", 1}})},
        {"in front", "", Value::dictionary()},
    };
    for (const auto& road : roads) {
        SCOPED_TRACE(road.name);
        Value push = Value::dictionary({{"aps", road.aps},
                                        {"custom", Value::dictionary({{"i", "n-soon-1"}, {"u", "tel:+15550100"}})},
                                        {"m", Value::dictionary({{"title", "Lunch"}, {"body", "Pizza today"}})},
                                        {"o", Value::array({Value::dictionary({{"i", "yes"}, {"n", "Yes"}})})}});
        const std::string receive = "push-receive " + platform::json::write(push).value();
        SimRun r = runRoad(road.before + receive + "\nnotification-tap last yes\nquit\n", writeBundle(), {"--echo"});
        ASSERT_EQ(r.status, 0) << allOutput(r);
        auto seen = simEvents(r);
        const size_t received = indexOf(seen, "command", receive),
                     tapped = indexOf(seen, "command", "notification-tap last yes"),
                     quit = indexOf(seen, "command", "quit");
        const size_t shown = indexOf(seen, "notification.shown"), opened = indexOf(seen, "system.open");
        EXPECT_LT(received, shown) << allOutput(r);
        EXPECT_LT(shown, tapped) << allOutput(r);
        EXPECT_LT(tapped, opened) << allOutput(r);
        EXPECT_LT(opened, quit) << allOutput(r);
        ASSERT_LT(opened, seen.size());
        EXPECT_EQ(seen[opened]["url"], Value("tel:+15550100"));
    }
}

// A page slower than --settle-timeout: the run says the wait ran out, and on what, before the next command
// cuts the page short.
TEST_F(RunWaitsAndEndings, AWaitThatRunsOutSaysWhatWasStillGoingOn) {
    // Takes connections and never answers.
    auto silent = tesmar_testing::bindLoopback(SOCK_STREAM | SOCK_CLOEXEC, "silent site", 8);
    const std::string slow = "http://127.0.0.1:" + std::to_string(silent.port) + "/slow";
    SimRun r = runSim({"--bundle", minimalBundle(slow), "--delegate", tesmar_host::kMinimalDelegateClass, "--echo",
                       "--settle-ms", "50", "--settle-timeout", "1"},
                      "files Library\nquit\n");
    ::close(silent.fd);
    auto seen = simEvents(r);
    const size_t ranOut = indexOf(seen, "settle.timeout");
    ASSERT_LT(ranOut, seen.size()) << allOutput(r);
    EXPECT_LT(ranOut, indexOf(seen, "command", "files Library"));
    EXPECT_EQ(seen[ranOut]["seconds"], Value(1.0));
    const Value& pending = seen[ranOut]["pending"];
    ASSERT_TRUE(pending.isArray()) << seen[ranOut];
    EXPECT_EQ(pending.at(0), Value("page " + slow)) << seen[ranOut];
    EXPECT_EQ(pending.at(1), Value("1 request")) << seen[ranOut];
}

// Without a storyboard the shell makes no window: the run says the launch came to nothing, as it does for
// a storyboard that is not there, instead of playing every command against an empty screen.
TEST_F(RunWaitsAndEndings, AnAppThatShowsNoScreenFailsItsLaunch) {
    Value info = Value::dictionary(
        {{"CFBundleIdentifier", kBundleId}, {"Verira", Value::dictionary({{"APIKey", "test-kit-api-key"}})}});
    SimRun r = runRoad("pull\nquit\n", writeBundle(info));
    EXPECT_EQ(r.status, 1) << allOutput(r);
    auto seen = simEvents(r);
    const Value* failed = firstEvent(seen, "launch.failed");
    ASSERT_NE(failed, nullptr) << allOutput(r);
    EXPECT_NE((*failed)["message"].stringOr("").find("no UIMainStoryboardFile"), std::string::npos) << *failed;
    EXPECT_EQ(firstEvent(seen, "command.failed"), nullptr) << allOutput(r);
    EXPECT_EQ(seen.back()["event"], Value("exit"));
}

// Waits until a thread of `pid` (with `mainOnly`, its first) sits in one of the system `calls`, with
// `firstArg` as its first argument unless that is empty, as the kernel shows each thread's call; on a
// machine that shows none, waits a while instead.
void waitForCall(pid_t pid, const std::vector<long>& calls, const std::string& firstArg, bool mainOnly) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (;;) {
        bool shown = false;
        std::error_code error;
        for (const auto& task : fs::directory_iterator(tasks, error)) {
            if (mainOnly && task.path().filename() != std::to_string(pid)) continue;
            std::ifstream call(task.path() / "syscall");
            std::string word, arg;
            if (!(call >> word)) continue;
            shown = true;  // a call's number, or "running"
            if (word == "running") continue;
            const long number = std::stol(word);
            if (std::count(calls.begin(), calls.end(), number) &&
                (firstArg.empty() || (call >> arg && arg == firstArg)))
                return;
        }
        if (!shown) {
            std::this_thread::sleep_for(std::chrono::seconds(2));
            return;
        }
        if (std::chrono::steady_clock::now() > giveUp) {
            ADD_FAILURE() << "the host never sat in the call awaited";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Where a run is when it is signalled.
using Sitting = std::function<void(pid_t)>;
const Sitting readingStdin = [](pid_t run) { waitForCall(run, {SYS_read}, "0x0", false); };
const Sitting writingStderr = [](pid_t run) { waitForCall(run, {SYS_write}, "0x2", true); };
// A blocking wait of the host (they all go through poll).
const Sitting polling = [](pid_t run) {
    waitForCall(run,
                {
#ifdef SYS_poll
                    SYS_poll,
#endif
                    SYS_ppoll},
                "", true);
};

// Starts tesmar-sim with its stdin open; once a stdout line holds `awaited` (empty: at once) and, with
// `sitting`, the host sits there, sends it `signal`.
std::chrono::steady_clock::time_point signalledAt;  // when signalledRun last sent its signal

SimRun signalledRun(const std::vector<std::string>& args, const std::string& awaited, int signal,
                    const Sitting& sitting = nullptr, bool fullStderr = false) {
    bool sent = false;
    auto send = [&] {
        sent = true;
        signalledAt = std::chrono::steady_clock::now();
        if (sitting) sitting(runningSim);
        // Only the run itself: the test process has other children (the engine tests' X server among them).
        ::kill(runningSim, signal);
    };
    SimSetup setup{awaited.empty() ? std::function<void()>(send) : nullptr, fullStderr};
    return runSim(
        args, "", std::chrono::seconds(60),
        [&](const std::string& line) -> std::string {
            if (!sent && line.find(awaited) != std::string::npos) send();
            return "";
        },
        setup);
}

// The last line is `exit` with 128 + the signal, as is the status, and nothing waited out the grace.
void expectEndedInOrder(const SimRun& r, int signal) {
    EXPECT_EQ(r.status, 128 + signal) << allOutput(r);
    ASSERT_FALSE(r.lines.empty());
    EXPECT_EQ(simEvents(r).back(), Value::dictionary({{"event", "exit"}, {"code", 128 + signal}})) << allOutput(r);
}

// Ctrl-C and SIGTERM end the run in order: the app's end is said and `exit` is the last line, with 128 +
// the signal as the status, whether the host waited for a typed line or in a `wait`.
TEST_F(RunWaitsAndEndings, ASignalEndsTheRunWithItsExitLine) {
    const std::vector<std::string> minimal = {
        "--bundle", minimalBundle(), "--delegate", tesmar_host::kMinimalDelegateClass, "--settle-ms", "50"};
    {
        SCOPED_TRACE("SIGINT while waiting for a typed line");
        expectEndedInOrder(signalledRun(minimal, "page.finish", SIGINT, readingStdin), SIGINT);
    }
    {
        SCOPED_TRACE("SIGTERM in a long wait");
        std::ofstream(dir_ / "script.txt") << "wait 600\nquit\n";
        auto args = minimal;
        args.insert(args.end(), {"--script", (dir_ / "script.txt").string(), "--echo"});
        expectEndedInOrder(signalledRun(args, "wait 600", SIGTERM), SIGTERM);
    }
}

// Every wait of the host hears the signal: another run's hold on the device root, a --script FIFO nobody
// writes to, and a form whose submit handler keeps the real engine's page busy.
TEST_F(RunWaitsAndEndings, ASignalEndsEveryWaitOfTheHost) {
    auto minimal = [&](const std::string& start, std::vector<std::string> extra) {
        std::vector<std::string> args = {
            "--bundle", minimalBundle(start), "--delegate", tesmar_host::kMinimalDelegateClass, "--settle-ms", "50"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    {
        SCOPED_TRACE("SIGINT while another run holds the device root");
        fs::create_directories((device() / tesmar_host::kDeviceLockFile).parent_path());
        platform::FileLock held((device() / tesmar_host::kDeviceLockFile).string());
        ASSERT_TRUE(held.locked());
        SimRun r = signalledRun(minimal("about:blank", {"--device-root", device().string(), "--settle-timeout", "60"}),
                                "", SIGINT, polling);
        expectEndedInOrder(r, SIGINT);
        EXPECT_EQ(r.lines.size(), 1u) << allOutput(r);
        EXPECT_NE(r.err.find("interrupted by SIGINT"), std::string::npos) << r.err;
    }
    {
        SCOPED_TRACE("SIGTERM while the --script FIFO has no writer");
        fifoAt(dir_ / "commands");
        SimRun r =
            signalledRun(minimal("about:blank", {"--script", (dir_ / "commands").string()}), "", SIGTERM, polling);
        expectEndedInOrder(r, SIGTERM);
        EXPECT_NE(r.err.find("--script '" + (dir_ / "commands").string() + "' is a FIFO: waiting for a writer"),
                  std::string::npos)
            << r.err;
    }
    {
        SCOPED_TRACE("SIGINT while the real engine's page runs a minute-long submit handler");
        tesmar_testing::TestHttpServer site;
        site.route("GET", "/form",
                   tesmar_testing::Reply::text(R"(<form action="/sent" onsubmit="for (const t = Date.now();)"
                                               R"( Date.now() - t < 60000;) {}"><input name="q"></form>)",
                                               200, "text/html"));
        // A snapshot into a FIFO is refused first: opening it would wait for a reader, and no signal ends an open.
        fifoAt(dir_ / "shot.png");
        std::ofstream(dir_ / "submit.txt")
            << "snapshot " << (dir_ / "shot.png").string() << "\nsubmit /sent q=1\nquit\n";
        SimRun r =
            signalledRun(minimal("http://busy.test/form", {"--web-engine", "real", "--connect-to",
                                                           "busy.test:80=127.0.0.1:" + std::to_string(site.port()),
                                                           "--script", (dir_ / "submit.txt").string(), "--echo",
                                                           "--settle-ms", "300", "--settle-timeout", "60"}),
                         "submit /sent", SIGINT);
        expectEndedInOrder(r, SIGINT);
        // The page's process, still busy, goes with the run: it held the run's output open for seconds.
        EXPECT_LT(std::chrono::steady_clock::now() - signalledAt, std::chrono::seconds(5));
        auto failed = eventsNamed(simEvents(r), "command.failed");
        ASSERT_EQ(failed.size(), 2u) << allOutput(r);
        EXPECT_EQ(failed[0]["message"], Value("'" + (dir_ / "shot.png").string() + "' is a FIFO, not a file"));
        EXPECT_EQ(failed[1]["message"], Value("the run was interrupted before the page took the form"));
    }
}

// Stderr may be a pipe nobody reads (a supervisor that reads stdout only): the end does not wait on it.
// A run idle when the signal comes still ends in order; one stuck writing to that pipe ends by the
// signal once the grace is over.
TEST_F(RunWaitsAndEndings, ASignalEndsTheRunWhateverStderrIsDoing) {
    const std::vector<std::string> args = {"--bundle",    minimalBundle(),
                                           "--delegate",  tesmar_host::kMinimalDelegateClass,
                                           "--settle-ms", "50",
                                           "--script",    (dir_ / "script.txt").string(),
                                           "--echo"};
    {
        SCOPED_TRACE("idle in a wait");
        std::ofstream(dir_ / "script.txt") << "wait 600\nquit\n";
        expectEndedInOrder(signalledRun(args, "wait 600", SIGTERM, nullptr, true), SIGTERM);
    }
    {
        SCOPED_TRACE("stuck in a write to stderr");
        // ThreadSanitizer runs a handler once the thread the signal came to leaves its call, and this
        // write never returns: the handler never runs.
        if (kThreadSanitizer) GTEST_SKIP() << "ThreadSanitizer holds the signal back until the write returns";
        std::ofstream(dir_ / "script.txt") << "alert none\nwait 600\nquit\n";
        auto began = std::chrono::steady_clock::now();
        SimRun r = signalledRun(args, "command.failed", SIGTERM, writingStderr, true);
        EXPECT_EQ(r.signal, SIGTERM) << allOutput(r);
        EXPECT_GE(std::chrono::steady_clock::now() - began,
                  std::chrono::seconds(tesmar_host::Interruption::kGraceSeconds));
    }
}

// The handler notes the first signal and leaves it to its default, so a second one ends the process
// however the orderly end is going; a signal ignored before (a shell's background job) stays ignored
// throughout; what was installed before comes back afterwards.
TEST(HostInterruption, TheFirstSignalIsNotedAndASecondOneWouldEndTheProcess) {
    auto action = [](int signal) {
        struct sigaction now {};
        sigaction(signal, nullptr, &now);
        return now.sa_handler;
    };
    struct sigaction ignoring {};
    struct sigaction defaults {};
    ignoring.sa_handler = SIG_IGN;
    defaults.sa_handler = SIG_DFL;
    struct sigaction before[2];
    sigaction(SIGINT, &ignoring, &before[0]);
    sigaction(SIGTERM, &defaults, &before[1]);
    {
        tesmar_host::Interruption interruption;
        EXPECT_EQ(tesmar_host::Interruption::caught(), 0);
        EXPECT_EQ(action(SIGINT), SIG_IGN);
        EXPECT_NE(action(SIGTERM), SIG_DFL);
        ASSERT_EQ(::raise(SIGTERM), 0);
        EXPECT_EQ(tesmar_host::Interruption::caught(), SIGTERM);
        EXPECT_EQ(action(SIGTERM), SIG_DFL);
        EXPECT_EQ(action(SIGINT), SIG_IGN);
    }
    EXPECT_EQ(tesmar_host::Interruption::caught(), 0);  // nothing after the run takes itself for interrupted
    EXPECT_EQ(action(SIGINT), SIG_IGN);
    EXPECT_EQ(action(SIGTERM), SIG_DFL);
    sigaction(SIGINT, &before[0], nullptr);
    sigaction(SIGTERM, &before[1], nullptr);
}

// SIGINT and SIGTERM handled at the same moment on two threads, each before the other's handler put the
// defaults back: the second one's byte is no end of the run, and a run stuck past the grace is still ended
// by the signal. When one handler was first after all, the other signal ends the child at once, and the
// two are sent again.
TEST(HostInterruption, TwoSignalsAtOnceLeaveTheGraceRunning) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto twoAtOnce = [] {
        sigset_t both;
        sigemptyset(&both);
        sigaddset(&both, SIGINT);
        sigaddset(&both, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &both, nullptr);  // here (stuck below) and in the watcher
        tesmar_host::Interruption interruption;
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        auto take = [&](int signal) {
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, signal);
            ++ready;
            while (!go) {
            }
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        };
        std::thread first(take, SIGINT), second(take, SIGTERM);
        while (ready < 2) {
        }
        pthread_kill(first.native_handle(), SIGINT);
        pthread_kill(second.native_handle(), SIGTERM);
        go = true;
        first.join();
        second.join();
        std::this_thread::sleep_for(std::chrono::seconds(tesmar_host::Interruption::kGraceSeconds + 5));
        std::_Exit(0);
    };
    const auto grace = std::chrono::seconds(tesmar_host::Interruption::kGraceSeconds);
    // Set by the parent only: the death test's child runs this loop too, up to its own attempt.
    std::optional<int> status;
    std::chrono::steady_clock::duration took{};
    auto noted = [&status](int s) {
        status = s;
        return true;
    };
    bool atOnce = false;
    for (int attempt = 0; attempt < 20 && !atOnce; ++attempt) {
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EXIT(twoAtOnce(), noted, "");
        took = std::chrono::steady_clock::now() - began;
        atOnce = status && (!WIFSIGNALED(*status) || took >= grace / 2);
    }
    if (!atOnce) GTEST_SKIP() << "the two handlers never ran at the same moment";
    EXPECT_TRUE(WIFSIGNALED(*status)) << "the grace kill was disarmed: status " << *status;
    EXPECT_GE(took, grace);
}

}  // namespace
