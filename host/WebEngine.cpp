#include "host/WebEngine.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "host/LaunchChecks.h"
#include "host/Modules.h"
#include "host/VirtualDisplay.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/webkit/LegacyWebView.h"
#include "platform/webkit/WebView.h"
#include "platform/webkit/forms/HTMLForm.h"
#include "platform/webkit/gtk/WebEngine.h"

namespace tesmar_host {

namespace {
struct Running {
    std::unique_ptr<VirtualDisplay> ownDisplay;  // null when the machine's display is used
    std::string display;
};
std::unique_ptr<Running>& running() {
    static auto* state = new std::unique_ptr<Running>;
    return *state;
}

// The engine's module, next to this executable; empty when this executable's own path is unknown (a
// bare name would have dlopen search the library path).
std::string modulePath() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return "";
    return (exe.parent_path() / platform::webkit::gtk::kModuleFileName).string();
}

// Opened on first use and kept open: the engine's libraries start threads and register types that
// outlive any single run.
const platform::webkit::gtk::ModuleTable* loadModule(std::string* error) {
    static const platform::webkit::gtk::ModuleTable* table = nullptr;
    if (table) return table;
    using Entry = const platform::webkit::gtk::ModuleTable* (*)();
    auto entry = reinterpret_cast<Entry>(
        moduleEntry(platform::webkit::gtk::kModuleFileName, platform::webkit::gtk::kModuleEntry, "its module", error));
    if (!entry) return nullptr;
    const auto* found = entry();
    if (!found || found->abiVersion != platform::webkit::gtk::kModuleAbiVersion || !found->start || !found->isRunning ||
        !found->stop || !found->version) {
        *error = "its module '" + modulePath() + "' is of another build";
        return nullptr;
    }
    table = found;
    return table;
}
// The headless engine's form reader, with its HTML parser, is loaded by the first form it submits.
std::optional<std::string> loadFormReader() {
    namespace forms = platform::webkit::forms;
    if (platform::webkit::formReader()) return std::nullopt;
    std::string error;
    using Entry = const forms::ModuleTable* (*)();
    auto entry = reinterpret_cast<Entry>(
        moduleEntry(forms::kModuleFileName, forms::kModuleEntry, "the form reader's module", &error));
    if (!entry) return error;
    const auto* table = entry();
    if (!table || table->abiVersion != forms::kModuleAbiVersion || !table->read)
        return std::string("the form reader's module ") + forms::kModuleFileName + " is of another build";
    platform::webkit::setFormReader(table->read);
    return std::nullopt;
}
}  // namespace

bool realWebEngineAvailable() {
    std::string module = modulePath();
    if (module.empty() || access(module.c_str(), R_OK) != 0) return false;
    return VirtualDisplay::available();
}

std::optional<std::string> startRealWebEngine() {
    if (running()) return std::nullopt;
    std::string loadError;
    const auto* engine = loadModule(&loadError);
    if (!engine) return "the real web engine cannot start: " + loadError;
    auto state = std::make_unique<Running>();
    std::string error;
    state->ownDisplay = VirtualDisplay::startIfNeeded(&error);
    if (!state->ownDisplay && !error.empty()) return "the real web engine has no display: " + error;
    const char* display = std::getenv("DISPLAY");
    state->display = display ? display : "";
    if (auto problem = engine->start()) return "the real web engine cannot start: " + *problem;
    platform::DeviceEvents::post(
        "web-engine", platform::Value::dictionary(
                          {{"engine", kWebEngineReal}, {"version", engine->version()}, {"display", state->display}}));
    running() = std::move(state);
    return std::nullopt;
}

void stopRealWebEngine() {
    if (!running()) return;
    std::string unused;
    if (const auto* engine = loadModule(&unused)) engine->stop();
    running().reset();
}

std::optional<std::string> writeSnapshot(platform::webkit::WebView& webView, const std::string& path,
                                         double timeoutSeconds) {
    if (!webView.runsScripts()) return "the headless web view draws nothing (run with --web-engine real)";
    // Only a file is written: opening a FIFO waits for a reader, and no signal ends an open.
    std::error_code ec;
    if (const auto status = std::filesystem::status(path, ec);
        std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        return "'" + path + "' " + notAFile(status);
    struct Outcome {
        bool done = false;
        std::optional<platform::webkit::Snapshot> png;
        std::string error;
    };
    auto outcome = std::make_shared<Outcome>();
    webView.takeSnapshot(
        [outcome](const std::optional<platform::webkit::Snapshot>& png, const std::optional<platform::Error>& error) {
            outcome->done = true;
            outcome->png = png;
            if (error) outcome->error = error->localizedDescription();
        });
    auto& loop = platform::dispatch::MainLoop::shared();
    loop.runUntil([outcome] { return outcome->done; }, timeoutSeconds);
    if (!outcome->done && loop.waitsEnded()) return "the run was interrupted before a frame was drawn";
    if (!outcome->done) return "no frame was drawn within " + std::to_string(int(timeoutSeconds)) + " s";
    if (!outcome->png) return "the snapshot failed: " + outcome->error;
    auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    const auto& png = outcome->png->png;
    file.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    file.close();
    if (!file) return "cannot write '" + path + "'";
    platform::DeviceEvents::post("snapshot", platform::Value::dictionary({{"file", path},
                                                                          {"bytes", int64_t(png.size())},
                                                                          {"width", int64_t(outcome->png->width)},
                                                                          {"height", int64_t(outcome->png->height)},
                                                                          {"blank", outcome->png->blank}}));
    return std::nullopt;
}

std::optional<std::string> submitForm(platform::uikit::View& webView, const platform::webkit::FormFill& fill,
                                      double timeoutSeconds) {
    auto* web = dynamic_cast<platform::webkit::WebView*>(&webView);
    auto* legacy = dynamic_cast<platform::webkit::LegacyWebView*>(&webView);
    if (!web && !legacy) return "the view is no web view";
    if (web ? !web->URL() : !legacy->request()) return "no page is shown to submit a form of";
    if (!(web && web->runsScripts())) {
        if (auto problem = loadFormReader()) return problem;
        // The reader answers within its own limit: a shorter wait would leave a read that may still send
        // the form during a later command.
        double readLimit = std::chrono::duration<double>(platform::webkit::forms::ReadLimits().time).count();
        timeoutSeconds = std::max(timeoutSeconds, readLimit + 1);
    }
    struct Outcome {
        bool done = false;
        std::optional<std::string> problem;
    };
    auto outcome = std::make_shared<Outcome>();
    auto answered = [outcome](const std::optional<std::string>& problem) {
        outcome->done = true;
        outcome->problem = problem;
    };
    if (web)
        web->submitForm(fill, answered);
    else
        legacy->submitForm(fill, answered);
    auto& loop = platform::dispatch::MainLoop::shared();
    loop.runUntil([outcome] { return outcome->done; }, timeoutSeconds);
    if (!outcome->done && loop.waitsEnded()) return "the run was interrupted before the page took the form";
    if (!outcome->done) return "the page did not take the form within " + std::to_string(int(timeoutSeconds)) + " s";
    return outcome->problem;
}

}  // namespace tesmar_host
