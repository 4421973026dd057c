#include "support/PrivateBus.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tandril::test {

namespace {

bool saveEnv(const char* name, std::string& into) {
    const char* value = std::getenv(name);
    if (!value) return false;
    into = value;
    return true;
}

void restoreEnv(const char* name, bool had, const std::string& value) {
    if (had) ::setenv(name, value.c_str(), 1);
    else ::unsetenv(name);
}

// Ends `pid`: SIGTERM, up to two seconds of grace, then SIGKILL. Returns the wait status.
int endProcess(pid_t pid) {
    int status = 0;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0) return status;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return status;
}

}  // namespace

PrivateBus::PrivateBus() {
    const std::string config = dir_.file("bus.conf");
    {
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:dir=" << dir_.path() << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    if (pid == 0) {
        // The daemon ends with the test process, however that ends, and never holds the
        // test's output open (a test runner waits for that output to close).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        ::dup2(fds[1], 3);
        const std::string configArg = "--config-file=" + config;
        ::execlp("dbus-daemon", "dbus-daemon", configArg.c_str(), "--nofork", "--nopidfile", "--print-address=3",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // The daemon prints its address once it listens; allow it ten seconds on a loaded machine.
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
        error_ = "dbus-daemon printed no address (is the dbus-daemon package installed?)";
        endProcess(pid);
        return;
    }
    pid_ = pid;
    address_ = line.substr(0, end);
    hadSession_ = saveEnv("DBUS_SESSION_BUS_ADDRESS", savedSession_);
    hadSystem_ = saveEnv("DBUS_SYSTEM_BUS_ADDRESS", savedSystem_);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus() {
    if (pid_ <= 0) return;
    restoreEnv("DBUS_SESSION_BUS_ADDRESS", hadSession_, savedSession_);
    restoreEnv("DBUS_SYSTEM_BUS_ADDRESS", hadSystem_, savedSystem_);
    endProcess(pid_);
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& logFile) {
    if (argv.empty()) return;
    const pid_t pid = ::fork();
    if (pid < 0) return;
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (devnull >= 0) ::dup2(devnull, 0);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    pid_ = pid;
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::isRunning() {
    if (pid_ <= 0) return false;
    if (::waitpid(pid_, &status_, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
}

int ChildProcess::stop() {
    if (pid_ <= 0) return status_;
    status_ = endProcess(pid_);
    pid_ = -1;
    return status_;
}

}  // namespace tandril::test
