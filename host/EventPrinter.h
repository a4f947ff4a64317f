#pragma once
// EventPrinter: prints every device event as one compact JSON line, {"event": name, ...fields}.
// Events arrive on whichever thread posted them (requests come from the URL engine's thread), so
// printing is serialised under a lock and each line is flushed whole. Field values JSON cannot hold
// (data, dates, objects, NaN) are printed as their descriptions rather than dropping the line.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/Value.h"

namespace tesmar_host {

// The JSON line for one event (no trailing newline).
std::string eventLine(const std::string& event, const platform::Value& fields);
// Writes that line and flushes it; for a run that ends before any printer listens.
void printEvent(std::FILE* out, const std::string& event, const platform::Value& fields);

class EventPrinter {
public:
    // Listens from construction to destruction; `out` must outlive the printer.
    explicit EventPrinter(std::FILE* out);
    EventPrinter(const EventPrinter&) = delete;
    EventPrinter& operator=(const EventPrinter&) = delete;

    // Stops printing (further events are not shown). Idempotent.
    void stop();

    size_t faultCount() const { return faults_.load(); }
    // Steady-clock time of the last event, for idle detection (any thread).
    std::chrono::steady_clock::time_point lastEventTime() const;

private:
    void print(const std::string& event, const platform::Value& fields);

    std::FILE* out_;
    platform::dispatch::Mutex mutex_;
    std::atomic<size_t> faults_{0};
    std::atomic<int64_t> lastEvent_;
    platform::DeviceEvents::Token token_;
};

}  // namespace tesmar_host
