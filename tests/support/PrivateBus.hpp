#pragma once

#include <string>
#include <vector>
#include <sys/types.h>

#include "platform/linux/PrivateDbusDaemon.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {

// A private dbus-daemon for one test: its configuration lists no service folders, so it
// never starts a desktop service by itself. While it lives, DBUS_SESSION_BUS_ADDRESS and
// DBUS_SYSTEM_BUS_ADDRESS both name it (the previous values come back afterwards), so a
// program's "system bus" and "session bus" are this one bus.
class PrivateBus {
public:
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The bus's address, as a client connects to it ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }
    // False when dbus-daemon could not be started; error() says why.
    bool isRunning() const { return daemon_.isRunning(); }
    const std::string& error() const { return error_; }

private:
    TempDir dir_;
    PrivateDbusDaemon daemon_;
    std::string address_;
    std::string error_;
    std::string savedSession_;
    std::string savedSystem_;
    bool hadSession_ = false;
    bool hadSystem_ = false;
};

// Starts a program (argv[0] is looked up in PATH) with its standard output and error sent to
// `logFile`, and ends it (SIGTERM, then SIGKILL) when destroyed.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    // False once the process has ended (it is then reaped; stop() gives its status).
    bool isRunning();
    // Ends the process now; returns its wait status.
    int stop();

private:
    pid_t pid_ = -1;
    int status_ = 0;
};

}  // namespace tandril::test
