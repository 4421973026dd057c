#include "platform/linux/CNSystemdHelperInstaller.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "engine/CNCacheConsent.hpp"

extern char** environ;

namespace tandril {

namespace {

constexpr const char* kInstallerErrorDomain = "CNHelperInstallerErrorDomain";
// pkexec's own exit statuses: the consent dialog was dismissed; not authorized (or an error).
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

// Runs `arguments` (the first is the program) and waits; returns its exit status, or -1
// when it could not be run or did not exit. Its standard output (and error) go to `output`.
int run(const std::vector<std::string>& arguments, std::string& output) {
    std::vector<std::string> all = arguments;
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 2);
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned == 0) {
        char buffer[1024];
        for (;;) {
            const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (output.size() < 8192) output.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(pipe[0]);
    if (spawned != 0) return -1;
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string firstLine(const std::string& text) {
    const auto end = text.find('\n');
    return text.substr(0, end);
}

ErrorPtr failure(int code, const std::string& description) {
    return Error::withDescription(kInstallerErrorDomain, code, description);
}

}  // namespace

CNSystemdHelperInstaller::CNSystemdHelperInstaller(std::string systemctl, std::string pkexec)
    : systemctl_(std::move(systemctl)), pkexec_(std::move(pkexec)) {}

std::string CNSystemdHelperInstaller::findProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : std::string();
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        auto end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = folders.substr(start, end - start);
        if (!folder.empty()) {
            const std::string candidate = folder + "/" + program;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return {};
}

CNSystemdHelperInstaller::UnitState CNSystemdHelperInstaller::unitState(const std::string& unit) const {
    std::string output;
    const int status =
        run({systemctl_, "show", "--property=LoadState", "--property=UnitFileState", unit}, output);
    UnitState state;
    if (status != 0) {
        state.failure = output.empty() ? "status " + std::to_string(status) : firstLine(output);
        return state;
    }
    std::size_t start = 0;
    while (start < output.size()) {
        auto end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        const std::string line = output.substr(start, end - start);
        if (line.rfind("LoadState=", 0) == 0) state.loadState = line.substr(10);
        if (line.rfind("UnitFileState=", 0) == 0) state.unitFileState = line.substr(14);
        start = end + 1;
    }
    return state;
}

bool CNSystemdHelperInstaller::isJobInstalled(const std::string& label) {
    const auto state = unitState(label + ".socket");
    return state.loadState == "loaded" && (state.unitFileState == "enabled" || state.unitFileState == "enabled-runtime");
}

std::int32_t CNSystemdHelperInstaller::authorizeInstallation() {
    return findProgram(pkexec_).empty() ? CNCacheConsent::StatusInternal : CNCacheConsent::StatusSuccess;
}

ErrorPtr CNSystemdHelperInstaller::installJob(const std::string& label) {
    const std::string unit = label + ".socket";
    const auto state = unitState(unit);
    if (state.loadState.empty()) return failure(-1, "systemd could not be asked about " + unit + ": " + state.failure);
    if (state.loadState == "masked") {
        return failure(-1, unit + " is masked; an administrator can allow it with \"systemctl unmask " + unit + "\"");
    }
    if (state.loadState != "loaded") {
        return failure(-1, unit + " is not on this system; install the Tandril package, or install the build as root");
    }

    // pkexec runs a program by its full path; its own text agent stays off (no terminal here).
    const std::string pkexec = findProgram(pkexec_);
    const std::string systemctl = findProgram(systemctl_);
    if (pkexec.empty() || systemctl.empty()) {
        return failure(-1, (pkexec.empty() ? pkexec_ : systemctl_) + " was not found");
    }
    std::string output;
    const int status = run({pkexec, "--disable-internal-agent", systemctl, "enable", "--now", unit}, output);
    switch (status) {
        case 0: return nullptr;
        case kPkexecDismissed: return failure(status, "the administrator's consent to enable " + unit + " was not given");
        case kPkexecNotAuthorized: return failure(status, "not authorized to enable " + unit);
        default:
            return failure(status, "systemctl could not enable " + unit + " (status " + std::to_string(status) + ")" +
                                       (output.empty() ? "" : ": " + firstLine(output)));
    }
}

}  // namespace tandril
