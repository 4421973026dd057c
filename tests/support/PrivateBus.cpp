#include "support/PrivateBus.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

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

}  // namespace

PrivateBus::PrivateBus() {
    PrivateDbusDaemon::Options options;
    options.endWithParent = true;
    options.quiet = true;
    if (!daemon_.start(dir_.path(), options, error_)) return;
    address_ = daemon_.address();
    hadSession_ = saveEnv("DBUS_SESSION_BUS_ADDRESS", savedSession_);
    hadSystem_ = saveEnv("DBUS_SYSTEM_BUS_ADDRESS", savedSystem_);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
}

PrivateBus::~PrivateBus() {
    if (!daemon_.isRunning()) return;
    restoreEnv("DBUS_SESSION_BUS_ADDRESS", hadSession_, savedSession_);
    restoreEnv("DBUS_SYSTEM_BUS_ADDRESS", hadSystem_, savedSystem_);
    daemon_.stop();
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
    status_ = PrivateDbusDaemon::endProcess(pid_);
    pid_ = -1;
    return status_;
}

}  // namespace tandril::test
