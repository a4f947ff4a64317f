#pragma once
// Internal: the receiver of one data task's session callbacks, on the main loop. The loading
// engine implements it per navigation; WebsiteDataStore routes its session's callbacks to it.
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"
#include "platform/urlsession/URLSessionDelegate.h"

namespace platform::webkit::webkit_detail {

class TaskSink {
public:
    virtual ~TaskSink() = default;
    // Answer with the request to follow, or nullopt to stop at the redirect.
    virtual void taskWillRedirect(const std::shared_ptr<const HTTPURLResponse>& response, URLRequest newRequest,
                                  std::function<void(std::optional<URLRequest>)> completion) = 0;
    virtual void taskDidReceiveResponse(const std::shared_ptr<const URLResponse>& response,
                                        std::function<void(URLSessionResponseDisposition)> completion) = 0;
    virtual void taskDidReceiveData(const Bytes& data) = 0;
    virtual void taskDidComplete(const std::optional<Error>& error) = 0;
};

}  // namespace platform::webkit::webkit_detail
