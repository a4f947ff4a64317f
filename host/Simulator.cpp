#include "host/Simulator.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "host/Demo.h"
#include "host/Device.h"
#include "host/EventPrinter.h"
#include "host/Extension.h"
#include "host/InputLines.h"
#include "host/Interruption.h"
#include "host/LaunchChecks.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/security/Trust.h"

namespace tesmar_host {

namespace {

constexpr size_t kMaxScriptBytes = 16 * 1024 * 1024;

// Once a signal has asked the run to end, stderr may be a pipe nobody reads: what the end says does not wait.
void say(std::FILE* err, const std::string& message) {
    if (Interruption::caught() != 0)
        Interruption::sayWithoutWaiting(::fileno(err), "tesmar-sim: " + message + "\n");
    else
        std::fprintf(err, "tesmar-sim: %s\n", message.c_str());
}

// Read without blocking, waiting only in Interruption::poll, so a signal ends the wait: a FIFO or a pipe
// (--script <(...)) may be long in coming.
std::optional<std::string> readScript(const std::string& path, std::string& text, std::FILE* err) {
    const std::string flag = "--script '" + path + "' ";
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return flag + "is a folder, not a file of commands";
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return flag + "cannot be read: " + std::strerror(errno);
    // A FIFO no writer has opened yet reads as empty: it is read once poll says one came. (A pipe that is
    // not named was made with its writer.)
    struct stat status {};
    struct statfs volume {};
    bool wait = ::fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode) && ::fstatfs(fd, &volume) == 0 &&
                volume.f_type != PIPEFS_MAGIC;
    if (wait) say(err, flag + "is a FIFO: waiting for a writer");
    std::optional<std::string> problem;
    char chunk[64 * 1024];
    for (;;) {
        pollfd readable{fd, POLLIN, 0};
        if (wait && Interruption::poll(&readable, 1, -1) < 0) {
            problem = flag + "was not read to its end";
            break;
        }
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        wait = n < 0 && errno == EAGAIN;
        if (n > 0) text.append(chunk, size_t(n));
        if (text.size() > kMaxScriptBytes) {
            problem = flag + "is larger than 16 MB";
            break;
        }
        if (n == 0) break;
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            problem = flag + "cannot be read: " + std::strerror(errno);
            break;
        }
    }
    ::close(fd);
    return problem;
}

int sayInterrupted(std::FILE* err, int signal) {
    say(err, std::string("interrupted by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                 ": ending the run (a second one ends it at once)");
    return kExitSignalBase + signal;
}

// A run refused before the device starts: the message, and the "exit" line every run ends with.
int refuse(std::FILE* out, std::FILE* err, const std::string& message, int status) {
    say(err, message);
    printEvent(out, "exit", platform::Value::dictionary({{"code", status}}));
    return status;
}

}  // namespace

int runSimulator(const std::vector<std::string>& argv, std::istream& in, std::FILE* out, std::FILE* err) {
    auto parsed = parseOptions(argv);
    if (!parsed.options) return refuse(out, err, parsed.error, kExitUsage);
    const Options& options = *parsed.options;
    if (options.help) {
        std::fputs(usageText().c_str(), out);
        return kExitOK;
    }
    if (options.demo) return runDemo(options, out, err);
    if (options.extension) return runExtensionProcess(options, out, err);

    // From here on a signal ends the run in order, a wait for the script's writer too.
    Interruption interruption;
    auto interrupted = [] { return Interruption::caught() != 0; };

    // A script is checked whole before the device starts: a typo on line 40 should not cost a run.
    std::vector<Command> script;
    if (!options.script.empty()) {
        std::string text;
        auto problem = readScript(options.script, text, err);
        if (int signal = Interruption::caught()) {
            const int status = sayInterrupted(err, signal);
            printEvent(out, "exit", platform::Value::dictionary({{"code", status}}));
            return status;
        }
        if (problem) return refuse(out, err, *problem, kExitUsage);
        auto commands = parseScript(text);
        if (!commands.error.empty()) return refuse(out, err, options.script + ": " + commands.error, kExitUsage);
        script = std::move(commands.commands);
    }

    if (auto problem = checkCertificateFlags(options)) return refuse(out, err, *problem, kExitUsage);
    // Parsing the --ca roots (and OpenSSL's own start before it) is a large part of the first TLS handshake:
    // a worker does it while the checks below and the device's boot go on. It starts only once the check
    // above found each to be a file: opening a FIFO would hold the worker for good.
    if (!options.trustedRootsPEM.empty())
        platform::dispatch::DispatchQueue::global(platform::dispatch::QualityOfService::UserInitiated)
            .async([files = options.trustedRootsPEM] { platform::security::Trust::prepareExtraRoots(files); });
    // Refused before the device is touched, so a device directory keeps the bundle it had.
    if (auto problem = checkBundleInfo(options.bundle)) return refuse(out, err, *problem, kExitFault);
    if (auto problem = checkStartURL(options)) return refuse(out, err, *problem, kExitUsage);
    for (const auto& warning : launchWarnings(options)) say(err, "warning: " + warning);

    EventPrinter printer(out);
    int status = kExitOK;
    {
        Device device(options, printer);
        if (auto problem = device.boot()) {
            // A boot cut short by a signal (waiting for the device root, for Xvfb) says that, not why.
            status = kExitUsage;
            if (int signal = Interruption::caught())
                status = sayInterrupted(err, signal);
            else
                say(err, *problem);
            platform::DeviceEvents::post("exit", platform::Value::dictionary({{"code", status}}));
            printer.stop();
            return status;
        }
        if (auto problem = device.launch()) {
            say(err, "launch failed: " + *problem);
            platform::DeviceEvents::post("launch.failed", platform::Value::dictionary({{"message", *problem}}));
            status = device.finish(kExitFault);
            printer.stop();
            return status;
        }

        auto perform = [&](const Command& command) {
            if (options.echo)
                platform::DeviceEvents::post("command", platform::Value::dictionary({{"line", int64_t(command.number)},
                                                                                     {"text", command.line}}));
            if (auto problem = device.execute(command)) {
                say(err, command.line + ": " + *problem);
                status = kExitCommandFailed;
            }
        };
        if (!options.script.empty()) {
            for (const auto& command : script) {
                if (interrupted()) break;
                perform(command);
                if (device.quitRequested()) break;
            }
        } else {
            InputLines lines(in);
            for (size_t number = 1; !device.quitRequested(); ++number) {
                auto line = lines.next();
                if (!line || interrupted()) break;
                auto command = parseCommand(*line, number);
                // A typed mistake costs that line only; the exit status still tells of it.
                if (!command.error.empty()) {
                    say(err, "line " + std::to_string(number) + ": " + command.error);
                    status = kExitUsage;
                    continue;
                }
                if (command.command) perform(*command.command);
            }
        }
        if (int signal = Interruption::caught()) status = sayInterrupted(err, signal);
        status = device.finish(status);
        // What tearing the device down says comes after "exit": not part of the run.
        printer.stop();
    }
    return status;
}

}  // namespace tesmar_host
