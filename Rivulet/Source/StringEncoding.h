#pragma once
// StringEncoding: a text encoding named by its IANA charset name ("utf-8", "iso-8859-1",
// "windows-1252", ...). Decoding goes through the platform's iconv-backed text codec, so any name it
// knows works; an unknown name is still an encoding, it simply decodes nothing.
#include <string>
#include <string_view>

namespace rivulet {

class StringEncoding {
public:
    explicit StringEncoding(std::string ianaCharsetName) : name_(std::move(ianaCharsetName)) {}
    static StringEncoding utf8() { return StringEncoding("utf-8"); }
    static StringEncoding isoLatin1() { return StringEncoding("iso-8859-1"); }
    static StringEncoding ascii() { return StringEncoding("us-ascii"); }
    static StringEncoding utf16() { return StringEncoding("utf-16"); }

    const std::string& ianaCharsetName() const { return name_; }
    // The standard description: the charset name as given.
    const std::string& description() const { return name_; }
    bool operator==(const StringEncoding&) const = default;

private:
    std::string name_;
};

}  // namespace rivulet
