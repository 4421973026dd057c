#include "tandril-simulator/TDRSimulatorBluez.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ble/platform/PlatformAdapter.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "platform/linux/bluez/standin/BluezStandIn.hpp"
#include "sim/SimRadio.hpp"

namespace tandril {

std::unique_ptr<TDRSimulatorBluez> TDRSimulatorBluez::start(const std::shared_ptr<SimRadio>& radio, std::ostream& out,
                                                           std::string& error) {
    std::unique_ptr<TDRSimulatorBluez> self(new TDRSimulatorBluez());
    if (!self->startBus(error)) return nullptr;
    BluezStandIn::Options options;
    options.busAddress = self->address_;
    self->standIn_ = BluezStandIn::create(radio, options);
    if (!self->standIn_->start()) {
        error = "the stand-in bluetoothd did not start: " + self->standIn_->error();
        return nullptr;
    }
    BluezAdapter::Options adapterOptions;
    adapterOptions.busAddress = self->address_;
    self->adapter_ = BluezAdapter::create(adapterOptions);
    PlatformAdapter::setCurrent(self->adapter_);
    out << "[simulator] BlueZ mode: the agent talks to a stand-in bluetoothd (org.bluez) on a private bus:\n"
        << "[simulator]   " << self->address_ << "\n"
        << "[simulator] watch it:  busctl --address=" << self->address_ << " tree org.bluez\n"
        << "[simulator]            busctl --address=" << self->address_ << " monitor org.bluez\n"
        << "[simulator]            DBUS_SYSTEM_BUS_ADDRESS=" << self->address_ << " bluetoothctl" << std::endl;
    return self;
}

TDRSimulatorBluez::~TDRSimulatorBluez() {
    if (adapter_ && PlatformAdapter::current() == adapter_) PlatformAdapter::setCurrent(nullptr);
    adapter_.reset();
    if (standIn_) standIn_->stop();
    standIn_.reset();
    if (daemon_ > 0) {
        ::kill(daemon_, SIGTERM);
        int status = 0;
        ::waitpid(daemon_, &status, 0);
    }
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

// A dbus-daemon of our own: a session-type bus that lists no service folders (so it
// starts no desktop service) and lets everyone own any name.
bool TDRSimulatorBluez::startBus(std::string& error) {
    char pattern[] = "/tmp/tandril-simulator-bus-XXXXXX";
    if (!::mkdtemp(pattern)) {
        error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    directory_ = pattern;
    const std::string config = directory_ + "/bus.conf";
    {
        std::ofstream file(config);
        file << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                "<busconfig>\n  <type>session</type>\n  <listen>unix:dir="
             << directory_
             << "</listen>\n  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
                "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n"
                "    <allow own=\"*\"/>\n  </policy>\n</busconfig>\n";
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid == 0) {
        // Out of the terminal's process group (Ctrl-C is ours to handle), with the signals
        // the simulator blocks for its own use unblocked again.
        ::setpgid(0, 0);
        sigset_t all;
        sigfillset(&all);
        ::sigprocmask(SIG_UNBLOCK, &all, nullptr);
        ::dup2(fds[1], 3);
        const std::string configArg = "--config-file=" + config;
        ::execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile", "--print-address=3",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string line;
    pollfd pfd{fds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos) {
        if (::poll(&pfd, 1, 10000) <= 0) break;
        char buffer[512];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    daemon_ = pid;
    const auto end = line.find('\n');
    if (end == std::string::npos || end == 0) {
        error = "dbus-daemon printed no address (is the dbus-daemon package installed?)";
        return false;
    }
    address_ = line.substr(0, end);
    return true;
}

}  // namespace tandril
