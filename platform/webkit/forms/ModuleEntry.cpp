#include "platform/webkit/forms/HTMLForm.h"

extern "C" __attribute__((visibility("default"))) const platform::webkit::forms::ModuleTable* tesmar_forms_module() {
    static const platform::webkit::forms::ModuleTable table{platform::webkit::forms::kModuleAbiVersion,
                                                            &platform::webkit::forms::readForm};
    return &table;
}
