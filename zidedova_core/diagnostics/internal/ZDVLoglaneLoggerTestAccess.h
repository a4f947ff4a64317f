#pragma once
// What a test of the diagnostics logger may reach past its public face.
#include "zidedova_core/diagnostics/ZDVLoglaneLogger.h"

namespace zidedova {

struct ZDVLoglaneLoggerTestAccess {
    // Waits until every block queued so far on "loglane" has run. Not on "loglane" itself.
    static void drainQueue(const ZDVLoglaneLogger& logger);
    // Queues `block` on "loglane" behind what is there.
    static void runOnQueue(const ZDVLoglaneLogger& logger, std::function<void()> block);
    // Whether a timed send waits on the clock, once what was queued so far has run. Not on "loglane".
    static bool sendScheduled(const ZDVLoglaneLogger& logger);
};

}  // namespace zidedova
