#include "platform/linux/CNSystemdHelperInstaller.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <vector>

#include "engine/CNCacheConsent.hpp"

extern char** environ;

namespace tandril {

namespace {
constexpr const char* kManageUnitsAction = "org.freedesktop.systemd1.manage-unit-files";
constexpr const char* kInstallerErrorDomain = "CNHelperInstallerErrorDomain";
}  // namespace

CNSystemdHelperInstaller::CNSystemdHelperInstaller(PolkitCheck check, std::string systemctl)
    : check_(std::move(check)), systemctl_(std::move(systemctl)) {}

int CNSystemdHelperInstaller::runSystemctl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> all{systemctl_};
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    if (::posix_spawnp(&child, systemctl_.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool CNSystemdHelperInstaller::isJobInstalled(const std::string& label) {
    return runSystemctl({"--quiet", "is-enabled", label + ".socket"}) == 0;
}

std::int32_t CNSystemdHelperInstaller::authorizeInstallation() {
    switch (check_.check(kManageUnitsAction, true)) {
        case PolkitCheck::Result::Authorized: return CNCacheConsent::StatusSuccess;
        case PolkitCheck::Result::NotAuthorized: return CNCacheConsent::StatusDenied;
        case PolkitCheck::Result::Dismissed: return CNCacheConsent::StatusCanceled;
        case PolkitCheck::Result::NoInteraction: return CNCacheConsent::StatusInteractionNotAllowed;
        case PolkitCheck::Result::Failed: break;
    }
    return CNCacheConsent::StatusInternal;
}

ErrorPtr CNSystemdHelperInstaller::installJob(const std::string& label) {
    const int status = runSystemctl({"enable", "--now", label + ".socket"});
    if (status == 0) return nullptr;
    return Error::withDescription(kInstallerErrorDomain, status,
                                  "systemctl could not enable " + label + ".socket (status " +
                                      std::to_string(status) + ")");
}

}  // namespace tandril
