#pragma once
// The encodings' index tables (platform/webkit/forms/indexes/), built into the library as arrays.
#include <cstddef>
#include <cstdint>

namespace platform::webkit::forms {

struct EncodingIndex {
    const char* name;         // "jis0208", "windows-1255", "gb18030-ranges"
    const uint32_t* entries;  // pointer, code point; pointer, code point; ... in pointer order (in a
                              // "-fallbacks" table the pointer is the byte itself)
    size_t count;             // entries, each two numbers
};

extern const EncodingIndex kEncodingIndexes[];
extern const size_t kEncodingIndexCount;

}  // namespace platform::webkit::forms
