#include "crash_reporter/CrashCapture.h"
#include "platform/dispatch/ThreadChecks.h"

#define UNW_LOCAL_ONLY
#include <cxxabi.h>
#include <fcntl.h>
#include <libunwind.h>
#include <limits.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace dodoredized {

namespace {

struct SignalName {
    int signal;
    const char* name;
};
constexpr SignalName kCapturedSignals[] = {
    {SIGSEGV, "SIGSEGV"}, {SIGBUS, "SIGBUS"},   {SIGILL, "SIGILL"},
    {SIGFPE, "SIGFPE"},   {SIGABRT, "SIGABRT"}, {SIGTRAP, "SIGTRAP"},
};

constexpr size_t kMaxText = 256;  // identifiers
constexpr size_t kAlternateStackSize = 128 * 1024;

// Everything the handlers touch, set up before they are installed. Static storage: nothing to allocate.
struct CaptureState {
    char reportPath[PATH_MAX] = {};
    char logPath[PATH_MAX] = {};
    char folder[PATH_MAX] = {};  // scratch for the folders above a file
    char reportIdentifier[kMaxText] = {};
    char installationIdentifier[kMaxText] = {};
    char executionIdentifier[kMaxText] = {};
    char executablePath[kMaxImageName] = {};
    int logFd = -1;  // opened at the first line
    ImageEntry startImages[kMaxImages];
    size_t startImageCount = 0;
    // Filled in the handler.
    ImageEntry crashImages[kMaxImages];
    uintptr_t frames[kMaxFrames] = {};
    // Filled by the terminate handler before it aborts.
    char exceptionType[kMaxExceptionText] = {};
    char exceptionMessage[kMaxExceptionText] = {};
    std::atomic<bool> hasException{false};
    std::atomic<pid_t> crashingThread{0};
    std::atomic<bool> installed{false};
};
CaptureState state;
alignas(16) char alternateStack[kAlternateStackSize];
std::terminate_handler previousTerminate = nullptr;

// --- async-signal-safe output ---

class SafeWriter {
public:
    explicit SafeWriter(int fd) : fd_(fd) {}
    ~SafeWriter() { flush(); }
    void put(const char* text) {
        while (*text) putChar(*text++);
    }
    void putChar(char c) {
        if (used_ == sizeof buffer_) flush();
        buffer_[used_++] = c;
    }
    // Backslash, control and non-ASCII bytes as \xHH (a backslash as \\), so a value stays on its line.
    void putEscaped(const char* text) {
        static const char* hex = "0123456789abcdef";
        for (; *text; ++text) {
            unsigned char c = static_cast<unsigned char>(*text);
            if (c == '\\') {
                putChar('\\');
                putChar('\\');
            } else if (c < 0x20 || c >= 0x7f) {
                putChar('\\');
                putChar('x');
                putChar(hex[c >> 4]);
                putChar(hex[c & 15]);
            } else {
                putChar(static_cast<char>(c));
            }
        }
    }
    void putHex(uintptr_t value) {
        char digits[2 * sizeof value];
        size_t n = 0;
        do {
            digits[n++] = "0123456789abcdef"[value & 15];
            value >>= 4;
        } while (value);
        put("0x");
        while (n) putChar(digits[--n]);
    }
    void putDecimal(long long value) {
        char digits[24];
        size_t n = 0;
        bool negative = value < 0;
        unsigned long long magnitude =
            negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (negative) putChar('-');
        while (n) putChar(digits[--n]);
    }
    void line(const char* key, const char* value) {
        put(key);
        putChar(' ');
        putEscaped(value);
        putChar('\n');
    }
    bool flush() {
        size_t done = 0;
        while (done < used_) {
            ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed_ = true;
                break;
            }
            done += static_cast<size_t>(n);
        }
        used_ = 0;
        return !failed_;
    }
    bool failed() const { return failed_; }

private:
    int fd_;
    char buffer_[4096];
    size_t used_ = 0;
    bool failed_ = false;
};

void copyText(char* to, size_t capacity, const char* from) {
    size_t i = 0;
    for (; from && from[i] && i + 1 < capacity; ++i) to[i] = from[i];
    to[i] = '\0';
}

// --- loaded images ---

int addImage(struct dl_phdr_info* info, size_t, void* data) {
    auto* count = static_cast<size_t*>(data);
    if (*count >= kMaxImages) return 1;
    ImageEntry& entry = state.startImages[(*count)++];
    entry.loadAddress = static_cast<uintptr_t>(info->dlpi_addr);
    const char* name = info->dlpi_name && info->dlpi_name[0] ? info->dlpi_name : state.executablePath;
    copyText(entry.name, sizeof entry.name, name);
    return 0;
}

// The loader's list as it is now, when it says it is not in the middle of a change. Only reads.
size_t currentImages(ImageEntry* out) {
    if (_r_debug.r_state != r_debug::RT_CONSISTENT || !_r_debug.r_map) return 0;
    size_t n = 0;
    for (const link_map* map = _r_debug.r_map; map && n < kMaxImages; map = map->l_next) {
        out[n].loadAddress = static_cast<uintptr_t>(map->l_addr);
        const char* name = map->l_name && map->l_name[0] ? map->l_name : state.executablePath;
        copyText(out[n].name, sizeof out[n].name, name);
        ++n;
    }
    return n;
}

// --- stack ---

size_t unwind(void* signalContext, uintptr_t* frames) {
    unw_cursor_t cursor;
    unw_context_t context;
    bool ready = false;
#if defined(__x86_64__)
    // There libunwind's context is the ucontext_t the kernel handed us: start at the faulting frame.
    if (signalContext)
        ready = unw_init_local2(&cursor, static_cast<unw_context_t*>(signalContext), UNW_INIT_SIGNAL_FRAME) == 0;
#else
    (void)signalContext;
#endif
    if (!ready) {
        if (unw_getcontext(&context) != 0 || unw_init_local(&cursor, &context) != 0) return 0;
    }
    size_t n = 0;
    do {
        unw_word_t ip = 0;
        if (unw_get_reg(&cursor, UNW_REG_IP, &ip) < 0 || ip == 0) break;
        frames[n++] = static_cast<uintptr_t>(ip);
    } while (n < kMaxFrames && unw_step(&cursor) > 0);
    return n;
}

// --- the handlers ---

// Opens a regular file only, never waiting: a FIFO in its place would hold the crashing process for good
// (its open waits for a reader), and a device is not opened at all. Looked at before and after the open,
// as FileManager::openFile does; -1 with errno ENXIO for anything but a regular file.
int openRegularFile(const char* path, int flags) {
    struct stat st;
    if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = ENXIO;
        return -1;
    }
    int fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) return fd;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = ENXIO;
        return -1;
    }
    return fd;  // O_NONBLOCK does nothing to a regular file
}

// The reporter's folders are made when the first file goes into them, here too: a launch that does not
// crash leaves none. stat, mkdir, open and fstat are async-signal-safe.
int openMakingFolders(const char* path, int flags) {
    int fd = openRegularFile(path, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    copyText(state.folder, sizeof state.folder, path);
    for (char* p = state.folder + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        ::mkdir(state.folder, 0755);  // there already, or made now: the open below tells
        *p = '/';
    }
    return openRegularFile(path, flags);
}

void appendLog(const char* text, int signal) {
    if (state.logFd < 0 && state.logPath[0])
        state.logFd = openMakingFolders(state.logPath, O_WRONLY | O_APPEND | O_CREAT);
    if (state.logFd < 0) return;
    SafeWriter log(state.logFd);
    log.put("[Dodoredized] crash captured: ");
    log.put(text);
    log.putChar(' ');
    log.putDecimal(signal);
    log.put(", report ");
    log.put(state.reportIdentifier);
    log.putChar('\n');
}

void writeReportFor(int signal, siginfo_t* info, void* context) {
    CrashFacts facts;
    facts.reportIdentifier = state.reportIdentifier;
    facts.installationIdentifier = state.installationIdentifier;
    facts.executionIdentifier = state.executionIdentifier;
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    facts.seconds = now.tv_sec;
    facts.milliseconds = static_cast<int>(now.tv_nsec / 1000000);
    facts.signal = signal;
    if (isFaultSignal(signal) && info) {
        facts.hasFaultAddress = true;
        facts.faultAddress = reinterpret_cast<uintptr_t>(info->si_addr);
    }
    if (state.hasException.load()) {
        facts.exceptionType = state.exceptionType;
        facts.exceptionMessage = state.exceptionMessage;
    }
    facts.frameCount = unwind(context, state.frames);
    facts.frames = state.frames;
    size_t live = currentImages(state.crashImages);
    facts.images = live ? state.crashImages : state.startImages;
    facts.imageCount = live ? live : state.startImageCount;

    int fd = openMakingFolders(state.reportPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW);
    if (fd < 0) {
        appendLog("cannot open the report file for signal", signal);
        return;
    }
    bool written = writeCrashReport(fd, facts);
    ::fsync(fd);
    ::close(fd);
    appendLog(written ? "signal" : "the report could not be written whole for signal", signal);
}

void endAsItWould(int signal) {
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    // Blocked while we are in the handler: delivered, with the default action, as soon as we return.
    // A hardware fault would come back by itself anyway when the instruction runs again.
    raise(signal);
}

void onSignal(int signal, siginfo_t* info, void* context) {
    int savedErrno = errno;
    pid_t self = static_cast<pid_t>(::syscall(SYS_gettid));
    pid_t none = 0;
    if (!state.crashingThread.compare_exchange_strong(none, self)) {
        // A crash inside our own writing: no second try, just end.
        if (none == self) return endAsItWould(signal);
        // Another thread is writing the report and will end the process.
        for (;;) ::pause();
    }
    writeReportFor(signal, info, context);
    errno = savedErrno;
    endAsItWould(signal);
}

void onTerminate() {
    // Not a signal handler: the exception's details may be read the ordinary way, into fixed buffers.
    if (std::exception_ptr current = std::current_exception()) {
        const std::type_info* type = abi::__cxa_current_exception_type();
        const char* mangled = type ? type->name() : "";
        int status = 0;
        char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
        copyText(state.exceptionType, sizeof state.exceptionType, readable ? readable : mangled);
        std::free(readable);
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            copyText(state.exceptionMessage, sizeof state.exceptionMessage, e.what());
        } catch (...) {
        }
        state.hasException.store(true);
    }
    if (previousTerminate) previousTerminate();
    std::abort();
}

}  // namespace

const char* signalName(int signal) {
    for (const auto& entry : kCapturedSignals)
        if (entry.signal == signal) return entry.name;
    return nullptr;
}

bool isFaultSignal(int signal) { return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE; }

bool writeCrashReport(int fd, const CrashFacts& facts) noexcept {
    SafeWriter out(fd);
    out.put(kReportHeaderLine);
    out.putChar('\n');
    out.line("report_id", facts.reportIdentifier);
    out.line("installation_id", facts.installationIdentifier);
    out.line("execution_id", facts.executionIdentifier);
    out.put("time ");
    out.putDecimal(facts.seconds);
    out.putChar('.');
    out.putChar(static_cast<char>('0' + facts.milliseconds / 100 % 10));
    out.putChar(static_cast<char>('0' + facts.milliseconds / 10 % 10));
    out.putChar(static_cast<char>('0' + facts.milliseconds % 10));
    out.putChar('\n');
    out.put("signal ");
    out.putDecimal(facts.signal);
    out.putChar(' ');
    const char* name = signalName(facts.signal);
    out.put(name ? name : "SIGUNKNOWN");
    out.putChar('\n');
    if (facts.hasFaultAddress) {
        out.put("fault_address ");
        out.putHex(facts.faultAddress);
        out.putChar('\n');
    }
    if (facts.exceptionType) {
        out.line("exception_type", facts.exceptionType);
        out.line("exception_message", facts.exceptionMessage ? facts.exceptionMessage : "");
    }
    for (size_t i = 0; i < facts.frameCount; ++i) {
        out.put("frame ");
        out.putHex(facts.frames[i]);
        out.putChar('\n');
    }
    for (size_t i = 0; i < facts.imageCount; ++i) {
        out.put("image ");
        out.putHex(facts.images[i].loadAddress);
        out.putChar(' ');
        out.putEscaped(facts.images[i].name);
        out.putChar('\n');
    }
    out.put("end\n");
    return out.flush();
}

bool isCrashCaptureInstalled() { return state.installed.load(); }

bool installCrashCapture(const CaptureSetup& setup) {
    if (kSanitizerBuild) return false;
    static platform::dispatch::Mutex mutex;
    platform::dispatch::MutexLock lock(mutex);
    if (state.installed.load()) return false;
    if (setup.reportPath.empty() || setup.reportPath.size() >= sizeof state.reportPath ||
        setup.reportIdentifier.size() >= kMaxText || setup.installationIdentifier.size() >= kMaxText ||
        setup.executionIdentifier.size() >= kMaxText || setup.logPath.size() >= sizeof state.logPath)
        return false;
    copyText(state.reportPath, sizeof state.reportPath, setup.reportPath.c_str());
    copyText(state.reportIdentifier, kMaxText, setup.reportIdentifier.c_str());
    copyText(state.installationIdentifier, kMaxText, setup.installationIdentifier.c_str());
    copyText(state.executionIdentifier, kMaxText, setup.executionIdentifier.c_str());
    copyText(state.logPath, sizeof state.logPath, setup.logPath.c_str());

    ssize_t length = ::readlink("/proc/self/exe", state.executablePath, sizeof state.executablePath - 1);
    state.executablePath[length > 0 ? length : 0] = '\0';
    size_t count = 0;
    dl_iterate_phdr(addImage, &count);
    state.startImageCount = count;
    // libunwind sets itself up on first use; let that happen here rather than in a crash.
    unwind(nullptr, state.frames);

    stack_t stack = {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action = {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const auto& entry : kCapturedSignals) sigaddset(&action.sa_mask, entry.signal);
    for (const auto& entry : kCapturedSignals) sigaction(entry.signal, &action, nullptr);
    previousTerminate = std::set_terminate(onTerminate);
    state.installed.store(true);
    return true;
}

}  // namespace dodoredized
