#include "platform/foundation/URLRequest.h"

#include <algorithm>
#include <unordered_map>

namespace platform {

const std::string* HTTPHeaderFields::find(std::string_view name) const {
    for (const auto& [k, v] : entries_)
        if (equalsIgnoringASCIICase(k, name)) return &v;
    return nullptr;
}

void HTTPHeaderFields::set(std::string name, std::string value) {
    if (name.empty()) return;
    for (auto& [k, v] : entries_)
        if (equalsIgnoringASCIICase(k, name)) {
            v = std::move(value);
            return;
        }
    entries_.emplace_back(std::move(name), std::move(value));
}

void HTTPHeaderFields::add(std::string name, std::string value) {
    if (name.empty()) return;
    for (auto& [k, v] : entries_)
        if (equalsIgnoringASCIICase(k, name)) {
            v += ",";
            v += value;
            return;
        }
    entries_.emplace_back(std::move(name), std::move(value));
}

bool HTTPHeaderFields::erase(std::string_view name) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return equalsIgnoringASCIICase(e.first, name); });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

HTTPHeaderFields HTTPHeaderFields::combining(std::vector<Entry> fields) {
    HTTPHeaderFields out;
    out.entries_.reserve(fields.size());
    auto join = [](Entry& into, const std::string& value) {
        into.second += ", ";
        into.second += value;
    };
    // A usual head: a look back at the few fields so far costs less than an index.
    constexpr size_t kIndexedFrom = 16;
    if (fields.size() < kIndexedFrom) {
        for (auto& field : fields) {
            if (field.first.empty()) continue;
            auto same = std::find_if(out.entries_.begin(), out.entries_.end(),
                                     [&](const Entry& e) { return equalsIgnoringASCIICase(e.first, field.first); });
            if (same == out.entries_.end())
                out.entries_.push_back(std::move(field));
            else
                join(*same, field.second);
        }
        return out;
    }
    std::unordered_map<std::string, size_t> index;  // lower-case name -> place in out
    index.reserve(fields.size());
    for (auto& field : fields) {
        if (field.first.empty()) continue;
        std::string key(field.first);
        for (char& c : key)
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        auto [it, fresh] = index.try_emplace(std::move(key), out.entries_.size());
        if (fresh)
            out.entries_.push_back(std::move(field));
        else
            join(out.entries_[it->second], field.second);
    }
    return out;
}

Value HTTPHeaderFields::asValue() const {
    Value v = Value::dictionary();
    for (const auto& [k, val] : entries_) v.set(k, val);
    return v;
}

URLRequest::URLRequest(URL url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

std::optional<std::string> URLRequest::valueForHTTPHeaderField(std::string_view name) const {
    if (const auto* v = headers_.find(name)) return *v;
    return std::nullopt;
}

void URLRequest::setValue(std::optional<std::string> value, std::string name) {
    if (value)
        headers_.set(std::move(name), std::move(*value));
    else
        headers_.erase(name);
}

void URLRequest::setHTTPBody(std::optional<Bytes> body) {
    body_ = std::move(body);
    if (body_) bodyStream_.reset();
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
    bodyStream_ = std::move(stream);
    if (bodyStream_) body_.reset();
}

std::string URLRequest::description() const {
    return "<URLRequest> { URL: " + (url_ ? url_->absoluteString() : std::string("(null)")) + " }";
}

}  // namespace platform
