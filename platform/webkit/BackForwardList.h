#pragma once
// BackForwardList: the pages a web view has committed, and where it stands among them. A new page
// drops every forward item; going back or forward only moves the current index. Main thread only.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"
#include "platform/webkit/WebKitTypes.h"

namespace platform::webkit {

struct BackForwardListItem {
    platform::URL URL;         // the page's final URL (after redirects)
    platform::URL initialURL;  // what was asked for
    std::string title;
    URLRequest request;  // what a reload or a return to this item sends
    // The load that made the document this item shows (0: none yet); moving between items of one document
    // loads nothing.
    uint64_t document = 0;
};

class BackForwardList {
public:
    const BackForwardListItem* currentItem() const;
    const BackForwardListItem* backItem() const;
    const BackForwardListItem* forwardItem() const;
    // Nearest first.
    std::vector<BackForwardListItem> backList() const;
    // Relative to the current item (-1 back, 1 forward); null when out of range.
    const BackForwardListItem* itemAtIndex(int offset) const;

    // Engine side.
    void push(BackForwardListItem item);
    // Records a committed page as a navigation of `type` does: a back-forward move goes to its item
    // (which takes the new URL), a reload or resubmission of the current page updates its request,
    // anything else pushes a new item.
    void commit(BackForwardListItem item, NavigationType type, int backForwardOffset);
    // Moves to `offset` from the current item; false when out of range.
    bool moveBy(int offset);
    // The current document moved to `url` (a fragment of it): a new item of that document, unless `url` is
    // already the current item's.
    void moveWithinPage(const platform::URL& url);
    // Whether the item at `offset` shows the current item's document.
    bool sameDocument(int offset) const;
    BackForwardListItem* mutableCurrentItem();
    size_t size() const { return items_.size(); }

private:
    std::vector<BackForwardListItem> items_;
    std::optional<size_t> current_;
    uint64_t lastDocument_ = 0;
};

}  // namespace platform::webkit
