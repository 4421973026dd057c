#include "desktop/DesktopFixture.hpp"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDBusError>
#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <cstdlib>

namespace tandril::test {

namespace {

QString nextConnectionName() {
    static std::atomic<int> counter{0};
    return QStringLiteral("tandril-test-%1").arg(++counter);
}

}  // namespace

void DesktopFixture::ensureApplication() {
    if (QCoreApplication::instance()) return;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "tandril_desktop_tests";
    static char* argv[] = {name, nullptr};
    // Kept for the life of the test program: Qt allows one application object.
    new QApplication(argc, argv);
}

DesktopFixture::DesktopFixture() : connection_(QStringLiteral("unconnected")) {
    ensureApplication();
    if (const char* state = std::getenv("XDG_STATE_HOME")) {
        hadStateHome_ = true;
        savedStateHome_ = state;
    }
    ::setenv("XDG_STATE_HOME", home.file("state").c_str(), 1);
    EXPECT_TRUE(privateBus.isRunning()) << privateBus.error();
    connection_ = connectAgain();
    EXPECT_TRUE(connection_.isConnected()) << connection_.lastError().message().toStdString();
}

DesktopFixture::~DesktopFixture() {
    drainEvents();
    for (const auto& name : connectionNames_) QDBusConnection::disconnectFromBus(name);
    if (hadStateHome_) ::setenv("XDG_STATE_HOME", savedStateHome_.c_str(), 1);
    else ::unsetenv("XDG_STATE_HOME");
}

QDBusConnection DesktopFixture::connectAgain() {
    const QString name = nextConnectionName();
    connectionNames_.push_back(name);
    return QDBusConnection::connectToBus(QString::fromStdString(privateBus.address()), name);
}

bool DesktopFixture::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit,
                               std::chrono::milliseconds recheck) {
    QElapsedTimer clock;
    clock.start();
    // A timer at the limit wakes the event dispatcher when nothing else does.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(static_cast<int>(limit.count()));
    QTimer ticker;
    if (recheck.count() > 0) ticker.start(static_cast<int>(recheck.count()));
    for (;;) {
        loop().runUntilIdle();
        if (done()) return true;
        if (clock.elapsed() >= limit.count()) return false;
        QCoreApplication::sendPostedEvents();
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

void DesktopFixture::drainEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    loop().runUntilIdle();
}

}  // namespace tandril::test
