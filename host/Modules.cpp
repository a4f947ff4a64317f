#include "host/Modules.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

namespace tesmar_host {

void* moduleEntry(const std::string& fileName, const char* entry, const std::string& what, std::string* error) {
    // Next to this executable; a bare name would have dlopen search the library path.
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) {
        *error = "the path of this executable, next to which " + what + " lies, is unknown";
        return nullptr;
    }
    std::string path = (exe.parent_path() / fileName).string();
    if (access(path.c_str(), R_OK) != 0) {
        *error = what + " '" + path + "' is missing";
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        *error = what + " '" + path + "' does not load: " + (why ? why : "unknown error");
        return nullptr;
    }
    void* symbol = dlsym(handle, entry);
    if (!symbol) *error = what + " '" + path + "' has no entry '" + entry + "'";
    return symbol;
}

}  // namespace tesmar_host
