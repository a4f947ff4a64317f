#pragma once
// What each engine sent for a page, and the kinds the differences between the two fall into.
#include <string>
#include <utility>
#include <vector>

#include "testing/formdiff/Generator.h"

namespace tesmar_formdiff {

// What one engine sent for a page, with its own folder in URLs written as "/@/".
struct Sent {
    std::string outcome;  // "sent", "refused: why", "nothing", "page did not load: ..."
    std::string method, target, body, referer, origin, cookie;

    std::vector<std::pair<const char*, const std::string*>> items() const {
        return {{"outcome", &outcome}, {"method", &method}, {"target", &target}, {"body", &body},
                {"Referer", &referer}, {"Origin", &origin}, {"Cookie", &cookie}};
    }
};

// Each difference is named by its likely cause, so thousands of pages read as a handful of kinds. A kind
// says which part of the request differs, the field it comes from, and the shape of the two engines'
// bytes there ("%XX" an escaped byte, "&#N;" a character reference); after a tab, what this page shows of
// it (the shapes, the encoding). Empty when both sent the same.
std::vector<std::string> kindsOf(const PageSpec& spec, const Sent& real, const Sent& headless);

std::string replaced(std::string text, const std::string& from, const std::string& to);
// Bytes as a reader sees them: printable ASCII as is, the rest as \xNN.
std::string shown(const std::string& bytes);

}  // namespace tesmar_formdiff
