#include "platform/linux/PolkitCheck.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

extern char** environ;

namespace tandril {

namespace {

// Field 22 of /proc/self/stat: the process's start time in clock ticks since boot.
std::string processStartTime() {
    std::ifstream file("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold spaces: count from the closing parenthesis.
    const auto close = text.rfind(')');
    if (close == std::string::npos) return "0";
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    // Fields 3 … 22: the twentieth after the command name.
    for (int i = 3; i <= 22 && (rest >> field); ++i) {
    }
    return field.empty() ? "0" : field;
}

}  // namespace

PolkitCheck::PolkitCheck(std::string program) : program_(std::move(program)) {}

std::string PolkitCheck::processSubject() {
    return std::to_string(::getpid()) + "," + processStartTime() + "," + std::to_string(::getuid());
}

PolkitCheck::Result PolkitCheck::check(const std::string& actionId, bool interactive) const {
    std::vector<std::string> arguments{program_, "--action-id", actionId, "--process", processSubject()};
    if (interactive) arguments.emplace_back("--allow-user-interaction");
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    pid_t child = 0;
    if (::posix_spawnp(&child, program_.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return Result::Failed;
    }
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status)) return Result::Failed;

    switch (WEXITSTATUS(status)) {
        case 0: return Result::Authorized;
        case 1: return Result::NotAuthorized;
        case 2: return Result::NoInteraction;
        case 3: return Result::Dismissed;
        default: return Result::Failed;
    }
}

}  // namespace tandril
