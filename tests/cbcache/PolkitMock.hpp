#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/PrivateBus.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {

// polkit on a private system bus: python3-dbusmock's polkitd template, with its
// CheckAuthorization wrapped so that every subject it is asked about is written to a file.
// Needs a PrivateBus alive (DBUS_SYSTEM_BUS_ADDRESS names it). Talks to the mock through
// sd-bus; waits for the server's name by watching the bus, never by sleeping.
class PolkitMock {
public:
    PolkitMock();
    ~PolkitMock();
    PolkitMock(const PolkitMock&) = delete;
    PolkitMock& operator=(const PolkitMock&) = delete;

    bool isReady() const { return ready_; }
    const std::string& error() const { return error_; }

    // The actions polkit grants (every other is refused).
    bool setAllowed(const std::vector<std::string>& actions);
    // One line per CheckAuthorization so far: "pid=P start-time=S uid=U <action>".
    std::vector<std::string> checks() const;
    void clearChecks() const;

private:
    TempDir dir_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
    std::string error_;
};

}  // namespace tandril::test
