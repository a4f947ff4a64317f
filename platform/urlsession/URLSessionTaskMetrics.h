#pragma once
// Timing of a task: one transaction per request made (each redirect hop is one), read from curl's
// transfer times; an answer from the URL cache is one transaction of its own, without network phases. Dates
// are wall-clock; a phase that did not happen (a reused connection has no connect) is absent.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URLRequest.h"

namespace platform {

// Where a transaction's answer came from.
enum class URLSessionTaskMetricsResourceFetchType { Unknown = 0, NetworkLoad = 1, LocalCache = 3 };

struct URLSessionTaskTransactionMetrics {
    URLRequest request;
    std::shared_ptr<const URLResponse> response;
    URLSessionTaskMetricsResourceFetchType resourceFetchType = URLSessionTaskMetricsResourceFetchType::Unknown;
    std::optional<Date> fetchStartDate;
    std::optional<Date> domainLookupStartDate;
    std::optional<Date> domainLookupEndDate;
    std::optional<Date> connectStartDate;
    std::optional<Date> secureConnectionStartDate;
    std::optional<Date> secureConnectionEndDate;
    std::optional<Date> connectEndDate;
    std::optional<Date> requestStartDate;
    std::optional<Date> requestEndDate;
    std::optional<Date> responseStartDate;
    std::optional<Date> responseEndDate;
    std::string networkProtocolName;  // "http/1.1", "h2"
    bool reusedConnection = false;
};

struct DateInterval {
    Date start;
    double duration = 0;
};

struct URLSessionTaskMetrics {
    std::vector<URLSessionTaskTransactionMetrics> transactionMetrics;
    DateInterval taskInterval;
    int redirectCount = 0;
};

}  // namespace platform
