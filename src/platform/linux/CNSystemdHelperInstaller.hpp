#pragma once

#include <string>
#include <vector>

#include "engine/CNHelperInstaller.hpp"

namespace tandril {

// The Bluetooth-cache helper as a systemd socket unit, "<label>.socket", shipped with the
// package (which also enables it).
//
// Installed means present and enabled: systemd knows the unit (LoadState "loaded") and it
// is enabled ("enabled" or "enabled-runtime"). Installing enables and starts the present
// unit as root through pkexec, which asks an administrator's consent; a unit that is
// missing or masked is reported, never put in place or unmasked from here.
class CNSystemdHelperInstaller : public CNHelperInstaller {
public:
    // `systemctl` and `pkexec`: programs looked up in PATH, or paths (tests pass stand-ins).
    explicit CNSystemdHelperInstaller(std::string systemctl = "systemctl", std::string pkexec = "pkexec");

    bool isJobInstalled(const std::string& label) override;
    // Success when pkexec is there to ask for the consent (the asking happens when
    // installing); an internal error otherwise.
    std::int32_t authorizeInstallation() override;
    ErrorPtr installJob(const std::string& label) override;

    // The unit's LoadState and UnitFileState as systemd reports them; both empty when
    // systemd cannot be asked.
    struct UnitState {
        std::string loadState;
        std::string unitFileState;
        std::string failure;  // what systemctl said when it failed
    };
    UnitState unitState(const std::string& unit) const;

    // `program` when it holds a '/', else the first executable of that name in PATH;
    // empty when there is none.
    static std::string findProgram(const std::string& program);

private:
    std::string systemctl_;
    std::string pkexec_;
};

}  // namespace tandril
