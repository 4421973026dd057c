#include "platform/linux/PrivateDbusDaemon.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

namespace tandril {

PrivateDbusDaemon::~PrivateDbusDaemon() { stop(); }

bool PrivateDbusDaemon::start(const std::string& folder, const Options& options, std::string& error) {
    if (pid_ > 0) {
        error = "the bus is already running";
        return false;
    }
    const std::string config = folder + "/bus.conf";
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:dir=" << folder << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
        if (!out) {
            error = "cannot write " + config;
            return false;
        }
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
        if (options.endWithParent) ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (options.ownProcessGroup) {
            ::setpgid(0, 0);
            sigset_t all;
            sigfillset(&all);
            ::sigprocmask(SIG_UNBLOCK, &all, nullptr);
        }
        if (options.quiet) {
            const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
            if (devnull >= 0) {
                ::dup2(devnull, 0);
                ::dup2(devnull, 1);
                ::dup2(devnull, 2);
            }
        }
        ::dup2(fds[1], 3);
        const std::string configArg = "--config-file=" + config;
        ::execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile", "--print-address=3",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // The daemon prints its address once it listens; ten seconds allow for a loaded machine.
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
    const auto end = line.find('\n');
    if (end == std::string::npos || end == 0) {
        error = "dbus-daemon printed no address (is the dbus-daemon package installed?)";
        endProcess(pid);
        return false;
    }
    pid_ = pid;
    address_ = line.substr(0, end);
    return true;
}

int PrivateDbusDaemon::stop() {
    if (pid_ <= 0) return 0;
    const int status = endProcess(pid_);
    pid_ = -1;
    address_.clear();
    return status;
}

int PrivateDbusDaemon::endProcess(pid_t pid) {
    int status = 0;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || done < 0) return status;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return status;
}

}  // namespace tandril
