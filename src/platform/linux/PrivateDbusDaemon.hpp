#pragma once

#include <string>
#include <sys/types.h>

namespace tandril {

// A dbus-daemon of our own, for the simulator's BlueZ mode and the tests: a session-type bus
// whose configuration lists no service folders (so it never starts a desktop service by
// itself) and that lets every client own any name. It listens in a folder the caller owns.
class PrivateDbusDaemon {
public:
    struct Options {
        // The daemon ends when the process that started it ends, however that ends.
        bool endWithParent = false;
        // The daemon leaves the caller's process group (a terminal's Ctrl-C stays the
        // caller's to handle) and gets the signals the caller may have blocked back.
        bool ownProcessGroup = false;
        // The daemon's own output goes to /dev/null instead of the caller's (a test runner
        // waits for the output it captures to close).
        bool quiet = false;
    };

    PrivateDbusDaemon() = default;
    ~PrivateDbusDaemon();
    PrivateDbusDaemon(const PrivateDbusDaemon&) = delete;
    PrivateDbusDaemon& operator=(const PrivateDbusDaemon&) = delete;

    // Writes the configuration into `folder` (which must exist), starts the daemon there and
    // waits up to ten seconds for its address. False, with `error` set, when it did not come up.
    bool start(const std::string& folder, const Options& options, std::string& error);
    // Ends the daemon: SIGTERM, up to two seconds of grace, then SIGKILL. Returns its wait status.
    int stop();

    bool isRunning() const { return pid_ > 0; }
    // The bus's address, as a client connects to it ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }

    // Ends `pid` as stop() ends the daemon; for the other children tests and tools start.
    static int endProcess(pid_t pid);

private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace tandril
