// The page's HTML read with gumbo, a parser that follows the HTML standard's tokenizer and tree
// construction, after decoding it as a browser does; the form's controls found, filled in as a user
// would, and the entries the browser sends for them.
#include "platform/webkit/forms/HTMLForm.h"

#include <gumbo.h>
#include <locale.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/TextEncoding.h"
#include "platform/foundation/URL.h"
#include "platform/webkit/forms/internal/TextEncoding.h"

namespace platform::webkit::forms {

using text::appendUTF8;

namespace {

// Ends a read early, thrown from wherever it is (out through the parser, which keeps nothing but the
// memory ParseMemory frees): why.
struct ReadEnded {
    std::string problem;
};

// The read's time, memory and its caller's stop, checked as it goes.
class ReadBudget {
public:
    ReadBudget(const std::atomic<bool>& stop, const ReadLimits& limits)
        : stop_(stop), limits_(limits), deadline_(std::chrono::steady_clock::now() + limits.time) {}
    const ReadLimits& limits() const { return limits_; }

    void check() {
        if (++checks_ % 64) return;  // the clock costs more than most steps
        if (stop_.load(std::memory_order_relaxed)) throw ReadEnded{"the read of the page was stopped"};
        if (std::chrono::steady_clock::now() > deadline_)
            throw ReadEnded{"the page took more than " + seconds(limits_.time) +
                            " s to read, more than the headless web view gives a form (run with --web-engine real)"};
    }
    // `steps` more of the parser's work foreseen where it allocates nothing and so checks nothing (see
    // checkShape): past what the read's time allows at the pace of a slow or busy machine, the page is
    // refused before it is parsed.
    void foresee(uint64_t steps) {
        foreseen_ += steps;
        if (foreseen_ > uint64_t(limits_.time.count()) * kStepsPerMillisecond)
            throw ReadEnded{"the page would take more than " + seconds(limits_.time) +
                            " s to read, more than the headless web view gives a form (run with --web-engine real)"};
    }
    // `bytes` more (or, negative, fewer) of the read's memory.
    void charge(ptrdiff_t bytes) {
        used_ += bytes;
        if (bytes > 0 && used_ > limits_.memory)
            throw ReadEnded{"the page takes more than " + mebibytes(limits_.memory) +
                            " MiB to read, more than the headless web view gives a form (run with --web-engine real)"};
    }

private:
    static std::string seconds(std::chrono::milliseconds time) {
        char text[32];
        return std::string(text, std::to_chars(text, text + sizeof text, time.count() / 1000.0).ptr);
    }
    static std::string mebibytes(size_t bytes) {
        char text[32];
        return std::string(text, std::to_chars(text, text + sizeof text, bytes / 1048576.0).ptr);
    }

    // The parser's pace looking through its open elements is some 2,000 steps a microsecond; a tenth of
    // it leaves the rest of the read its time on a loaded machine.
    static constexpr uint64_t kStepsPerMillisecond = 200'000;

    const std::atomic<bool>& stop_;
    const ReadLimits limits_;
    const std::chrono::steady_clock::time_point deadline_;
    uint32_t checks_ = 0;
    size_t used_ = 0;
    uint64_t foreseen_ = 0;
};

// Every allocation of one parse, linked so that the tree is freed in one loop however deep it is, and
// counted in the read's budget with whatever else the parse holds. The parser allocates as it makes each
// node, so its allocations also check the budget.
class ParseMemory {
public:
    explicit ParseMemory(ReadBudget& budget) : budget_(budget) {}
    ParseMemory(const ParseMemory&) = delete;
    ParseMemory& operator=(const ParseMemory&) = delete;
    ~ParseMemory() {
        for (Block* block = head_.next; block != &head_;) {
            Block* next = block->next;
            std::free(block);
            block = next;
        }
        budget_.charge(-static_cast<ptrdiff_t>(held_));
    }

    // Counts `bytes` held for the parse outside the tree (its text, what is found).
    void hold(size_t bytes) {
        held_ += bytes;
        budget_.charge(static_cast<ptrdiff_t>(bytes));
    }
    ReadBudget& budget() { return budget_; }

    static void* allocate(void* self, size_t size) {
        auto* memory = static_cast<ParseMemory*>(self);
        memory->budget_.check();
        auto* block = static_cast<Block*>(std::malloc(sizeof(Block) + size));
        if (!block) throw std::bad_alloc();
        auto& head = memory->head_;
        block->prev = &head;
        block->next = head.next;
        head.next->prev = block;
        head.next = block;
        try {
            memory->hold(::malloc_usable_size(block));
        } catch (...) {
            release(self, block + 1);
            throw;
        }
        return block + 1;
    }
    static void release(void* self, void* pointer) {
        if (!pointer) return;
        auto* memory = static_cast<ParseMemory*>(self);
        Block* block = static_cast<Block*>(pointer) - 1;
        block->prev->next = block->next;
        block->next->prev = block->prev;
        size_t size = ::malloc_usable_size(block);
        memory->held_ -= size;
        memory->budget_.charge(-static_cast<ptrdiff_t>(size));
        std::free(block);
    }

private:
    struct alignas(std::max_align_t) Block {
        Block* prev;
        Block* next;
    };
    ReadBudget& budget_;
    Block head_{&head_, &head_};
    size_t held_ = 0;
};

// The code point of valid UTF-8 at text[at], and its length.
char32_t codePointAt(std::string_view text, size_t at, size_t& length) {
    auto b = static_cast<unsigned char>(text[at]);
    length = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (at + length > text.size()) {
        length = 1;
        return b;
    }
    char32_t c = length == 1 ? b : length == 2 ? b & 0x1F : length == 3 ? b & 0x0F : b & 0x07;
    for (size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
    return c;
}

// The parser writes U+FFFD for control characters and noncharacters, which browsers keep: each goes
// through it as a private-use code point of planes 15 and 16 that the page writes nowhere, neither as a
// character nor as a numeric reference, and comes back in what is read of it.
class Marks {
public:
    // Marks `text` in place; false when the page writes so many of those code points that too few are
    // left.
    bool mark(std::string& text) {
        std::vector<bool> written(kCount);
        bool needed = false;
        for (size_t at = 0, length = 0; at < text.size(); at += length) {
            char32_t c = codePointAt(text, at, length);
            needed = needed || needsMark(c);
            if (c >= kFirst) written[c - kFirst] = true;
            if (c == '&' && at + 1 < text.size() && text[at + 1] == '#') {
                // Whatever reference the parser may read here, with or without its ';'.
                size_t i = at + 2;
                bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
                uint32_t value = 0;
                for (i += hex; i < text.size(); ++i) {
                    auto d = static_cast<unsigned char>(text[i]);
                    int digit = std::isdigit(d) ? d - '0' : hex && std::isxdigit(d) ? (d | 0x20) - 'a' + 10 : -1;
                    if (digit < 0) break;
                    value = std::min<uint32_t>(value * (hex ? 16 : 10) + digit, 0x110000);
                }
                if (value >= kFirst && value < kFirst + kCount) written[value - kFirst] = true;
            }
        }
        if (!needed) return true;
        std::string out;
        out.reserve(text.size());
        size_t next = 0;  // the next code point to try as a mark
        for (size_t at = 0, length = 0; at < text.size(); at += length) {
            char32_t c = codePointAt(text, at, length);
            if (!needsMark(c)) {
                out.append(text, at, length);
                continue;
            }
            auto [known, added] = markOf_.try_emplace(c, 0);
            if (added) {
                while (next < kCount && (written[next] || (next & 0xFFFE) == 0xFFFE)) ++next;
                if (next == kCount) return false;
                known->second = kFirst + next++;
                originalOf_[known->second] = c;
            }
            appendUTF8(out, known->second);
        }
        text = std::move(out);
        return true;
    }

    std::string unmarked(std::string_view text) const {
        if (originalOf_.empty()) return std::string(text);
        std::string out;
        for (size_t at = 0, length = 0; at < text.size(); at += length) {
            char32_t c = codePointAt(text, at, length);
            auto original = c >= kFirst ? originalOf_.find(c) : originalOf_.end();
            if (original != originalOf_.end())
                appendUTF8(out, original->second);
            else
                out.append(text.substr(at, length));
        }
        return out;
    }

private:
    static constexpr char32_t kFirst = 0xF0000;
    static constexpr size_t kCount = 0x20000;  // planes 15 and 16

    static bool needsMark(char32_t c) {
        bool control = (c >= 1 && c <= 8) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || (c >= 0x7F && c <= 0x9F);
        return control || (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
    }

    std::map<char32_t, char32_t> markOf_, originalOf_;
};

bool isHTML(const GumboNode* node, GumboTag tag) {
    return node->type == GUMBO_NODE_ELEMENT && node->v.element.tag == tag &&
           node->v.element.tag_namespace == GUMBO_NAMESPACE_HTML;
}

const char* attribute(const GumboNode* node, const char* name) {
    const GumboAttribute* found = gumbo_get_attribute(&node->v.element.attributes, name);
    return found ? found->value : nullptr;
}

std::optional<std::string> attributeText(const GumboNode* node, const char* name, const Marks& marks) {
    const char* value = attribute(node, name);
    return value ? std::optional<std::string>(marks.unmarked(value)) : std::nullopt;
}

bool hasAttribute(const GumboNode* node, const char* name) { return attribute(node, name) != nullptr; }

const GumboVector& childrenOf(const GumboNode* node) {
    return node->type == GUMBO_NODE_DOCUMENT ? node->v.document.children : node->v.element.children;
}

bool isASCIIWhitespace(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// Without the HTML whitespace at its ends; a vertical tab is not such whitespace.
std::string_view trimmedHTMLWhitespace(std::string_view s) {
    while (!s.empty() && isASCIIWhitespace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isASCIIWhitespace(s.back())) s.remove_suffix(1);
    return s;
}

std::string strippedAndCollapsed(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (!isASCIIWhitespace(c))
            out += c;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// The text of a node's descendants, less that of scripts.
std::string textContent(const GumboNode* node, const Marks& marks) {
    std::string text;
    std::vector<const GumboNode*> pending{node};
    while (!pending.empty()) {
        const GumboNode* at = pending.back();
        pending.pop_back();
        if (at->type == GUMBO_NODE_TEXT || at->type == GUMBO_NODE_WHITESPACE || at->type == GUMBO_NODE_CDATA) {
            text += at->v.text.text;
        } else if (at->type == GUMBO_NODE_ELEMENT && at->v.element.tag != GUMBO_TAG_SCRIPT) {
            const GumboVector& children = at->v.element.children;
            for (unsigned i = children.length; i-- > 0;)
                pending.push_back(static_cast<const GumboNode*>(children.data[i]));
        }
    }
    return marks.unmarked(text);
}

// The standard's "rules for parsing non-negative integers"; nullopt for none.
std::optional<long> nonNegativeInteger(const char* text) {
    if (!text) return std::nullopt;
    std::string_view s = trimmingASCIIWhitespace(text);
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    long value = 0;
    size_t digits = 0;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9' && value < 1'000'000'000)
        value = value * 10 + (s[digits++] - '0');
    return digits ? std::optional<long>(value) : std::nullopt;
}

enum class Kind { Text, Choice, Select, Submit, Other };

struct Option {
    std::string value;
    bool selected = false;
    bool disabled = false;
    bool grouped = false;  // in an optgroup
};

struct Control {
    const GumboNode* node = nullptr;
    std::string tag;   // input, button, select or textarea
    std::string type;  // an input's or a button's type, lower-case
    std::optional<std::string> name;
    Kind kind = Kind::Other;
    bool disabled = false;
    bool inDatalist = false;
    std::string value;  // text fields, choices, buttons
    bool checked = false;
    bool multiple = false;
    bool menuList = false;  // a select showing one option at a time
    std::vector<Option> options;
    std::string direction = "ltr";
    int owner = -1;  // the form it belongs to
};

struct Form {
    const GumboNode* node = nullptr;
    std::optional<std::string> id;
    std::optional<std::string> action;
};

struct Page {
    std::vector<Form> forms;
    std::vector<Control> controls;
    std::optional<std::string> baseHref;
    std::map<std::string, const GumboNode*> ids;  // the first element of each id
    const TextEncoding* metaEncoding = nullptr;   // the first <meta> naming one
    bool sawMeta = false;
    Marks marks;  // of the text parsed
};

// A single select's options after any change: one chosen, the last of those marked, else the first that
// can be.
void settleSelection(Control& select) {
    if (select.multiple) return;
    auto last =
        std::find_if(select.options.rbegin(), select.options.rend(), [](const Option& o) { return o.selected; });
    for (auto it = select.options.rbegin(); it != select.options.rend(); ++it)
        if (it != last) it->selected = false;
    if (last != select.options.rend() || !select.menuList) return;
    for (auto& option : select.options)
        if (!option.disabled) {
            option.selected = true;
            return;
        }
}

// The standard's "valid floating-point number", read; nullopt for anything else.
std::optional<double> floatingPointNumber(std::string_view s) {
    size_t i = !s.empty() && s[0] == '-' ? 1 : 0;
    auto digits = [&] {
        size_t from = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        return i - from;
    };
    size_t whole = digits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        if (!digits()) return std::nullopt;
    } else if (!whole) {
        return std::nullopt;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (!digits()) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;
    // Read in the C locale: the process's own (the toolkit sets the user's) may have another decimal point.
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", nullptr);
    double value = ::strtod_l(std::string(s).c_str(), nullptr, c);
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

// A number as a range keeps it: its digits and the power of ten they count in, as read from its text, so
// 1e1 and 10 stay apart as they do in the engine.
struct Decimal {
    bool negative = false;
    std::string digits;  // no leading zeros; empty for zero
    int exponent = 0;
    double value = 0;
};

// A range reads a number a little more loosely than the standard's floating-point number: "5." and ".5" are
// numbers too. nullopt for anything else, or past the largest double.
std::optional<Decimal> decimalOf(std::string_view s) {
    Decimal d;
    size_t i = 0;
    if (i < s.size() && s[i] == '-') d.negative = true, ++i;
    size_t digits = 0;
    bool point = false;
    for (; i < s.size(); ++i) {
        char c = s[i];
        if (c == '.' && !point) {
            point = true;
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            ++digits;
            if (!(d.digits.empty() && c == '0')) d.digits += c;
            if (point) --d.exponent;
        } else {
            break;
        }
    }
    if (!digits) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t from = ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t start = i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
        if (i == start || i - start > 6) return std::nullopt;
        d.exponent += std::stoi(std::string(s.substr(from, i - from)));
    }
    if (i != s.size()) return std::nullopt;
    // Read in the C locale: the process's own (the toolkit sets the user's) may have another decimal point.
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", nullptr);
    d.value = ::strtod_l(std::string(s).c_str(), nullptr, c);
    if (!std::isfinite(d.value)) return std::nullopt;
    // Eighteen digits at most; zero has no sign.
    if (d.digits.size() > 18) {
        d.exponent += static_cast<int>(d.digits.size() - 18);
        d.digits.resize(18);
    }
    if (d.digits.empty()) d.negative = false, d.exponent = 0, d.value = 0;
    return d;
}

// A number worked out rather than read: an integer counts in ones, any other in its shortest digits.
Decimal decimalOf(double v) {
    char text[40];
    bool whole = v == std::trunc(v) && std::fabs(v) < 1e18;
    auto end = whole ? std::to_chars(text, text + sizeof text, v, std::chars_format::fixed).ptr
                     : std::to_chars(text, text + sizeof text, v, std::chars_format::scientific).ptr;
    Decimal d = *decimalOf(std::string_view(text, end - text));
    d.value = v;
    return d;
}

// The engine's text for a number: its digits as they are when they count in ones, past the point while
// the fraction's trailing zeros go and its first digit is no smaller than millionths, else in exponent form
// ("1e+1", "1.234e-7").
std::string written(Decimal d) {
    if (d.digits.empty()) return "0";
    while (d.exponent < 0 && d.digits.back() == '0') d.digits.pop_back(), ++d.exponent;
    std::string sign = d.negative ? "-" : "";
    int size = static_cast<int>(d.digits.size()), adjusted = size - 1 + d.exponent;
    if (d.exponent == 0) return sign + d.digits;
    if (d.exponent < 0 && adjusted >= -6) {
        if (adjusted >= 0) return sign + d.digits.substr(0, adjusted + 1) + "." + d.digits.substr(adjusted + 1);
        return sign + "0." + std::string(-adjusted - 1, '0') + d.digits;
    }
    std::string rest = d.digits.substr(1);
    while (!rest.empty() && rest.back() == '0') rest.pop_back();
    return sign + d.digits[0] + (rest.empty() ? "" : "." + rest) + "e" + (adjusted > 0 ? "+" : "") +
           std::to_string(adjusted);
}

// A range's value: a number within its min and max (0 and 100 unless said) on its step (1 unless said),
// the middle when it has none; written as the engine writes it. `value` is absent for a range of the page
// without a value attribute, whose middle the engine clamps once; any value it is given (one it cannot
// read falls back to that clamped middle) is clamped again.
std::string rangeValue(const std::optional<std::string>& value, const GumboNode* node) {
    auto number = [node](const char* name) {
        const char* text = attribute(node, name);
        return text ? decimalOf(text) : std::nullopt;
    };
    auto minText = number("min"), maxText = number("max");
    Decimal min = minText.value_or(Decimal{}), max = maxText.value_or(decimalOf(100.0));
    if (max.value < min.value) max = min;  // the value is then its min
    const char* stepAttribute = attribute(node, "step");
    Decimal stepNumber = decimalOf(1.0);
    if (stepAttribute && equalsIgnoringASCIICase(trimmingASCIIWhitespace(stepAttribute), "any"))
        stepNumber.value = 0;
    else if (auto s = stepAttribute ? decimalOf(stepAttribute) : std::nullopt; s && s->value > 0)
        stepNumber = *s;
    double step = stepNumber.value;
    // Steps count from its min, else from its value attribute, a half step away from it (-99.5 steps are
    // -100); a step too small to count in is none.
    Decimal baseText = minText ? *minText : number("value").value_or(Decimal{});
    double base = baseText.value;
    int baseExponent = baseText.digits.empty() ? 0 : baseText.exponent;

    auto clamped = [&](Decimal v) {
        if (v.value <= min.value)
            v = min;
        else if (v.value > max.value)
            v = max;
        if (step <= 0) return v;
        double aligned = base + std::round((v.value - base) / step) * step;
        if (aligned > max.value)
            aligned -= step;
        else if (aligned < min.value)
            aligned += step;
        // To 15 significant digits, as decimal steps land: three steps of 0.1 are 0.3, as the engine counts.
        char digits[32];
        auto end = std::to_chars(digits, digits + sizeof digits, aligned, std::chars_format::general, 15).ptr;
        std::from_chars(digits, end, aligned);
        // With no step within its min and max, the value stays as clamped.
        if (!std::isfinite(aligned) || aligned < min.value || aligned > max.value) return v;
        // Worked out from the base in decimal, in the finer power of ten of the base and the steps added
        // (7 + 3 is 10, 1e1 + 5 steps of 1e1 is 6e+1). No step added counts in the step's power of ten, or,
        // when the value was the base already, in the coarser of that and the value's: 1e1 stays 1e+1, and a
        // middle of 55 stepped by 100 down to the base 1e1 is 10.
        int stepsExponent = stepNumber.exponent;
        if (aligned == base && v.value == base)
            stepsExponent = std::max(stepsExponent, std::min(v.digits.empty() ? 0 : v.exponent, baseExponent));
        int exponent = std::min(baseExponent, stepsExponent);
        if (aligned == base && exponent >= baseExponent) return baseText;
        v = decimalOf(aligned);
        double units = std::abs(exponent) <= 17 ? aligned / std::pow(10.0, exponent) : HUGE_VAL;
        if (std::fabs(units) < 1e18) {
            v.negative = units < 0;
            v.digits = std::to_string(std::llround(std::fabs(units)));
            v.exponent = exponent;
            if (v.digits == "0") v.digits.clear();
        }
        return v;
    };
    // Halves first where their difference is past the largest double.
    double middle =
        std::isfinite(max.value - min.value) ? min.value + (max.value - min.value) / 2 : min.value / 2 + max.value / 2;
    Decimal fallback = clamped(decimalOf(middle));
    if (!value) return written(fallback);
    auto given = decimalOf(*value);
    return written(clamped(given.value_or(fallback)));
}

// The date and time fields' values: valid strings of their kind, else nothing; a local date and time
// normalized (a "T" between them, seconds only when not zero).
struct DateTimeReader {
    // The last day a script's Date holds: the engine keeps no value past it.
    static constexpr std::tuple<int, int, int> kLatestDate{275760, 9, 13};
    std::string_view s;
    size_t at = 0;
    bool latest = false;  // the date read is the last day
    std::optional<int> number(size_t digits, bool orMore = false) {
        size_t from = at;
        while (at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])) && (orMore || at - from < digits)) ++at;
        if (at - from < digits || at - from > 9) return std::nullopt;
        return std::stoi(std::string(s.substr(from, at - from)));
    }
    bool literal(char c) { return at < s.size() && s[at] == c && ++at; }
    bool done() const { return at == s.size(); }

    std::optional<std::pair<int, int>> yearMonth() {
        auto year = number(4, true);
        if (!year || *year < 1 || !literal('-')) return std::nullopt;
        auto month = number(2);
        if (!month || *month < 1 || *month > 12) return std::nullopt;
        return std::make_pair(*year, *month);
    }
    bool date() {
        auto ym = yearMonth();
        if (!ym || !literal('-')) return false;
        auto day = number(2);
        static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        int year = ym->first;
        bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
        int last = ym->second == 2 && !leap ? 28 : days[ym->second - 1];
        if (!day || *day < 1 || *day > last) return false;
        latest = std::make_tuple(year, ym->second, *day) >= kLatestDate;
        return std::make_tuple(year, ym->second, *day) <= kLatestDate;
    }
    // A time; `shortest` the same time without seconds that are zero, nor the fraction's trailing zeros.
    bool time(std::string* shortest = nullptr) {
        size_t from = at;
        auto hour = number(2);
        if (!hour || *hour > 23 || !literal(':')) return false;
        auto minute = number(2);
        if (!minute || *minute > 59) return false;
        std::string seconds;
        if (literal(':')) {
            auto second = number(2);
            if (!second || *second > 59) return false;
            seconds = std::string(s.substr(at - 2, 2));
            if (literal('.')) {
                size_t fraction = at;
                if (!number(1, true) || at - fraction > 3) return false;
                std::string digits(s.substr(fraction, at - fraction));
                while (!digits.empty() && digits.back() == '0') digits.pop_back();
                if (!digits.empty()) seconds += "." + digits;
            }
            if (seconds == "00") seconds.clear();
        }
        if (shortest) *shortest = std::string(s.substr(from, 5)) + (seconds.empty() ? "" : ":" + seconds);
        return true;
    }
};

std::string dateTimeValue(const std::string& type, const std::string& value) {
    DateTimeReader reader{value};
    bool valid = false;
    if (type == "date") {
        valid = reader.date();
    } else if (type == "month") {
        auto ym = reader.yearMonth();
        valid = ym && *ym <= std::make_pair(std::get<0>(DateTimeReader::kLatestDate),
                                            std::get<1>(DateTimeReader::kLatestDate));
    } else if (type == "time") {
        valid = reader.time();
    } else if (type == "week") {
        auto year = reader.number(4, true);
        auto week = year && *year >= 1 && reader.literal('-') && reader.literal('W') ? reader.number(2) : std::nullopt;
        // 53 weeks in a year that starts on a Thursday, or a leap year that starts on a Wednesday.
        auto weekday = [](int y) { return (1 + 5 * ((y - 1) % 4) + 4 * ((y - 1) % 100) + 6 * ((y - 1) % 400)) % 7; };
        if (week && year) {
            bool leap = *year % 4 == 0 && (*year % 100 != 0 || *year % 400 == 0);
            int weeks = weekday(*year) == 4 || (leap && weekday(*year) == 3) ? 53 : 52;
            valid = *week >= 1 && *week <= weeks && std::make_pair(*year, *week) <= std::make_pair(275760, 37);
        }
    } else if (type == "datetime-local") {
        std::string time;
        size_t date = 0;
        if (reader.date() && (date = reader.at, reader.literal('T') || reader.literal(' ')) && reader.time(&time) &&
            reader.done() && (!reader.latest || time == "00:00"))
            return value.substr(0, date) + "T" + time;
        return "";
    } else {
        return value;
    }
    return valid && reader.done() ? value : "";
}

// A value as an input of `type` keeps it (its value sanitization).
std::string sanitizedValue(const std::string& type, std::string value, const GumboNode* attributes) {
    bool multiple = hasAttribute(attributes, "multiple");
    auto withoutLineBreaks = [](std::string text) {
        text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }), text.end());
        return text;
    };
    if (type == "text" || type == "search" || type == "tel" || type == "password")
        return withoutLineBreaks(std::move(value));
    if (type == "url") return std::string(trimmedHTMLWhitespace(withoutLineBreaks(std::move(value))));
    if (type == "email") {
        value = withoutLineBreaks(std::move(value));
        if (!multiple) return std::string(trimmedHTMLWhitespace(value));
        std::string out;
        for (size_t at = 0; at <= value.size();) {
            size_t comma = std::min(value.find(',', at), value.size());
            if (at) out += ',';
            out += trimmedHTMLWhitespace(std::string_view(value).substr(at, comma - at));
            at = comma + 1;
        }
        return out;
    }
    if (type == "number") return floatingPointNumber(value) ? value : "";
    if (type == "range") return rangeValue(value, attributes);
    if (type == "date" || type == "month" || type == "week" || type == "time" || type == "datetime-local")
        return dateTimeValue(type, value);
    if (type == "color") {
        bool simple = value.size() == 7 && value[0] == '#' && std::all_of(value.begin() + 1, value.end(), [](char c) {
                          return std::isxdigit(static_cast<unsigned char>(c));
                      });
        return simple ? lowercasedASCII(value) : "#000000";
    }
    return value;
}

const char* const kInputTypes[] = {"hidden",   "text",  "search", "tel",      "url",   "email",
                                   "password", "date",  "month",  "week",     "time",  "datetime-local",
                                   "number",   "range", "color",  "checkbox", "radio", "file",
                                   "submit",   "image", "reset",  "button"};

Control controlOf(const GumboNode* node, GumboTag tag, bool disabled, bool inDatalist, const std::string& direction,
                  const Marks& marks) {
    Control control;
    control.node = node;
    control.tag = gumbo_normalized_tagname(tag);
    control.name = attributeText(node, "name", marks);
    control.disabled = disabled || hasAttribute(node, "disabled");
    control.inDatalist = inDatalist;
    control.direction = direction;
    if (tag == GUMBO_TAG_INPUT) {
        std::string type = lowercasedASCII(attributeText(node, "type", marks).value_or("text"));
        control.type = "text";
        for (const char* known : kInputTypes)
            if (type == known) control.type = type;
        const std::string& t = control.type;
        if (t == "checkbox" || t == "radio") {
            control.kind = Kind::Choice;
            control.value = attributeText(node, "value", marks).value_or("on");
            control.checked = hasAttribute(node, "checked");
        } else if (t == "submit" || t == "image") {
            control.kind = Kind::Submit;
            control.value = attributeText(node, "value", marks).value_or("");
        } else if (t != "reset" && t != "button" && t != "file") {
            control.kind = Kind::Text;
            auto value = attributeText(node, "value", marks);
            control.value = t == "range"    ? rangeValue(value, node)
                            : t == "hidden" ? value.value_or("")
                                            : sanitizedValue(t, value.value_or(""), node);
        }
    } else if (tag == GUMBO_TAG_BUTTON) {
        std::string type = lowercasedASCII(attributeText(node, "type", marks).value_or("submit"));
        control.type = type == "reset" || type == "button" ? type : "submit";
        control.kind = control.type == "submit" ? Kind::Submit : Kind::Other;
        control.value = attributeText(node, "value", marks).value_or("");
    } else if (tag == GUMBO_TAG_SELECT) {
        control.kind = Kind::Select;
        control.multiple = hasAttribute(node, "multiple");
        control.menuList = !control.multiple && nonNegativeInteger(attribute(node, "size")).value_or(0) <= 1;
        // Its options: its own option children and those of its option groups.
        auto add = [&control, &marks](const GumboNode* option, const GumboNode* group) {
            Option made;
            made.value =
                attributeText(option, "value", marks).value_or(strippedAndCollapsed(textContent(option, marks)));
            made.selected = hasAttribute(option, "selected");
            made.disabled = (group && hasAttribute(group, "disabled")) || hasAttribute(option, "disabled");
            made.grouped = group != nullptr;
            control.options.push_back(std::move(made));
        };
        const GumboVector& children = node->v.element.children;
        for (unsigned i = 0; i < children.length; ++i) {
            const auto* child = static_cast<const GumboNode*>(children.data[i]);
            if (isHTML(child, GUMBO_TAG_OPTION)) add(child, nullptr);
            if (!isHTML(child, GUMBO_TAG_OPTGROUP)) continue;
            const GumboVector& grouped = child->v.element.children;
            for (unsigned j = 0; j < grouped.length; ++j) {
                const auto* option = static_cast<const GumboNode*>(grouped.data[j]);
                if (isHTML(option, GUMBO_TAG_OPTION)) add(option, child);
            }
        }
        settleSelection(control);
    } else {  // textarea: its text (the parser drops a first line break)
        control.type = "textarea";
        control.kind = Kind::Text;
        control.value = textContent(node, marks);
    }
    return control;
}

// What a control found takes of the read's memory, near enough: itself (twice, for the spare room of the
// list it is in), its offset and its texts.
size_t footprint(const Control& control) {
    size_t size = 2 * sizeof(Control) + sizeof(size_t) + control.value.capacity() +
                  (control.name ? control.name->capacity() : 0) + control.options.capacity() * sizeof(Option);
    for (const auto& option : control.options) size += option.value.capacity();
    return size;
}
constexpr size_t kMapNodeSize = 64;  // a node of a std::map, near enough

// A span of the page's text in which "</form" is no end tag: a tag's own text, a comment, the text of a
// script, style or textarea, and what an end tag inside a select, template or noscript does not reach.
struct Span {
    size_t from, to;
};

void addSpan(std::vector<Span>& spans, size_t from, size_t length) {
    if (length) spans.push_back({from, from + length});
}

// An element's whole text, its start tag to the end of its end tag, else to the end of the page; or, when
// `closedByTag` (a select, which an <input> or <textarea> closes), to where the tag that closed it starts.
void addElementSpan(std::vector<Span>& spans, const GumboElement& element, size_t textSize, bool closedByTag = false) {
    bool closedThere = closedByTag && element.end_pos.offset > element.start_pos.offset;
    size_t end = element.original_end_tag.length ? element.end_pos.offset + element.original_end_tag.length
                 : closedThere                   ? element.end_pos.offset
                                                 : textSize;
    addSpan(spans, element.start_pos.offset, end - std::min<size_t>(end, element.start_pos.offset));
}

// Where the parser's form element pointer ended: every "</form" end tag of the page (outside the spans).
std::vector<size_t> formEndTags(std::string_view text, std::vector<Span> spans) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.from < b.from; });
    // Merged, so a position is inside one exactly when the span starting last before it reaches it.
    std::vector<Span> merged;
    for (const auto& span : spans) {
        if (!merged.empty() && span.from <= merged.back().to)
            merged.back().to = std::max(merged.back().to, span.to);
        else
            merged.push_back(span);
    }
    std::vector<size_t> ends;
    for (size_t at = findIgnoringASCIICase(text, "</form"); at != std::string_view::npos;
         at = findIgnoringASCIICase(text, "</form", at + 6)) {
        if (at + 6 >= text.size()) break;
        char after = text[at + 6];
        if (!isASCIIWhitespace(after) && after != '/' && after != '>') continue;
        auto span =
            std::upper_bound(merged.begin(), merged.end(), at, [](size_t p, const Span& s) { return p < s.from; });
        if (span != merged.begin() && at < std::prev(span)->to) continue;
        ends.push_back(at);
    }
    return ends;
}

void collect(const GumboNode* root, std::string_view text, Page& page, ParseMemory& memory) {
    struct Context {
        int form = -1;       // the nearest form around it
        bool moved = false;  // it or an element around it was moved by the repair of misnested tags
        bool disabled = false;
        bool inDatalist = false;
        std::string direction = "ltr";
    };
    struct Visit {
        const GumboNode* node;
        Context context;
    };
    std::vector<Span> spans;
    std::vector<std::pair<size_t, int>> formStarts;  // offset, form
    std::vector<size_t> controlOffsets;
    std::vector<Visit> pending{{root, {}}};
    while (!pending.empty()) {
        memory.budget().check();
        Visit visit = std::move(pending.back());
        pending.pop_back();
        const GumboNode* node = visit.node;
        Context context = visit.context;
        if (node->type == GUMBO_NODE_COMMENT || node->type == GUMBO_NODE_CDATA) {
            addSpan(spans, node->v.text.start_pos.offset, node->v.text.original_text.length);
            continue;
        }
        if (node->type == GUMBO_NODE_TEXT) {
            const GumboNode* parent = node->parent;
            if (parent && parent->type == GUMBO_NODE_ELEMENT) {
                switch (parent->v.element.tag) {
                case GUMBO_TAG_SCRIPT:
                case GUMBO_TAG_STYLE:
                case GUMBO_TAG_TEXTAREA:
                case GUMBO_TAG_TITLE:
                case GUMBO_TAG_XMP:
                case GUMBO_TAG_IFRAME:
                case GUMBO_TAG_NOEMBED:
                case GUMBO_TAG_NOFRAMES:
                case GUMBO_TAG_PLAINTEXT:
                    addSpan(spans, node->v.text.start_pos.offset, node->v.text.original_text.length);
                    break;
                default:
                    break;
                }
            }
            continue;
        }
        if (node->type == GUMBO_NODE_TEMPLATE) {
            // Its content is no part of the page, and neither opens nor ends its forms.
            addElementSpan(spans, node->v.element, text.size());
            continue;
        }
        if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_DOCUMENT) continue;
        if (node->type == GUMBO_NODE_ELEMENT) {
            const GumboElement& element = node->v.element;
            addSpan(spans, element.start_pos.offset, element.original_tag.length);
            context.moved = context.moved || (node->parse_flags & GUMBO_INSERTION_ADOPTION_AGENCY_MOVED);
            bool html = element.tag_namespace == GUMBO_NAMESPACE_HTML;
            if (auto id = attributeText(node, "id", page.marks))
                if (page.ids.emplace(*id, node).second) memory.hold(kMapNodeSize + id->capacity());
            if (const char* dir = attribute(node, "dir"); html && dir) {
                std::string d = lowercasedASCII(dir);
                if (d == "ltr" || d == "rtl") context.direction = d;
            }
            GumboTag tag = html ? element.tag : GUMBO_TAG_UNKNOWN;
            if (tag == GUMBO_TAG_NOSCRIPT || tag == GUMBO_TAG_SELECT) {
                // A script-running page reads a noscript's content as text; a select ignores "</form>".
                addElementSpan(spans, element, text.size(), tag == GUMBO_TAG_SELECT);
                if (tag == GUMBO_TAG_NOSCRIPT) continue;
            }
            if (tag == GUMBO_TAG_FORM) {
                page.forms.push_back(
                    {node, attributeText(node, "id", page.marks), attributeText(node, "action", page.marks)});
                context.form = static_cast<int>(page.forms.size()) - 1;
                formStarts.emplace_back(element.start_pos.offset, context.form);
            } else if (tag == GUMBO_TAG_BASE && !page.baseHref) {
                page.baseHref = attributeText(node, "href", page.marks);
            } else if (tag == GUMBO_TAG_META && !page.sawMeta && node->parent && isHTML(node->parent, GUMBO_TAG_HEAD)) {
                // The engine reads one in the page's head only, however far in.
                const char* charset = attribute(node, "charset");
                const char* equiv = attribute(node, "http-equiv");
                const char* content = attribute(node, "content");
                bool pragma = equiv && equalsIgnoringASCIICase(equiv, "content-type") && content;
                if (charset || pragma) {
                    page.sawMeta = true;
                    page.metaEncoding = encodingForMeta(charset ? charset : "", pragma && !charset ? content : "");
                }
            } else if (tag == GUMBO_TAG_DATALIST) {
                context.inDatalist = true;
            } else if (tag == GUMBO_TAG_INPUT || tag == GUMBO_TAG_BUTTON || tag == GUMBO_TAG_SELECT ||
                       tag == GUMBO_TAG_TEXTAREA) {
                page.controls.push_back(
                    controlOf(node, tag, context.disabled, context.inDatalist, context.direction, page.marks));
                page.controls.back().owner = context.form;
                memory.hold(footprint(page.controls.back()));
                // A control moved after the parser made it belongs to the form around it, if any.
                controlOffsets.push_back(context.moved ? std::string_view::npos : element.start_pos.offset);
            }
        }
        const GumboVector& children = childrenOf(node);
        // A disabled fieldset disables what it holds, except its first legend.
        bool fieldsetDisabled = isHTML(node, GUMBO_TAG_FIELDSET) && hasAttribute(node, "disabled");
        const GumboNode* legend = nullptr;
        for (unsigned i = 0; fieldsetDisabled && i < children.length && !legend; ++i)
            if (isHTML(static_cast<const GumboNode*>(children.data[i]), GUMBO_TAG_LEGEND))
                legend = static_cast<const GumboNode*>(children.data[i]);
        for (unsigned i = children.length; i-- > 0;) {
            const auto* child = static_cast<const GumboNode*>(children.data[i]);
            Context inner = context;
            inner.disabled = context.disabled || (fieldsetDisabled && child != legend);
            pending.push_back({child, std::move(inner)});
        }
    }

    memory.hold(spans.capacity() * sizeof(Span));

    // The parser gives each control it makes to the form it last opened, until an end tag closes it,
    // even where the form's element ended before the control (a form in a table): replayed in the
    // order of the page's text.
    std::vector<size_t> ends = formEndTags(text, std::move(spans));
    std::sort(formStarts.begin(), formStarts.end());
    for (size_t i = 0; i < page.controls.size(); ++i) {
        Control& control = page.controls[i];
        if (hasAttribute(control.node, "form")) {
            auto found = page.ids.find(*attributeText(control.node, "form", page.marks));
            control.owner = -1;
            for (size_t f = 0; found != page.ids.end() && f < page.forms.size(); ++f)
                if (page.forms[f].node == found->second) control.owner = static_cast<int>(f);
            continue;
        }
        size_t at = controlOffsets[i];
        if (at == std::string_view::npos) continue;
        auto start = std::lower_bound(formStarts.begin(), formStarts.end(), std::make_pair(at, -1));
        if (start == formStarts.begin()) continue;
        --start;
        auto end = std::lower_bound(ends.begin(), ends.end(), start->first);
        if (end == ends.end() || *end > at) control.owner = start->second;
    }
    // A radio parsed checked unchecks those before it in its group (same form, same name).
    std::map<std::pair<int, std::string>, Control*> checkedRadios;
    for (auto& control : page.controls) {
        if (control.type != "radio" || !control.checked || !control.name || control.name->empty()) continue;
        Control*& earlier = checkedRadios[{control.owner, *control.name}];
        if (earlier) earlier->checked = false;
        earlier = &control;
    }
}

// The page's tree (kept by `memory`) and what was found in it.
struct Parsed {
    std::unique_ptr<ParseMemory> memory;  // first: freed last, after what it counts
    std::string text;
    Page page;
    const TextEncoding* encoding = nullptr;
};

// The elements the parser keeps open at a point of the page as its tags tell, to bound before parsing how
// deep they nest and how long the parser works where it allocates nothing (and so checks no budget), by the
// HTML standard's tree construction, near enough. A start tag opens one; an end tag closes the open element
// of its name with those opened since, unless an element that stops it is open inside (a <div> in the
// <span> it would close; a cell for what is outside it). Void elements open none, nor does a self-closing
// tag in SVG or MathML. What a browser closes by itself (an unclosed <p>, <li>, <td>, <option>, <a>, a
// heading in a heading, a table in a table, a select in a select) is closed so, with what was opened inside
// it; what a <select> holds besides options, or a table's part outside a table, is ignored; the formatting
// elements (<b>, <a>, ...) a block closed open again, and a cell's row and body open with it. A formatting
// element whose end tag comes inside a block it holds stays open: the count errs on the deep side there.
class OpenElements {
public:
    size_t depth() const { return open_.size(); }

    // Whether the element's text is raw (a script's, a style's, ...): no tags are read in it.
    bool start(std::string name, bool selfClosing) {
        static const std::set<std::string, std::less<>> opensNone = {
            "area",   "base",  "basefont", "bgsound", "br",     "col",  "embed", "frame",
            "hr",     "image", "img",      "input",   "keygen", "link", "meta",  "param",
            "source", "track", "wbr",      "html",    "head",   "body", "form"};
        static const std::set<std::string, std::less<>> closesP = {
            "address",  "article",    "aside",  "blockquote", "center", "details", "dialog", "dir",  "div", "dl",
            "fieldset", "figcaption", "figure", "footer",     "header", "hgroup",  "main",   "menu", "nav", "ol",
            "section",  "summary",    "ul",     "h1",         "h2",     "h3",      "h4",     "h5",   "h6",  "pre",
            "listing",  "table",      "hr",     "xmp",        "li",     "dd",      "dt",     "p"};
        // Start tags that do not first open again the formatting elements a block closed.
        static const std::set<std::string, std::less<>> keepsClosed = {
            "base",      "basefont", "bgsound", "body",  "col",      "form",     "frame",    "frameset",
            "head",      "html",     "iframe",  "link",  "meta",     "noembed",  "noframes", "param",
            "plaintext", "script",   "source",  "style", "template", "textarea", "title",    "track"};
        if (inForeign()) {
            // In SVG or MathML a tag opens an element of its own, unless it is one of HTML's that leave it.
            static const std::set<std::string, std::less<>> leaves = {
                "b",     "big",   "blockquote", "body",   "br",   "center", "code",  "dd", "div",  "dl",   "dt",
                "em",    "embed", "h1",         "h2",     "h3",   "h4",     "h5",    "h6", "head", "hr",   "i",
                "img",   "li",    "listing",    "menu",   "meta", "nobr",   "ol",    "p",  "pre",  "ruby", "s",
                "small", "span",  "strong",     "strike", "sub",  "sup",    "table", "tt", "u",    "ul",   "var"};
            if (!leaves.count(name)) {
                if (!selfClosing) push(std::move(name), true);
                return false;
            }
            while (inForeign()) closeFrom(open_.size() - 1);
        }
        if (auto select = inSelect()) {
            // A select, input, keygen or textarea ends the select, and so does a table's part in a table; any
            // other tag but an option or a script is ignored.
            if (name == "select" || name == "input" || name == "keygen" || name == "textarea" ||
                (inTable(*select) && (name == "table" || isTablePart(name))))
                closeFrom(*select);
            else if (name != "option" && name != "optgroup" && name != "script" && name != "template")
                return false;
            if (name == "select") return false;
        }
        bool foreignRoot = name == "svg" || name == "math";
        bool reopens = !closesP.count(name) && !isTablePart(name) && !keepsClosed.count(name);
        if (opensNone.count(name) || (selfClosing && foreignRoot)) {
            if (reopens) reopen();
            return false;
        }
        if (closesP.count(name)) closeP();
        if (isHeading(name) && !open_.empty() && isHeading(open_.back().name)) closeFrom(open_.size() - 1);
        if (name == "table")
            if (auto table = topmost({"table"}); table && topmost({"td", "th", "caption", "template"}) < table)
                closeFrom(*table);
        if (isTablePart(name)) {
            // A cell goes in a row and a row in a table's body, which the parser opens when the page does not.
            auto table = topmost({"table"});
            auto holder = topmost({"template"});
            if (!table && !holder) return false;  // outside a table: ignored
            if (table > holder) {
                bool cell = name == "td" || name == "th";
                auto row = topmost({"tr"});
                auto body = topmost({"tbody", "thead", "tfoot"});
                if (cell && row > table) {
                    closeFrom(*row + 1);
                } else if ((cell || name == "tr") && body > table) {
                    closeFrom(*body + 1);
                    if (cell) push("tr");
                } else {
                    closeFrom(*table + 1);
                    if (cell || name == "tr") push("tbody");
                    if (cell) push("tr");
                }
            }
        } else if (name == "li" || name == "dd" || name == "dt") {
            // The topmost item of its kind, unless a block other than a <div>, <p> or <address> holds it.
            auto item = name == "li" ? topmost({"li"}) : topmost({"dd", "dt"});
            auto block = specials_.rbegin();
            while (item && block != specials_.rend() && *block > *item &&
                   (open_[*block].name == "div" || open_[*block].name == "p" || open_[*block].name == "address"))
                ++block;
            if (item && (block == specials_.rend() || *block <= *item)) closeFrom(*item);
        } else if (name == "a" || name == "nobr") {
            adopted(name);
        } else if (name == "button") {
            if (auto button = topmost({"button"}); button && !scopedAbove(*button)) closeFrom(*button);
        } else if (name == "option" || name == "optgroup") {
            if (!open_.empty() && open_.back().name == "option") closeFrom(open_.size() - 1);
            if (name == "optgroup" && inSelect() && open_.back().name == "optgroup") closeFrom(open_.size() - 1);
        } else if (name == "rb" || name == "rt" || name == "rtc" || name == "rp") {
            // A ruby's part ends the parts open in the ruby (an <rt> or <rp> keeps an <rtc>).
            static const std::set<std::string, std::less<>> ended = {"dd", "dt", "li", "optgroup", "option",
                                                                     "p",  "rb", "rp", "rt",       "rtc"};
            auto ruby = topmost({"ruby"});
            if (ruby && !scopedAbove(*ruby))
                while (open_.size() > *ruby + 1 && ended.count(open_.back().name) &&
                       !(open_.back().name == "rtc" && (name == "rt" || name == "rp")))
                    closeFrom(open_.size() - 1);
        }
        if (reopens) reopen();
        if (isFormatting(name)) activate(name);
        if (isMarker(name)) active_.push_back({name, 0, true, false});
        bool raw = holdsOnlyText(name);
        push(std::move(name), foreignRoot);
        return raw;
    }

    void end(const std::string& name) {
        if (inForeign()) {
            // An element of SVG or MathML of that name, with none of HTML's open inside it.
            auto found = topmost({name});
            if (found && open_[*found].foreign && (open_.back().html == kNone || open_.back().html < *found))
                return closeFrom(*found);
        }
        if (auto select = inSelect(); select && name != "select" && name != "option" && name != "optgroup") {
            // A table's part ends a select in the table; other end tags are ignored in it.
            if (!(name == "table" || isTablePart(name)) || !inTable(*select) || !topmost({name})) return;
            closeFrom(*select);
        }
        if (isFormatting(name) && adopted(name)) return;
        auto found = topmost({name});
        if (!found) return;
        // What stops the end tag before it reaches its element: a table (for the table's own parts), an
        // element of the scope's edge (for the standard's special elements), any special element (for
        // the rest).
        std::optional<size_t> stops;
        if (name == "table" || isTablePart(name))
            stops = topmost({"table", "template"});
        else if (isSpecial(name))
            stops = std::max({scopes_.empty() ? std::nullopt : std::optional(scopes_.back()),
                              name == "p" ? topmost({"button"}) : std::nullopt,
                              name == "li" ? topmost({"ul", "ol"}) : std::nullopt});
        else
            stops = specials_.empty() ? std::nullopt : std::optional(specials_.back());
        if (!stops || *stops <= *found) closeFrom(*found);
    }

    // The parser's steps for `length` characters of text here: it looks for the last active formatting
    // element among the open elements from the first, for each character (after opening again those a
    // block closed).
    uint64_t textSteps(size_t length) {
        if (!length || inSelect() || inForeign()) return 0;
        reopen();
        if (active_.empty() || active_.back().marker) return 0;
        return uint64_t(length) * (active_.back().at + 1);
    }
    // The parser's steps for an end tag: it looks through the open elements.
    uint64_t endTagSteps() const { return open_.size() + 1; }

private:
    static constexpr size_t kNone = size_t(-1);
    struct Open {
        std::string name;
        bool special, scoping;
        bool foreign;  // of SVG or MathML
        size_t html;   // where the topmost HTML element at or below it is open (kNone: none)
    };
    // An entry of the list of active formatting elements: a formatting element (at its place among the
    // open ones while it is open), or a marker (a cell, a caption, ...) that ends the list's reach.
    struct Active {
        std::string name;
        size_t at;
        bool marker, open;
    };
    static bool isTablePart(std::string_view name) {
        static const std::set<std::string, std::less<>> names = {"caption", "colgroup", "tbody", "td",
                                                                 "tfoot",   "th",       "thead", "tr"};
        return names.count(name);
    }
    static bool isHeading(std::string_view name) {
        return name.size() == 2 && name[0] == 'h' && name[1] >= '1' && name[1] <= '6';
    }
    static bool isFormatting(std::string_view name) {
        static const std::set<std::string, std::less<>> names = {"a",    "b", "big",   "code",   "em",     "font", "i",
                                                                 "nobr", "s", "small", "strike", "strong", "tt",   "u"};
        return names.count(name);
    }
    static bool isMarker(std::string_view name) {
        static const std::set<std::string, std::less<>> names = {"applet", "caption",  "marquee", "object",
                                                                 "td",     "template", "th"};
        return names.count(name);
    }
    // The elements whose end tag stops the end tags of others (the standard's special elements; the
    // opening-only ones are left out, as they are never open).
    static bool isSpecial(std::string_view name) {
        static const std::set<std::string, std::less<>> names = {
            "address",    "applet",    "article",  "aside",    "blockquote", "button",   "caption", "center",
            "colgroup",   "dd",        "details",  "dir",      "div",        "dl",       "dt",      "fieldset",
            "figcaption", "figure",    "footer",   "frameset", "h1",         "h2",       "h3",      "h4",
            "h5",         "h6",        "header",   "hgroup",   "iframe",     "li",       "listing", "main",
            "marquee",    "menu",      "nav",      "noembed",  "noframes",   "noscript", "object",  "ol",
            "p",          "plaintext", "pre",      "section",  "select",     "summary",  "table",   "tbody",
            "td",         "template",  "textarea", "tfoot",    "th",         "thead",    "title",   "tr",
            "ul",         "xmp"};
        return names.count(name) || isForeignEdge(name);
    }
    // The elements at the edge of an element's scope, which the end tags of the special ones stop at.
    static bool isScoping(std::string_view name) {
        static const std::set<std::string, std::less<>> names = {"applet", "caption", "marquee",  "object",
                                                                 "table",  "td",      "template", "th"};
        return names.count(name) || isForeignEdge(name);
    }
    // The SVG and MathML elements that hold HTML again.
    static bool isForeignEdge(std::string_view name) {
        static const std::set<std::string, std::less<>> names = {
            "annotation-xml", "desc", "foreignobject", "mi", "mn", "mo", "ms", "mtext"};
        return names.count(name);
    }

    void push(std::string name, bool foreign = false) {
        bool special = foreign ? isForeignEdge(name) : isSpecial(name), scoping = special && isScoping(name);
        if (special) specials_.push_back(open_.size());
        if (scoping) scopes_.push_back(open_.size());
        at_[name].push_back(open_.size());
        size_t html = foreign ? (open_.empty() ? kNone : open_.back().html) : open_.size();
        open_.push_back({std::move(name), special, scoping, foreign, html});
    }
    // Whether the current element is one of SVG or MathML that holds no HTML.
    bool inForeign() const { return !open_.empty() && open_.back().foreign && !isForeignEdge(open_.back().name); }
    // The formatting elements a block closed since the last one open (or marker), opened again.
    void reopen() {
        size_t from = active_.size();
        while (from > 0 && !active_[from - 1].marker && !active_[from - 1].open) --from;
        for (size_t i = from; i < active_.size(); ++i) {
            active_[i].at = open_.size();
            active_[i].open = true;
            push(active_[i].name);
        }
    }
    // A formatting element opened: the list keeps at most three of a name since its last marker.
    void activate(const std::string& name) {
        size_t same = 0, first = active_.size();
        for (size_t i = active_.size(); i > 0 && !active_[i - 1].marker; --i)
            if (active_[i - 1].name == name) ++same, first = i - 1;
        if (same >= 3) active_.erase(active_.begin() + static_cast<ptrdiff_t>(first));
        active_.push_back({name, open_.size(), false, true});
    }
    // A formatting element's end tag: whether its element was active. It closes that element with those
    // opened since, unless a block was opened inside: then the element stays open below the block.
    bool adopted(const std::string& name) {
        size_t i = active_.size();
        while (i > 0 && !active_[i - 1].marker && active_[i - 1].name != name) --i;
        if (i == 0 || active_[i - 1].marker) return false;
        Active entry = active_[i - 1];
        if (entry.open && scopedAbove(entry.at)) return true;  // out of scope: ignored
        active_.erase(active_.begin() + static_cast<ptrdiff_t>(i - 1));
        if (entry.open && (specials_.empty() || specials_.back() < entry.at)) closeFrom(entry.at);
        return true;
    }
    // The topmost open element of those names.
    std::optional<size_t> topmost(const std::vector<std::string>& names) const {
        std::optional<size_t> top;
        for (const auto& name : names)
            if (auto found = at_.find(name); found != at_.end() && !found->second.empty())
                top = std::max(top.value_or(0), found->second.back());
        return top;
    }
    // The open select, while nothing but its options (an <optgroup> and an <option> in it) is open inside it.
    std::optional<size_t> inSelect() const {
        auto select = topmost({"select"});
        if (!select || open_.size() - *select > 3) return std::nullopt;
        for (size_t i = *select + 1; i < open_.size(); ++i)
            if (open_[i].name != "option" && open_[i].name != "optgroup") return std::nullopt;
        return select;
    }
    // Whether a table is open below `index`.
    bool inTable(size_t index) const {
        auto table = topmost({"table"});
        return table && *table < index;
    }
    // Whether an element at the edge of a scope is open above `index`.
    bool scopedAbove(size_t index) const { return !scopes_.empty() && scopes_.back() > index; }
    // A <p> in the scope of buttons closed, as a block's start closes it.
    void closeP() {
        auto p = topmost({"p"});
        if (p && !scopedAbove(*p) && topmost({"button"}) < p) closeFrom(*p);
    }
    void closeFrom(size_t index) {
        while (open_.size() > index) {
            const Open& last = open_.back();
            size_t at = open_.size() - 1;
            if (last.special) specials_.pop_back();
            if (last.scoping) scopes_.pop_back();
            if (!last.foreign && isMarker(last.name)) {
                while (!active_.empty() && !active_.back().marker) active_.pop_back();
                if (!active_.empty()) active_.pop_back();
            } else if (isFormatting(last.name)) {
                for (size_t i = active_.size(); i > 0 && !active_[i - 1].marker; --i)
                    if (active_[i - 1].open && active_[i - 1].at == at) {
                        active_[i - 1].open = false;
                        break;
                    }
            }
            at_[last.name].pop_back();
            open_.pop_back();
        }
    }

    std::vector<Open> open_;
    std::map<std::string, std::vector<size_t>, std::less<>> at_;  // where each name is open
    std::vector<size_t> specials_, scopes_;                       // where special and scoping elements are open
    std::vector<Active> active_;
};

// Refuses a page whose elements nest more than the limit deep as its tags tell (see OpenElements), or on
// which the parser would work longer than the read may take; comments and the text of scripts, styles and
// the like are passed over.
void checkShape(std::string_view text, ReadBudget& budget) {
    size_t cap = budget.limits().nesting;
    auto checkDepth = [cap](const OpenElements& open) {
        if (open.depth() > cap)
            throw ReadEnded{"the page's elements nest more than " + std::to_string(cap) +
                            " deep, more than the headless web view reads a form from (run with --web-engine real)"};
    };
    OpenElements open;
    size_t textFrom = 0;  // where the text since the last tag begins
    for (size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at)) {
        budget.check();
        if (text.compare(at, 4, "<!--") == 0) {
            budget.foresee(open.textSteps(at - textFrom));
            at = text.find("-->", at + 4);
            textFrom = at == std::string_view::npos ? text.size() : at;
            continue;
        }
        bool endTag = at + 1 < text.size() && text[at + 1] == '/';
        size_t from = at + 1 + endTag;
        if (from < text.size() && (text[from] == '!' || text[from] == '?')) {
            budget.foresee(open.textSteps(at - textFrom));
            at = text.find('>', from);
            textFrom = at == std::string_view::npos ? text.size() : at;
            continue;
        }
        if (from >= text.size() || !std::isalpha(static_cast<unsigned char>(text[from]))) {
            ++at;
            continue;
        }
        budget.foresee(open.textSteps(at - textFrom));
        checkDepth(open);
        size_t to = from;
        while (to < text.size() && !isASCIIWhitespace(text[to]) && text[to] != '/' && text[to] != '>') ++to;
        std::string name = lowercasedASCII(text.substr(from, to - from));
        // The tag's end: its first '>' outside a quoted attribute value.
        char last = 0;
        for (at = to; at < text.size() && text[at] != '>'; ++at) {
            char c = text[at];
            if ((c == '"' || c == '\'') && last == '=') at = std::min(text.find(c, at + 1), text.size() - 1);
            if (!isASCIIWhitespace(c)) last = c;
        }
        if (at >= text.size()) break;
        textFrom = ++at;
        if (endTag) {
            budget.foresee(open.endTagSteps());
            open.end(name);
            continue;
        }
        std::string rawEnd = "</" + name;
        bool raw = open.start(std::move(name), last == '/');
        checkDepth(open);
        if (!raw) continue;
        if (rawEnd == "</plaintext") break;  // the rest is text
        at = findIgnoringASCIICase(text, rawEnd, at);
        textFrom = std::min(at, text.size());
    }
    budget.foresee(open.textSteps(text.size() - std::min(textFrom, text.size())));
    checkDepth(open);
}

Parsed parse(const FormPage& source, ReadBudget& budget) {
    bool certain = false;
    const TextEncoding* encoding = &sniffedEncoding(source.bytes, source.charset, certain);
    for (int pass = 0;; ++pass) {
        Parsed parsed;
        parsed.memory = std::make_unique<ParseMemory>(budget);
        parsed.encoding = encoding;
        parsed.text = decodedText(source.bytes, *encoding);
        if (!parsed.page.marks.mark(parsed.text))
            throw ReadEnded{"the page writes nearly every private-use character of planes 15 and 16, which the "
                            "headless web view reads its control characters with (run with --web-engine real)"};
        parsed.memory->hold(parsed.text.capacity());
        checkShape(parsed.text, budget);
        GumboOptions options = kGumboDefaultOptions;
        options.allocator = &ParseMemory::allocate;
        options.deallocator = &ParseMemory::release;
        options.userdata = parsed.memory.get();
        options.max_errors = 0;
        GumboOutput* output = gumbo_parse_with_options(&options, parsed.text.data(), parsed.text.size());
        collect(output->document, parsed.text, parsed.page, *parsed.memory);
        // A <meta> met while the encoding was a guess reads the page again in the one it names.
        const TextEncoding* meta = parsed.page.metaEncoding;
        if (certain || pass > 0 || !meta || meta == encoding) return parsed;
        encoding = meta;
    }
}

// A URL the page writes, read as the engine reads it: without the spaces and control characters at its
// ends and its tabs and line breaks, what a URL cannot hold as it stands percent-encoded in UTF-8 (a
// query's characters in `queryEncoding`, as the page's own URLs carry them; a script's URL has UTF-8),
// resolved against the page's <base href>, else its own URL, its scheme and host in lower case and
// without its scheme's own port. So "  HTTPS://Host:443/a\tb " is https://host/ab.
std::optional<URL> resolved(const std::string& href, const Page& page, const URL& pageURL,
                            const TextEncoding& queryEncoding = utf8Encoding()) {
    auto wellFormed = [&queryEncoding](std::string_view text) -> std::optional<std::string> {
        while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
        while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
        std::string kept;
        enum { Path, Query, Fragment } part = Path;
        for (size_t at = 0, length = 0; at < text.size(); at += length) {
            char32_t c = codePointAt(text, at, length);
            if (c == '#') part = Fragment;
            if (c == '?' && part == Path) part = Query;
            if (c == '\t' || c == '\n' || c == '\r') continue;
            if (part != Query || c < 0x80 || &queryEncoding == &utf8Encoding()) {
                kept.append(text.substr(at, length));
                continue;
            }
            static const char hex[] = "0123456789ABCDEF";
            for (char b : encodedForForm(text.substr(at, length), queryEncoding)) {
                auto byte = static_cast<unsigned char>(b);
                kept += {'%', hex[byte >> 4], hex[byte & 0xF]};
            }
        }
        static const CharacterSet allowed = [] {
            std::string printable;
            for (char c = '!'; c <= '~'; ++c)
                if (!std::strchr("\"<>\\^`{|}", c)) printable += c;
            return CharacterSet::fromCharacters(printable);
        }();
        return addingPercentEncoding(kept, allowed);
    };
    URL base = pageURL;
    if (page.baseHref)
        if (auto text = wellFormed(*page.baseHref))
            if (auto url = URL::string(*text, pageURL)) base = url->absoluteURL();
    auto text = wellFormed(href);
    auto url = text ? URL::string(*text, base) : std::nullopt;
    if (!url) return std::nullopt;
    auto parts = URLComponents::fromURL(url->absoluteURL());
    if (!parts) return url->absoluteURL();
    auto scheme = lowercasedASCII(parts->scheme().value_or(""));
    auto host = parts->host();
    bool ownPort =
        parts->port() && ((scheme == "http" && *parts->port() == 80) || (scheme == "https" && *parts->port() == 443));
    if (scheme == parts->scheme() && (!host || lowercasedASCII(*host) == *host) && !ownPort) return url->absoluteURL();
    parts->setScheme(scheme);
    if (host) parts->setHost(lowercasedASCII(*host));
    if (ownPort) parts->setPort(std::nullopt);
    auto normal = parts->url();
    return normal ? normal : url->absoluteURL();
}

// A form's action: none (or an empty one) is the page itself.
std::string resolvedAction(const std::optional<std::string>& action, const Page& page, const URL& pageURL,
                           const TextEncoding& queryEncoding = utf8Encoding()) {
    if (!action || action->empty()) return pageURL.absoluteString();
    auto url = resolved(*action, page, pageURL, queryEncoding);
    return url ? url->absoluteString() : *action;
}

// The page's first form whose action is `action` as written or resolved; nullopt with `problem` said.
std::optional<size_t> findForm(const Page& page, const URL& pageURL, const std::string& action, std::string& problem) {
    auto wanted = resolved(action, page, pageURL);
    for (size_t i = 0; i < page.forms.size(); ++i) {
        const auto& own = page.forms[i].action;
        if ((own && *own == action) || (wanted && resolvedAction(own, page, pageURL) == wanted->absoluteString()))
            return i;
    }
    if (page.forms.empty()) {
        problem = "the page has no form";
        return std::nullopt;
    }
    problem = "no form on the page submits to " + action + " (its forms submit to:";
    for (size_t i = 0; i < page.forms.size(); ++i)
        problem += (i ? ", " : " ") + page.forms[i].action.value_or(pageURL.absoluteString());
    problem += ")";
    return std::nullopt;
}

// Sets each value as the user would; a submit button named is the one pressed. Answers why one could not
// be set ("" when all were).
std::string fillIn(const std::vector<Control*>& controls, const FormFill& fill, Control*& submitter) {
    std::map<std::string, size_t> typed;  // how many values each name has given text fields so far
    for (const auto& field : fill.values) {
        const std::string& name = field.name;
        const std::string& value = field.value;  // a plain reference: the lambdas below capture it
        std::vector<Control*> named;
        for (auto* control : controls)
            if (control->name == name && control->kind != Kind::Other) named.push_back(control);
        if (named.empty()) return "the form has no field " + name;
        Control& first = *named.front();
        const std::string noChoice = "the form's " + name + " has no choice " + value;
        if (first.kind == Kind::Text) {
            if (field.off) return "the form's " + name + " is a text field: it has nothing to uncheck";
            size_t nth = typed[name]++;
            std::vector<Control*> texts;
            for (auto* control : named)
                if (control->kind == Kind::Text) texts.push_back(control);
            if (nth >= texts.size())
                return "the form has " + std::to_string(texts.size()) + " text field" + (texts.size() == 1 ? "" : "s") +
                       " named " + name + ", and more values for them";
            // Kept as the field keeps what is typed into it (a text field drops line breaks, say).
            Control& text = *texts[nth];
            text.value =
                text.tag == "input" && text.type != "hidden" ? sanitizedValue(text.type, value, text.node) : value;
            continue;
        }
        if (first.kind == Kind::Select) {
            auto chosen = std::find_if(first.options.begin(), first.options.end(),
                                       [&](const Option& option) { return !option.disabled && option.value == value; });
            if (chosen == first.options.end()) return noChoice;
            // Choosing one in a single select drops the others; dropping one leaves them be.
            if (!first.multiple && !field.off)
                for (auto& option : first.options) option.selected = false;
            chosen->selected = !field.off;
            settleSelection(first);
            continue;
        }
        // A checkbox or radio button, or a submit button, of that value.
        auto chosen = std::find_if(named.begin(), named.end(),
                                   [&](const Control* c) { return c->kind == first.kind && c->value == value; });
        if (chosen == named.end()) return noChoice;
        if (first.kind == Kind::Submit) {
            if (field.off) return "the form's " + name + " is a button: it has nothing to uncheck";
            submitter = *chosen;
            continue;
        }
        if ((*chosen)->type == "radio" && !field.off)
            for (auto* control : named)
                if (control->type == "radio") control->checked = false;
        (*chosen)->checked = !field.off;
    }
    return "";
}

// A required field left empty stops the submission, as the engine's own check of the form does (which
// also checks patterns and types), and in the engine's words. "" when none is.
std::string firstMissing(const std::vector<Control*>& controls) {
    std::set<std::string> chosenRadios;  // the names of the radio groups with a button checked
    for (auto* control : controls)
        if (control->type == "radio" && control->checked) chosenRadios.insert(control->name.value_or(""));
    for (auto* control : controls) {
        if (!hasAttribute(control->node, "required") || control->inDatalist) continue;
        std::string missing;
        if (control->kind == Kind::Text && control->type != "hidden" && !hasAttribute(control->node, "readonly")) {
            if (control->value.empty()) missing = "Fill out this field";
        } else if (control->type == "checkbox") {
            if (!control->checked) missing = "Select this checkbox";
        } else if (control->type == "radio") {
            if (!chosenRadios.count(control->name.value_or(""))) missing = "Select one of these options";
        } else if (control->kind == Kind::Select) {
            // Nothing chosen, or only the placeholder: the first option of a drop-down list, of no group and
            // with no value. An empty value chosen anywhere else is a choice.
            const auto& options = control->options;
            auto chosen = std::find_if(options.begin(), options.end(), [](const Option& o) { return o.selected; });
            bool placeholder = control->menuList && !options.empty() && !options[0].grouped && options[0].value.empty();
            if (chosen == options.end() || (placeholder && chosen == options.begin()))
                missing = "Select an item in the list";
        } else if (control->type == "file") {
            missing = "Select a file";
        }
        if (missing.empty()) continue;
        // Named as the page's script sees it: its name, else its type.
        std::string label = control->name.value_or("");
        if (label.empty())
            label = control->kind != Kind::Select ? control->type
                    : control->multiple           ? "select-multiple"
                                                  : "select-one";
        return "the form's field \"" + label + "\" is not valid: " + missing;
    }
    return "";
}

// Line breaks as a form sends them: CR LF.
std::string withCRLF(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            out += "\r\n";
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// application/x-www-form-urlencoded: letters, digits and "*-._" as they are, a space as '+', every other
// byte as %XX.
std::string formEncoded(std::string_view bytes) {
    static const char hex[] = "0123456789ABCDEF";
    static const CharacterSet kept = CharacterSet::alphanumerics().adding("*-._");
    std::string out;
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (kept.contains(b)) {
            out += c;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 0xF];
        }
    }
    return out;
}

// The entries the form sends, in the page's order.
std::vector<std::pair<std::string, std::string>>
entries(const std::vector<Control*>& controls, const Control* submitter, const char* charset, const Marks& marks) {
    std::vector<std::pair<std::string, std::string>> list;
    for (auto* control : controls) {
        if (control->disabled) continue;  // a field in a datalist goes too, as the engine sends it
        bool button = control->kind == Kind::Submit || control->type == "reset" || control->type == "button";
        if (button && control != submitter) continue;
        if (control->kind == Kind::Choice && !control->checked) continue;
        if (control->type == "image") {  // where it was clicked: its corner
            std::string prefix = control->name && !control->name->empty() ? *control->name + "." : "";
            list.emplace_back(prefix + "x", "0");
            list.emplace_back(prefix + "y", "0");
            continue;
        }
        if (!control->name || control->name->empty()) continue;
        const std::string& name = *control->name;
        if (control->kind == Kind::Select) {
            for (const auto& option : control->options)
                if (option.selected && !option.disabled) list.emplace_back(name, option.value);
        } else if (control->kind == Kind::Submit) {
            // A submit button without a value sends the engine's own label for it.
            bool label = control->type == "submit" && control->tag == "input" && !hasAttribute(control->node, "value");
            list.emplace_back(name, label ? "Submit" : control->value);
        } else if (control->type == "file") {
            list.emplace_back(name, "");  // no file chosen: its name alone
        } else if (control->type == "hidden" && equalsIgnoringASCIICase(name, "_charset_")) {
            list.emplace_back(name, charset);
        } else {
            list.emplace_back(name, control->value);
        }
        auto dirname = attributeText(control->node, "dirname", marks);
        static const std::set<std::string, std::less<>> directional = {"textarea", "text",     "search", "tel",   "url",
                                                                       "email",    "password", "hidden", "submit"};
        if (directional.count(control->type) && control->tag != "button" && dirname && !dirname->empty())
            list.emplace_back(*dirname, control->direction);
    }
    return list;
}

// Whether a list of words parted by whitespace (a rel) holds `word`, in any case.
bool hasWord(const char* list, std::string_view word) {
    std::string_view words = list ? list : "";
    for (size_t at = 0; at < words.size();) {
        size_t end = at;
        while (end < words.size() && !isASCIIWhitespace(words[end])) ++end;
        if (equalsIgnoringASCIICase(words.substr(at, end - at), word)) return true;
        at = end + 1;
    }
    return false;
}

// The encoding the form names: the first its accept-charset names, else the page's. The engine parts its
// labels at spaces and commas only: a label with a tab or a line break in it names none. It is sent in
// formEncodingOf() that one.
const TextEncoding& chosenFormEncoding(const Form& form, const TextEncoding& pageEncoding) {
    if (const char* accept = attribute(form.node, "accept-charset")) {
        std::string_view labels = accept;
        auto separator = [](char c) { return c == ' ' || c == ','; };
        for (size_t at = 0; at < labels.size();) {
            while (at < labels.size() && separator(labels[at])) ++at;
            size_t end = at;
            while (end < labels.size() && !separator(labels[end])) ++end;
            auto label = labels.substr(at, end - at);
            if (!label.empty() && std::none_of(label.begin(), label.end(), isASCIIWhitespace))
                if (const auto* named = encodingForLabel(label)) return *named;
            at = end;
        }
    }
    return pageEncoding;
}

FormRequest readWithin(const FormPage& source, const FormFill& fill, ReadBudget& budget) {
    FormRequest made;
    Parsed parsed = parse(source, budget);
    Page& page = parsed.page;
    const URL& pageURL = source.url;
    auto index = findForm(page, pageURL, fill.action, made.problem);
    if (!index) return made;
    const Form& form = page.forms[*index];

    // The form's own controls, in the page's order.
    std::vector<Control*> controls;
    for (auto& control : page.controls)
        if (control.owner == static_cast<int>(*index) && !control.disabled) controls.push_back(&control);
    Control* submitter = nullptr;
    made.problem = fillIn(controls, fill, submitter);
    if (!made.problem.empty()) return made;
    // Submitted as by the Enter key when no button was chosen: with the form's first submit button.
    if (!submitter)
        for (auto* control : controls)
            if (control->kind == Kind::Submit && !submitter) submitter = control;
    if (!hasAttribute(form.node, "novalidate") && !(submitter && hasAttribute(submitter->node, "formnovalidate")))
        made.problem = firstMissing(controls);
    if (!made.problem.empty()) return made;
    const TextEncoding& chosen = chosenFormEncoding(form, *parsed.encoding);
    const TextEncoding& encoding = formEncodingOf(chosen);
    // A form sent in UTF-8 for the replacement encoding still names that one in _charset_, as the engine does.
    const char* charset = chosen.kind == TextEncoding::Kind::Replacement ? chosen.name : encoding.name;
    std::string body;
    for (const auto& [name, value] : entries(controls, submitter, charset, page.marks)) {
        budget.check();
        if (!body.empty()) body += '&';
        body += formEncoded(encodedForForm(withCRLF(name), encoding)) + "=" +
                formEncoded(encodedForForm(withCRLF(value), encoding));
    }

    // The button may send the form elsewhere, or another way.
    auto override = [&](const char* name, const std::optional<std::string>& own) {
        auto value = submitter ? attributeText(submitter->node, name, page.marks) : std::nullopt;
        return value ? value : own;
    };
    std::string method =
        lowercasedASCII(override("formmethod", attributeText(form.node, "method", page.marks)).value_or("get"));
    // An encoding of no known kind is the default.
    std::string enctype =
        lowercasedASCII(override("formenctype", attributeText(form.node, "enctype", page.marks)).value_or(""));
    if (enctype != "multipart/form-data" && enctype != "text/plain") enctype = "application/x-www-form-urlencoded";
    auto target = URL::string(
        resolvedAction(override("formaction", form.action), page, pageURL, formEncodingOf(*parsed.encoding)));
    if (!target) {
        made.problem = "the form's action is not a URL";
    } else if (method == "dialog") {
        made.problem = "the form's method is dialog: it closes its dialog and sends nothing";
    } else if (method != "post") {
        auto components = URLComponents::fromURL(*target, true);
        if (components && components->setPercentEncodedQuery(body) && components->url())
            made.request = URLRequest(*components->url());
        else
            made.problem = "the form's action " + target->absoluteString() + " takes no query";
    } else if (enctype != "application/x-www-form-urlencoded") {
        made.problem = "the headless web view sends forms as application/x-www-form-urlencoded only, this one is " +
                       enctype + " (run with --web-engine real)";
    } else {
        URLRequest request(*target);
        request.setHTTPMethod("POST");
        request.setValue("application/x-www-form-urlencoded", "Content-Type");
        request.setHTTPBody(Bytes(body.begin(), body.end()));
        made.request = std::move(request);
    }
    made.noReferrer = hasWord(attribute(form.node, "rel"), "noreferrer");
    return made;
}

}  // namespace

FormRequest readForm(const FormPage& source, const FormFill& fill, const std::atomic<bool>& stop) {
    return readForm(source, fill, stop, ReadLimits());
}

FormRequest readForm(const FormPage& source, const FormFill& fill, const std::atomic<bool>& stop,
                     const ReadLimits& limits) {
    ReadBudget budget(stop, limits);
    try {
        return readWithin(source, fill, budget);
    } catch (const ReadEnded& ended) {
        return {std::nullopt, ended.problem};
    } catch (const std::bad_alloc&) {
        return {std::nullopt, "the device has not the memory to read the page"};
    }
}

}  // namespace platform::webkit::forms
