#pragma once
// Character encodings as browsers name, sniff, decode and encode them for HTML pages and their forms:
// the labels a page may use, the encoding a page is read in (byte order mark, the answer's charset, a
// <meta> in its first 1024 bytes, then windows-1252), and text in and out of each encoding, by the
// browsers' own algorithms over their index tables (platform/webkit/forms/indexes/). Each table is built
// once per process, on first use. Pure functions, safe from any thread.
#include <string>
#include <string_view>

namespace platform::webkit::forms {

struct TextEncoding {
    // The decoder and encoder the encoding uses.
    enum class Kind {
        UTF8,
        SingleByte,
        GBK,
        GB18030,
        Big5,
        EUCJP,
        ISO2022JP,
        ShiftJIS,
        EUCKR,
        UTF16BE,
        UTF16LE,
        Replacement,
        UserDefined
    };
    const char* name;  // as a form's _charset_ field sends it: "windows-1252", "Shift_JIS", "UTF-8"
    Kind kind;
    const char* index;   // a single-byte encoding's index table ("iso-8859-8" for ISO-8859-8-I too)
    const char* labels;  // every label naming it, lower-case, separated by spaces
};

// The encoding a label names ("latin1", " ISO-8859-1 ", "sjis"), whitespace and case aside; null for
// none.
const TextEncoding* encodingForLabel(std::string_view label);
const TextEncoding& utf8Encoding();
// What a form of a page in `encoding` is sent in: UTF-8 for the UTF-16 encodings and the replacement
// one (labels of encodings pages must not use), the encoding itself otherwise.
const TextEncoding& formEncodingOf(const TextEncoding& encoding);

// The encoding of a page's bytes: its byte order mark, else `headerLabel` (the answer's charset, may be
// empty) when that names one, else a <meta> charset within the first 1024 bytes, else windows-1252.
// `certain` is false when a <meta> the parser meets later may still change it.
const TextEncoding& sniffedEncoding(std::string_view bytes, std::string_view headerLabel, bool& certain);

// The encoding a <meta charset> or <meta http-equiv=content-type content> names (a label as the
// standard's meta rules read it), mapped as a page's own statement is: UTF-16 is read as UTF-8 and
// x-user-defined as windows-1252. Null for none.
const TextEncoding* encodingForMeta(std::string_view charsetAttribute, std::string_view contentAttribute);

// `bytes` in `encoding` as UTF-8 (a leading byte order mark dropped), what does not decode as U+FFFD: in
// UTF-8 one for each ill-formed sequence (its longest valid start), in the replacement encoding one for
// all, in UTF-16 one for each unpaired surrogate, elsewhere one for each byte or pair that names nothing
// (a bad second byte that is ASCII is read again on its own).
std::string decodedText(std::string_view bytes, const TextEncoding& encoding);
// UTF-8 `text` in `encoding`, a character the encoding has no bytes for written as "&#N;" (N its code
// point in decimal), as forms send it; some single-byte encodings first write such a character as the
// byte the real engine picks for it (a full-width letter as its ASCII one).
std::string encodedForForm(std::string_view text, const TextEncoding& encoding);

// Whether an element's content is read as text, tags and all (script, style, textarea, title, plaintext,
// ...): the parser opens nothing inside it, and a <meta> there names no encoding.
bool holdsOnlyText(std::string_view tagName);

}  // namespace platform::webkit::forms
