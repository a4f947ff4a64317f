#pragma once
// Internal: the head of one HTTP answer, read line by line as curl hands it over. It checks what a
// lying server could use against us (a malformed status line, an over-long line, a stray CR,
// Content-Length fields that disagree) and keeps the fields in time linear in their number.
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/foundation/URLRequest.h"

namespace platform::urlsession_detail {

class ResponseHead {
public:
    // Longest header or status line taken (curl refuses far longer ones itself).
    static constexpr size_t kMaxLineLength = 64 * 1024;

    enum class Line {
        Status,     // a status line: a new head begins (interim answers come before the final one)
        Field,      // a header field or a fold of one, kept (read when the next line shows it whole)
        End,        // the empty line that ends the head
        Ignored,    // a trailer field after the body: not part of the response
        Malformed,  // the answer cannot be trusted: see problem()
    };

    // One line as curl gives it, CR LF included.
    Line take(std::string_view line);

    int status() const { return status_; }
    const std::string& version() const { return version_; }
    const std::vector<std::string>& setCookies() const { return setCookies_; }
    const std::string& problem() const { return problem_; }
    // The fields read so far (a field is read when the line after it comes); same-named ones joined
    // with ", ". They leave the head.
    HTTPHeaderFields takeFields();

private:
    Line fail(std::string why);
    Line takeStatus(std::string_view line);
    Line takeField(std::string_view line);

    int status_ = 0;
    std::string version_;
    std::vector<HTTPHeaderFields::Entry> fields_;
    std::vector<std::string> setCookies_;
    std::optional<std::string> contentLength_;
    std::string unread_;  // the last field line, with its folds so far, when hasUnread_
    bool hasUnread_ = false;
    bool ended_ = false;
    std::string problem_;
};

// "HTTP/1.1 200 OK" -> version and status; nullopt when the line is not a status line (three digits,
// 100 to 599, after an HTTP version).
struct StatusLine {
    std::string version;
    int status = 0;
};
std::optional<StatusLine> parseStatusLine(std::string_view line);

}  // namespace platform::urlsession_detail
