#pragma once
// The headless engine's form reader: the page decoded and parsed as a browser does, the form found, filled
// in and turned into the request a browser sends (see FormReader.h). Pure; safe from any thread.
//
// The host reaches it as a module (kModuleFileName, next to tesmar-sim) opened by the first `submit`, so
// that no other launch loads the parser; tests link this library itself.
#include "platform/webkit/FormReader.h"

namespace platform::webkit::forms {

FormRequest readForm(const FormPage& page, const FormFill& fill);

// The module's entry: `extern "C" const ModuleTable* tesmar_forms_module()`.
struct ModuleTable {
    int abiVersion;
    FormReader read;
};
inline constexpr int kModuleAbiVersion = 1;
inline constexpr const char* kModuleEntry = "tesmar_forms_module";
inline constexpr const char* kModuleFileName = "libtesmar_forms.so";

}  // namespace platform::webkit::forms
