// The loadable module's one entry point; the host finds it with dlsym.
#include "platform/webkit/gtk/WebEngine.h"

extern "C" __attribute__((visibility("default"))) const platform::webkit::gtk::ModuleTable* tesmar_webengine_module() {
    namespace gtk = platform::webkit::gtk;
    static const gtk::ModuleTable table{gtk::kModuleAbiVersion, &gtk::start, &gtk::isRunning, &gtk::stop,
                                        &gtk::version};
    return &table;
}
