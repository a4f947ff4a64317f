#pragma once
// Timeline: when a request started, first heard back, completed and finished serializing, in the
// platform's absolute time (seconds since 2001-01-01 UTC), with the durations derived from them.
// The durations are always computed from the four times; they cannot be set on their own.
// A plain value.
#include <string>

namespace rivulet {

// The current absolute time, seconds since 2001-01-01 00:00:00 UTC (wall clock).
double absoluteTimeGetCurrent();

class Timeline {
public:
    Timeline(double requestStartTime = 0, double initialResponseTime = 0, double requestCompletedTime = 0,
             double serializationCompletedTime = 0);

    double requestStartTime() const { return requestStartTime_; }
    double initialResponseTime() const { return initialResponseTime_; }
    double requestCompletedTime() const { return requestCompletedTime_; }
    double serializationCompletedTime() const { return serializationCompletedTime_; }
    double latency() const { return latency_; }                              // first response - start
    double requestDuration() const { return requestDuration_; }              // completed - start
    double serializationDuration() const { return serializationDuration_; }  // serialized - completed
    double totalDuration() const { return totalDuration_; }                  // serialized - start

    // "Timeline: { \"Latency\": 0.250 secs, ... }" (the four durations).
    std::string description() const;
    // All eight entries, times first.
    std::string debugDescription() const;

private:
    double requestStartTime_, initialResponseTime_, requestCompletedTime_, serializationCompletedTime_;
    double latency_, requestDuration_, serializationDuration_, totalDuration_;
};

}  // namespace rivulet
