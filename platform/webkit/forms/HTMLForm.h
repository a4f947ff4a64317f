#pragma once
// The headless engine's form reader: the page decoded and parsed as a browser does, the form found, filled
// in and turned into the request a browser sends (see FormReader.h). Pure; safe from any thread, and
// bounded: whatever the page, a read ends within its time and memory.
//
// The host reaches it as a module (kModuleFileName, next to tesmar-sim) opened by the first `submit`, so
// that no other launch loads the parser; tests link this library itself.
#include <atomic>

#include "platform/webkit/FormReader.h"

namespace platform::webkit::forms {

// Fails (a request-less answer with its problem) past 10 s or 512 MiB of the read's own memory, for
// elements nested more than 4096 deep, and soon after `stop` is set.
FormRequest readForm(const FormPage& page, const FormFill& fill, const std::atomic<bool>& stop);

// The module's entry: `extern "C" const ModuleTable* tesmar_forms_module()`.
struct ModuleTable {
    int abiVersion;
    FormReader read;
};
inline constexpr int kModuleAbiVersion = 2;
inline constexpr const char* kModuleEntry = "tesmar_forms_module";
inline constexpr const char* kModuleFileName = "libtesmar_forms.so";

}  // namespace platform::webkit::forms
