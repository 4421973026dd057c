#pragma once

#include <string>

#include "engine/CNHelperInstaller.hpp"
#include "platform/linux/PolkitCheck.hpp"

namespace tandril {

// The Bluetooth-cache helper as a systemd socket unit, "<label>.socket", shipped by the
// package. Installed means enabled; installing enables and starts it through systemd,
// after polkit allowed this process to manage units.
class CNSystemdHelperInstaller : public CNHelperInstaller {
public:
    explicit CNSystemdHelperInstaller(PolkitCheck check = PolkitCheck(), std::string systemctl = "systemctl");

    bool isJobInstalled(const std::string& label) override;
    std::int32_t authorizeInstallation() override;
    ErrorPtr installJob(const std::string& label) override;

private:
    int runSystemctl(const std::vector<std::string>& arguments) const;

    PolkitCheck check_;
    std::string systemctl_;
};

}  // namespace tandril
