#include "platform/webkit/internal/CompletionGuard.h"

#include "platform/foundation/DeviceEvents.h"

namespace platform::webkit::webkit_detail {

OnceState::OnceState(std::string what, std::shared_ptr<std::atomic<long>> pending)
    : what_(std::move(what)), pending_(std::move(pending)) {
    if (pending_) pending_->fetch_add(1);
}

OnceState::~OnceState() {
    if (!called_.load())
        DeviceEvents::post("fault", Value::dictionary({{"what", Value(what_ + " completion was never called")},
                                                       {"kind", Value("completion-not-called")}}));
}

bool OnceState::enter() {
    if (called_.exchange(true)) {
        DeviceEvents::post("fault", Value::dictionary({{"what", Value(what_ + " completion called twice")},
                                                       {"kind", Value("completion-called-twice")}}));
        return false;
    }
    if (pending_) pending_->fetch_sub(1);
    return true;
}

}  // namespace platform::webkit::webkit_detail
