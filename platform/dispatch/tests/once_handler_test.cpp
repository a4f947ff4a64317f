#include "platform/dispatch/OnceHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/DeviceEvents.h"

using namespace platform;
using namespace platform::dispatch;

namespace {

// "fault" events as "kind name" lines.
class FaultLog {
public:
    FaultLog()
        : token_(DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
              if (name != "fault") return;
              const auto* kind = fields["kind"].asString();
              const auto* what = fields["name"].asString();
              std::lock_guard lock(mutex_);
              lines_.push_back((kind ? *kind : "?") + " " + (what ? *what : "?"));
          })) {}
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    DeviceEvents::Token token_;
};

TEST(OnceHandler, RunsOnceAndReportsWhatThePolicySays) {
    struct Case {
        OnceHandlerPolicy policy;
        int calls;
        std::vector<std::string> faults;
    };
    const std::vector<Case> cases = {
        {OnceHandlerPolicy::ReportFaults, 1, {}},
        {OnceHandlerPolicy::ReportFaults, 3, {"completion-called-twice h", "completion-called-twice h"}},
        {OnceHandlerPolicy::ReportFaults, 0, {"completion-not-called h"}},
        {OnceHandlerPolicy::ReportFaultsAndPending, 2, {"completion-called-twice h"}},
        {OnceHandlerPolicy::ReportFaultsAndPending, 0, {"completion-not-called h"}},
        {OnceHandlerPolicy::IgnoreExtraCalls, 3, {}},
        {OnceHandlerPolicy::IgnoreExtraCalls, 0, {}},
    };
    for (const auto& c : cases) {
        FaultLog log;
        size_t faultsBefore = onceHandlerFaultCount();
        std::vector<int> seen;
        {
            OnceHandler<int> handler(
                "h", [&](int v) { seen.push_back(v); }, c.policy);
            auto copy = handler;  // copies share the state
            for (int i = 0; i < c.calls; ++i) (i % 2 ? copy : handler)(i + 1);
        }
        EXPECT_EQ(seen, c.calls ? std::vector<int>{1} : std::vector<int>{}) << c.calls;
        EXPECT_EQ(log.lines(), c.faults) << c.calls;
        EXPECT_EQ(onceHandlerFaultCount(), faultsBefore + c.faults.size());
    }
}

TEST(OnceHandler, PendingHandlersAreCountedAndReportedOnce) {
    FaultLog log;
    size_t before = pendingOnceHandlerCount();
    OnceHandler<> quiet("quiet", [] {});
    OnceHandler<> waiting(
        "waiting", [] {}, OnceHandlerPolicy::ReportFaultsAndPending);
    EXPECT_EQ(pendingOnceHandlerCount(), before + 1);
    EXPECT_GE(reportPendingOnceHandlers(), 1u);
    EXPECT_EQ(reportPendingOnceHandlers(), 0u);  // each is reported once
    EXPECT_EQ(log.lines().back(), "completion-pending waiting");
    waiting();
    quiet();
    EXPECT_EQ(pendingOnceHandlerCount(), before);
}

TEST(OnceHandler, ReleasesWhatTheHandlerHeldOnceItRan) {
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> weak = held;
    OnceHandler<> handler("h", [held = std::move(held)] {});
    handler();
    EXPECT_TRUE(weak.expired());
}

TEST(OnceHandler, ThreadsRacingToCallRunItExactlyOnce) {
    for (int round = 0; round < 50; ++round) {
        FaultLog log;
        std::atomic<int> runs{0};
        std::atomic<bool> go{false};
        OnceHandler<int> handler("raced", [&](int) { ++runs; });
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                handler(t);
            });
        go = true;
        for (auto& t : threads) t.join();
        EXPECT_EQ(runs.load(), 1);
        EXPECT_EQ(log.lines().size(), 3u);
    }
}

}  // namespace
