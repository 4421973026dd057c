#include "platform/linux/cbcache/CBCacheBluetoothService.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace tandril {

CBCacheBluetoothService::CBCacheBluetoothService(std::string systemctl, std::string unit)
    : systemctl_(std::move(systemctl)), unit_(std::move(unit)) {}

std::string CBCacheBluetoothService::run(const std::string& verb) const {
    std::vector<std::string> arguments{systemctl_, "--no-ask-password", verb, unit_};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int output[2];
    if (::pipe2(output, O_CLOEXEC) != 0) return std::string("cannot run systemctl: ") + std::strerror(errno);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_adddup2(&actions, output[1], 2);
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, systemctl_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    if (spawned != 0) {
        ::close(output[0]);
        return "cannot run " + systemctl_ + ": " + std::strerror(spawned);
    }

    // What systemctl says, kept to a few lines for the report.
    std::string said;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(output[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (said.size() < 2048) said.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(output[0]);
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};

    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    std::string what = "systemctl " + verb + " " + unit_ + " failed";
    if (waited == child && WIFEXITED(status)) what += " (status " + std::to_string(WEXITSTATUS(status)) + ")";
    if (!said.empty()) what += ": " + said;
    return what;
}

}  // namespace tandril
