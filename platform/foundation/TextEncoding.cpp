#include "platform/foundation/TextEncoding.h"

#include <iconv.h>
#include <unictype.h>
#include <unistr.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/foundation/ASCII.h"

namespace platform::text {

namespace {

// IANA names are letters, digits and a few marks. Anything else (notably '/', which iconv reads as
// conversion options such as //TRANSLIT) is refused before iconv sees it.
bool isPlainCharsetName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (!std::isalnum(u) && c != '-' && c != '_' && c != '.' && c != ':' && c != '+' && c != '(' && c != ')')
            return false;
    }
    return true;
}

bool isUTF8Name(std::string_view name) {
    std::string n = lowercasedASCII(name);
    return n == "utf-8" || n == "utf8";
}

Error encodingError(int64_t code, std::string_view charset, const std::string& detail) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey, detail + " (" + std::string(charset) + ").");
    info.set("NSStringEncodingErrorKey", std::string(charset));
    return Error(kCocoaErrorDomain, code, std::move(info));
}

class Converter {
public:
    Converter(const std::string& to, const std::string& from) : cd_(::iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (valid()) ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // false when the input holds a sequence invalid in the source charset or unmappable in the target.
    bool convert(std::string_view input, std::string& out) {
        char* in = const_cast<char*>(input.data());
        size_t inLeft = input.size();
        char buffer[8192];
        while (inLeft > 0) {
            char* o = buffer;
            size_t oLeft = sizeof buffer;
            size_t rc = ::iconv(cd_, &in, &inLeft, &o, &oLeft);
            int err = errno;
            out.append(buffer, size_t(o - buffer));
            if (rc == size_t(-1) && err != E2BIG) return false;  // EILSEQ, or EINVAL for a truncated end
        }
        for (;;) {  // flush any shift state
            char* o = buffer;
            size_t oLeft = sizeof buffer;
            size_t rc = ::iconv(cd_, nullptr, nullptr, &o, &oLeft);
            int err = errno;
            out.append(buffer, size_t(o - buffer));
            if (rc != size_t(-1)) return true;
            if (err != E2BIG) return false;
        }
    }

private:
    iconv_t cd_;
};

// Without a byte-order mark, UTF-16 and UTF-32 text is big-endian (RFC 2781); iconv would take the host's order.
std::string sourceCharset(std::string_view bytes, std::string_view name) {
    std::string n = lowercasedASCII(name);
    auto starts = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
    if (n == "utf-16" || n == "utf16") {
        if (starts("\xFE\xFF") || starts("\xFF\xFE")) return "UTF-16";
        return "UTF-16BE";
    }
    if (n == "utf-32" || n == "utf32") {
        if (starts(std::string_view("\x00\x00\xFE\xFF", 4)) || starts(std::string_view("\xFF\xFE\x00\x00", 4)))
            return "UTF-32";
        return "UTF-32BE";
    }
    return std::string(name);
}

}  // namespace

void appendUTF8(std::string& out, char32_t c) {
    uint8_t bytes[6];
    int length = u8_uctomb(bytes, c, sizeof bytes);
    if (length < 0) length = u8_uctomb(bytes, 0xFFFD, sizeof bytes);
    out.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

bool isValidUTF8(std::string_view bytes) {
    return u8_check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) == nullptr;
}

std::optional<std::u32string> decodeUTF8(std::string_view bytes) {
    std::u32string out;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = 0; at < bytes.size();) {
        ucs4_t c;
        int length = u8_mbtoucr(&c, p + at, bytes.size() - at);
        if (length <= 0) return std::nullopt;  // invalid or cut short
        out.push_back(char32_t(c));
        at += size_t(length);
    }
    return out;
}

bool isAlphanumeric(char32_t c) {
    static const uc_general_category_t alphanumeric =
        uc_general_category_or(uc_general_category_or(UC_CATEGORY_L, UC_CATEGORY_M), UC_CATEGORY_N);
    return uc_is_general_category(ucs4_t(c), alphanumeric);
}

bool isKnownCharset(std::string_view charsetName) {
    if (!isPlainCharsetName(charsetName)) return false;
    Converter c("UTF-8", std::string(charsetName));
    return c.valid();
}

Result<std::string> decodeToUTF8(std::string_view bytes, std::string_view charsetName) {
    if (!isPlainCharsetName(charsetName))
        return encodingError(kFileReadInapplicableStringEncodingError, charsetName, "Unknown text encoding");
    if (isUTF8Name(charsetName)) {
        if (!isValidUTF8(bytes))
            return encodingError(kFileReadInapplicableStringEncodingError, charsetName, "The bytes are not valid text");
        return std::string(bytes);
    }
    Converter c("UTF-8", sourceCharset(bytes, charsetName));
    if (!c.valid())
        return encodingError(kFileReadInapplicableStringEncodingError, charsetName, "Unknown text encoding");
    std::string out;
    if (!c.convert(bytes, out))
        return encodingError(kFileReadInapplicableStringEncodingError, charsetName, "The bytes are not valid text");
    return out;
}

Result<std::string> encodeFromUTF8(std::string_view utf8, std::string_view charsetName) {
    if (!isPlainCharsetName(charsetName))
        return encodingError(kFileWriteInapplicableStringEncodingError, charsetName, "Unknown text encoding");
    if (!isValidUTF8(utf8))
        return encodingError(kFileWriteInapplicableStringEncodingError, charsetName, "The text is not valid UTF-8");
    if (isUTF8Name(charsetName)) return std::string(utf8);
    Converter c(std::string(charsetName), "UTF-8");
    if (!c.valid())
        return encodingError(kFileWriteInapplicableStringEncodingError, charsetName, "Unknown text encoding");
    std::string out;
    if (!c.convert(utf8, out))
        return encodingError(kFileWriteInapplicableStringEncodingError, charsetName,
                             "The text cannot be written in this encoding");
    return out;
}

}  // namespace platform::text
