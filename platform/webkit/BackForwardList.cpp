#include "platform/webkit/BackForwardList.h"

namespace platform::webkit {

const BackForwardListItem* BackForwardList::itemAtIndex(int offset) const {
    if (!current_) return nullptr;
    long index = static_cast<long>(*current_) + offset;
    if (index < 0 || index >= static_cast<long>(items_.size())) return nullptr;
    return &items_[static_cast<size_t>(index)];
}

const BackForwardListItem* BackForwardList::currentItem() const { return itemAtIndex(0); }
const BackForwardListItem* BackForwardList::backItem() const { return itemAtIndex(-1); }
const BackForwardListItem* BackForwardList::forwardItem() const { return itemAtIndex(1); }

std::vector<BackForwardListItem> BackForwardList::backList() const {
    std::vector<BackForwardListItem> out;
    if (!current_) return out;
    for (size_t i = *current_; i > 0; --i) out.push_back(items_[i - 1]);
    return out;
}

void BackForwardList::push(BackForwardListItem item) {
    if (!item.document) item.document = ++lastDocument_;
    if (current_) items_.resize(*current_ + 1);
    items_.push_back(std::move(item));
    current_ = items_.size() - 1;
}

void BackForwardList::commit(BackForwardListItem item, NavigationType type, int backForwardOffset) {
    auto* current = mutableCurrentItem();
    if (type == NavigationType::BackForward && moveBy(backForwardOffset)) {
        mutableCurrentItem()->URL = item.URL;
    } else if ((type == NavigationType::Reload || type == NavigationType::FormResubmitted) && current &&
               current->URL == item.URL) {
        current->request = item.request;
    } else {
        push(std::move(item));
    }
}

bool BackForwardList::moveBy(int offset) {
    if (!itemAtIndex(offset)) return false;
    current_ = static_cast<size_t>(static_cast<long>(*current_) + offset);
    return true;
}

void BackForwardList::moveWithinPage(const platform::URL& url) {
    const auto* current = currentItem();
    if (!current || current->URL == url) return;
    BackForwardListItem item = *current;
    item.URL = url;
    item.initialURL = url;
    item.request.setURL(url);
    push(std::move(item));
}

bool BackForwardList::sameDocument(int offset) const {
    const auto* current = currentItem();
    const auto* other = itemAtIndex(offset);
    return current && other && offset != 0 && other->document == current->document;
}

BackForwardListItem* BackForwardList::mutableCurrentItem() { return current_ ? &items_[*current_] : nullptr; }

}  // namespace platform::webkit
