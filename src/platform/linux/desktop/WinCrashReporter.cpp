#include "platform/linux/desktop/WinCrashReporter.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"

namespace tandril {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr const char* kAnnouncedFile = ".announced";
constexpr const char* kReportSuffix = ".crash";

// Everything the handler needs, prepared at start: it may not allocate, format with stdio
// or take locks.
struct CrashState {
    int directoryFd = -1;
    char header[512] = {};
    std::size_t headerLength = 0;
    char pidText[24] = {};
};
CrashState gCrash;
std::vector<char> gAlternateStack;

std::size_t appendText(char* buffer, std::size_t at, std::size_t size, const char* text) {
    while (*text && at + 1 < size) buffer[at++] = *text++;
    buffer[at] = '\0';
    return at;
}

// Decimal digits of `value` into `buffer` (async-signal-safe).
std::size_t formatNumber(char* buffer, std::size_t size, unsigned long long value) {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value && n < sizeof digits);
    std::size_t at = 0;
    while (n && at + 1 < size) buffer[at++] = digits[--n];
    buffer[at] = '\0';
    return at;
}

void writeAll(int fd, const char* text, std::size_t length) {
    while (length) {
        const ssize_t written = ::write(fd, text, length);
        if (written <= 0) return;
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void writeText(int fd, const char* text) { writeAll(fd, text, std::strlen(text)); }

const char* signalName(int signal) {
    switch (signal) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

void crashHandler(int signal, siginfo_t* info, void* /*context*/) {
    const int saved = errno;
    if (gCrash.directoryFd >= 0) {
        // crash-<seconds since 1970>-<pid>.crash
        char name[96] = "crash-";
        std::size_t at = std::strlen(name);
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        at += formatNumber(name + at, sizeof name - at, static_cast<unsigned long long>(now.tv_sec));
        at = appendText(name, at, sizeof name, "-");
        at = appendText(name, at, sizeof name, gCrash.pidText);
        appendText(name, at, sizeof name, kReportSuffix);
        const int fd = ::openat(gCrash.directoryFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            writeAll(fd, gCrash.header, gCrash.headerLength);
            char number[24];
            writeText(fd, "signal: ");
            formatNumber(number, sizeof number, static_cast<unsigned long long>(signal));
            writeText(fd, number);
            writeText(fd, " (");
            writeText(fd, signalName(signal));
            writeText(fd, ")\ncode: ");
            // Negative codes say who sent the signal (SI_USER, SI_TKILL for raise()).
            const int code = info ? info->si_code : 0;
            if (code < 0) writeText(fd, "-");
            formatNumber(number, sizeof number, static_cast<unsigned long long>(code < 0 ? -static_cast<long long>(code) : code));
            writeText(fd, number);
            writeText(fd, "\ntime: ");
            formatNumber(number, sizeof number, static_cast<unsigned long long>(now.tv_sec));
            writeText(fd, number);
            writeText(fd, " (seconds since 1970, UTC)\nbacktrace:\n");
            void* frames[64];
            const int count = backtrace(frames, 64);
            backtrace_symbols_fd(frames, count, fd);
            ::close(fd);
        }
    }
    errno = saved;
    // The handler was reset to the default on entry (SA_RESETHAND): raised again, the signal
    // ends the process as it would have without the reporter once this handler returns.
    raise(signal);
}

}  // namespace

WinCrashReporter::WinCrashReporter(std::string version, std::string directory)
    : version_(std::move(version)), directory_(directory.empty() ? defaultDirectory() : std::move(directory)) {}

std::string WinCrashReporter::defaultDirectory() {
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    const std::string base =
        stateHome && *stateHome == '/' ? stateHome : Paths::join(Paths::homeDirectory(), ".local/state");
    return Paths::join(base, "Tandril/crashes");
}

std::optional<std::string> WinCrashReporter::announcePreviousReports() const {
    namespace fs = std::filesystem;
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(directory_, error), end; !error && it != end; it.increment(error)) {
        const auto name = it->path().filename().string();
        if (name.size() > std::strlen(kReportSuffix) && name.rfind("crash-", 0) == 0 &&
            name.compare(name.size() - std::strlen(kReportSuffix), std::string::npos, kReportSuffix) == 0) {
            names.push_back(name);
        }
    }
    if (names.empty()) return std::nullopt;
    // Newest first: by the time in the name, then by name.
    const auto timeOf = [](const std::string& name) { return std::strtoull(name.c_str() + 6, nullptr, 10); };
    const auto newest = *std::max_element(names.begin(), names.end(), [&](const auto& a, const auto& b) {
        return timeOf(a) != timeOf(b) ? timeOf(a) < timeOf(b) : a < b;
    });
    const auto markerPath = Paths::join(directory_, kAnnouncedFile);
    if (Paths::readFile(markerPath).value_or("") == newest) return std::nullopt;
    const auto path = Paths::join(directory_, newest);
    log("[CrashReporter] An earlier run crashed; its report is at %s", path);
    Paths::writeFileAtomically(markerPath, newest);
    return path;
}

void WinCrashReporter::startWithAPIKey(const std::string& /*apiKey*/) {
    // Reports stay on this computer: the key of an upload service has no use here.
    announcePreviousReports();

    if (!Paths::createDirectories(directory_)) {
        log("[CrashReporter] Cannot create %s; crashes will not be recorded.", directory_);
        return;
    }
    const int fd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        log("[CrashReporter] Cannot open %s; crashes will not be recorded.", directory_);
        return;
    }
    if (gCrash.directoryFd >= 0) ::close(gCrash.directoryFd);
    gCrash.directoryFd = fd;

    const std::string header = "Tandril crash report\nversion: " + version_ + "\npid: " + std::to_string(getpid()) + "\n";
    gCrash.headerLength = std::min(header.size(), sizeof gCrash.header - 1);
    std::memcpy(gCrash.header, header.data(), gCrash.headerLength);
    gCrash.header[gCrash.headerLength] = '\0';
    formatNumber(gCrash.pidText, sizeof gCrash.pidText, static_cast<unsigned long long>(getpid()));

    // backtrace() loads its unwinder on first use, which allocates: do that now.
    void* frames[4];
    backtrace(frames, 4);

    // A stack of its own, so that a stack overflow can still be reported.
    if (gAlternateStack.empty()) {
        gAlternateStack.resize(std::max<std::size_t>(SIGSTKSZ, 64 * 1024));
        stack_t stack{};
        stack.ss_sp = gAlternateStack.data();
        stack.ss_size = gAlternateStack.size();
        sigaltstack(&stack, nullptr);
    }

    struct sigaction action {};
    action.sa_sigaction = crashHandler;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

}  // namespace tandril
