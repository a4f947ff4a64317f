#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"

#include <exception>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/ResetRegistry.h"

namespace vezeduduz {

using platform::dispatch::MainLoop;

std::atomic<int> gLogLevel{static_cast<int>(VELogLevel::warn)};
std::atomic<int> gVisualLogLevel{static_cast<int>(VELogLevel::none)};
std::atomic<bool> gConsentRequiredByApp{false};

namespace {

std::atomic<uint64_t> generationNow{0};  // statics().generation, for threads off the main loop

// Every process-wide static (states, flags, blocks, back end, queue, pending delayed work) as a new
// process would find them; stored user defaults stay. Main loop.
void resetStatics() {
    mainThread.assertOnThread();
    MainLoop::shared().cancel(kRegisterUserDelayKey);
    MainLoop::shared().cancel(kSendTagsDelayKey);
    uint64_t generation = statics().generation + 1;
    generationNow.store(generation);
    // A registration already on its queue belongs to the state being reset: it sends nothing now (it
    // would reach whatever server is set next), and one being sent goes before the reset ends.
    if (statics().registerUserQueue) statics().registerUserQueue->sync([] {});
    statics() = VezEduduzStatics();
    statics().generation = generation;
    gLogLevel = static_cast<int>(VELogLevel::warn);
    gVisualLogLevel = static_cast<int>(VELogLevel::none);
    gConsentRequiredByApp = false;
    VezEduduz::setDialogPresenter(nullptr);
}

}  // namespace

uint64_t currentGeneration() { return generationNow.load(); }

void addStaticsReset() { platform::ResetRegistry::add("vezeduduz.statics", resetStatics); }

VezEduduzStatics& statics() {
    mainThread.assertOnThread();
    static VezEduduzStatics* instance = [] {
        addStaticsReset();
        return new VezEduduzStatics();  // lives for the process
    }();
    return *instance;
}

void onMainLoop(std::function<void()> block) {
    if (MainLoop::isMainThread())
        block();
    else
        MainLoop::shared().post(std::move(block));
}

void onMainLoopSync(const std::function<void()>& block) {
    if (MainLoop::isMainThread()) {
        block();
        return;
    }
    platform::dispatch::Mutex m;
    platform::dispatch::ConditionVariable cv;
    bool done = false;
    // What the block threw goes back to the caller: the loop would only log it, and the caller would wait on.
    std::exception_ptr thrown;
    MainLoop::shared().post([&] {
        try {
            block();
        } catch (...) {
            thrown = std::current_exception();
        }
        platform::dispatch::MutexLock lock(m);
        done = true;
        cv.notify_all();
    });
    {
        platform::dispatch::MutexLock lock(m);
        cv.wait(m, [&] { return done; });
    }
    if (thrown) std::rethrow_exception(thrown);
}

double clockNow() { return platform::dispatch::Clock::shared()->now(); }

double wallNow() {
    // A manual clock stands for the wall clock too, so tests control the session throttle.
    auto clock = platform::dispatch::Clock::shared();
    if (clock->isManual()) return clock->now();
    return platform::Date::now().timeIntervalSince1970();
}

}  // namespace vezeduduz
