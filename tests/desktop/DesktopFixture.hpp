#pragma once

#include <QDBusConnection>
#include <QString>

#include <chrono>
#include <functional>

#include "support/LoopFixture.hpp"
#include "support/PrivateBus.hpp"

namespace tandril::test {

// The fixture of the desktop tests. On top of LoopFixture (virtual-time main loop, captured
// log lines, per-user folders in a temporary folder) it gives:
// - one QApplication for the whole test program, on the offscreen platform plugin (unless
//   QT_QPA_PLATFORM is already set), made on first use and kept: Qt allows only one;
// - a private dbus-daemon for this test (both the session and the system bus addresses name
//   it) and `bus()`, a connection to it for the code under test;
// - $XDG_STATE_HOME pointed into the temporary folder (restored afterwards);
// - waitUntil(), which runs Qt's events (D-Bus replies and signals) and the virtual loop's due
//   work until a condition holds, bounded in real time. It never sleeps a fixed time.
// Timer rules are still tested by advancing the virtual loop (advance()).
class DesktopFixture : public LoopFixture {
public:
    // Makes the test program's QApplication if there is none yet (for tests without a bus).
    static void ensureApplication();

protected:
    DesktopFixture();
    ~DesktopFixture() override;

    // The connection for the code under test.
    QDBusConnection& bus() { return connection_; }
    // Another, independent connection to the same bus: another process's view (a second
    // agent, the settings application, a test's observer). Closed with the fixture.
    QDBusConnection connectAgain();

    // Runs Qt events and the virtual loop's due work until `done()` is true; false when
    // `limit` (real time) passed first. `done()` is checked whenever an event arrives; for a
    // condition that no event of this process announces (another process's state, read by a
    // call), pass `recheck` and it is also checked at that interval.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(10000),
                   std::chrono::milliseconds recheck = std::chrono::milliseconds(0));
    // Runs Qt events already queued and the virtual loop's due work, without waiting.
    void drainEvents();

    PrivateBus privateBus;

private:
    QDBusConnection connection_;
    std::vector<QString> connectionNames_;
    std::string savedStateHome_;
    bool hadStateHome_ = false;
};

}  // namespace tandril::test
