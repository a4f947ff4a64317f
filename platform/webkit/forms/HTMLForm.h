#pragma once
// The headless engine's form reader: the page decoded and parsed as a browser does, the form found, filled
// in and turned into the request a browser sends (see FormReader.h). Pure; safe from any thread, and
// bounded: whatever the page, a read ends within its time and memory.
//
// The host reaches it as a module (kModuleFileName, next to tesmar-sim) opened by the first `submit`, so
// that no other launch loads the parser; tests link this library itself.
#include <atomic>
#include <chrono>
#include <cstddef>

#include "platform/webkit/FormReader.h"

namespace platform::webkit::forms {

// What one read may take, whatever the page: its time (both parses of a page read again in the encoding
// its <meta> names, and the rest; a page on which the parser would spend longer where it allocates nothing,
// and so is not checked, is refused before it runs), its own memory (its text, the parser's tree and what
// is found in it) and how deep the page's elements may nest, checked before the parser runs (whose time
// grows with the square of the depth; a browser caps its tree's depth too).
struct ReadLimits {
    std::chrono::milliseconds time{10'000};
    size_t memory = size_t(512) << 20;
    size_t nesting = 4096;
};

// Fails (a request-less answer with its problem) past a limit, and soon after `stop` is set.
FormRequest readForm(const FormPage& page, const FormFill& fill, const std::atomic<bool>& stop,
                     const ReadLimits& limits);
// With the limits above.
FormRequest readForm(const FormPage& page, const FormFill& fill, const std::atomic<bool>& stop);

// The module's entry: `extern "C" const ModuleTable* tesmar_forms_module()`.
struct ModuleTable {
    int abiVersion;
    FormReader read;
};
inline constexpr int kModuleAbiVersion = 3;
inline constexpr const char* kModuleEntry = "tesmar_forms_module";
inline constexpr const char* kModuleFileName = "libtesmar_forms.so";

}  // namespace platform::webkit::forms
