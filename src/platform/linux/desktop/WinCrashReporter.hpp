#pragma once

#include <optional>
#include <string>

#include "agent/TDRCrashReporter.hpp"

namespace tandril {

// Records crashes locally and uploads nothing. On a fatal signal (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT) the handler writes a report (the signal, the version, a backtrace) to
// the crash folder, $XDG_STATE_HOME/Tandril/crashes/ by default, then lets the signal take
// its default course (a core dump where the system keeps them). The handler uses
// async-signal-safe calls only: the folder is opened, the report's text prepared and the
// backtrace machinery loaded when the reporter starts, and the handler runs on a stack of
// its own so that a stack overflow is reported too.
//
// At start, a report that no earlier start has mentioned is logged, one line with its path.
// One reporter per process: starting a second one replaces the first's folder.
class WinCrashReporter : public TDRCrashReporter {
public:
    // `directory` empty: the default folder.
    WinCrashReporter(std::string version, std::string directory = {});

    // Logs an unmentioned report of an earlier run, then installs the signal handlers.
    void startWithAPIKey(const std::string& apiKey) override;

    // Logs "[CrashReporter] An earlier run crashed; its report is at PATH" for the newest
    // report not logged before, and remembers it. Returns that path.
    std::optional<std::string> announcePreviousReports() const;

    const std::string& directory() const { return directory_; }
    // $XDG_STATE_HOME/Tandril/crashes (~/.local/state/Tandril/crashes).
    static std::string defaultDirectory();

private:
    std::string version_;
    std::string directory_;
};

}  // namespace tandril
