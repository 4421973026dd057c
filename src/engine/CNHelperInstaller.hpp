#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "foundation/Error.hpp"

namespace tandril {

// Installs the privileged Bluetooth-cache helper ("com.Varn.cbcache") and tells whether it
// is installed. The engine drives the steps and writes the log lines; an implementation
// only talks to the system's service manager.
class CNHelperInstaller {
public:
    virtual ~CNHelperInstaller() = default;

    // True when the system knows a job with this label.
    virtual bool isJobInstalled(const std::string& label) = 0;
    // Obtains the right to install a system job (may ask an administrator). Returns 0 on
    // success, otherwise a status code for the log.
    virtual std::int32_t authorizeInstallation() = 0;
    // Installs the job. nullptr on success, otherwise what went wrong.
    virtual ErrorPtr installJob(const std::string& label) = 0;

    // The installer the engine uses; absent until the program installs one. Without an
    // installer the helper is taken to be provided by the system's packages.
    static std::shared_ptr<CNHelperInstaller> shared();
    static void setShared(std::shared_ptr<CNHelperInstaller> installer);
};

}  // namespace tandril
