#include "Rivulet/Source/Timeline.h"

#include <cstdio>

#include "platform/foundation/Date.h"

namespace rivulet {

double absoluteTimeGetCurrent() { return platform::Date::now().timeIntervalSinceReferenceDate; }

Timeline::Timeline(double requestStartTime, double initialResponseTime, double requestCompletedTime,
                   double serializationCompletedTime)
    : requestStartTime_(requestStartTime), initialResponseTime_(initialResponseTime),
      requestCompletedTime_(requestCompletedTime), serializationCompletedTime_(serializationCompletedTime),
      latency_(initialResponseTime - requestStartTime), requestDuration_(requestCompletedTime - requestStartTime),
      serializationDuration_(serializationCompletedTime - requestCompletedTime),
      totalDuration_(serializationCompletedTime - requestStartTime) {}

namespace {

std::string entry(const char* label, double value, bool secs) {
    char number[64];
    std::snprintf(number, sizeof number, "%.3f", value);
    return std::string("\"") + label + "\": " + number + (secs ? " secs" : "");
}

}  // namespace

std::string Timeline::description() const {
    return "Timeline: { " + entry("Latency", latency_, true) + ", " +
           entry("Request Duration", requestDuration_, true) + ", " +
           entry("Serialization Duration", serializationDuration_, true) + ", " +
           entry("Total Duration", totalDuration_, true) + " }";
}

std::string Timeline::debugDescription() const {
    return "Timeline: { " + entry("Request Start Time", requestStartTime_, false) + ", " +
           entry("Initial Response Time", initialResponseTime_, false) + ", " +
           entry("Request Completed Time", requestCompletedTime_, false) + ", " +
           entry("Serialization Completed Time", serializationCompletedTime_, false) + ", " +
           entry("Latency", latency_, true) + ", " + entry("Request Duration", requestDuration_, true) + ", " +
           entry("Serialization Duration", serializationDuration_, true) + ", " +
           entry("Total Duration", totalDuration_, true) + " }";
}

}  // namespace rivulet
