#include "platform/linux/desktop/BusSleepMonitor.hpp"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

#include "foundation/Log.hpp"

namespace tandril {

namespace {
const QString kService = QStringLiteral("org.freedesktop.login1");
const QString kPath = QStringLiteral("/org/freedesktop/login1");
const QString kManager = QStringLiteral("org.freedesktop.login1.Manager");
}  // namespace

BusSleepMonitor::BusSleepMonitor(const QDBusConnection& systemBus, Reaction willSleep, Reaction didWake)
    : bus_(systemBus), willSleep_(std::move(willSleep)), didWake_(std::move(didWake)) {}

BusSleepMonitor::~BusSleepMonitor() { releaseInhibitor(); }

void BusSleepMonitor::start() {
    if (!bus_.isConnected()) {
        log("[BusSleepMonitor] No system bus; sleep and wake are not followed.");
        return;
    }
    bus_.connect(kService, kPath, kManager, QStringLiteral("PrepareForSleep"), this, SLOT(onPrepareForSleep(bool)));
    auto* watcher = new QDBusServiceWatcher(kService, bus_, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &BusSleepMonitor::onLogindStarted);
    takeInhibitor();
}

void BusSleepMonitor::takeInhibitor() {
    if (inhibitor_ >= 0 || requesting_) return;
    requesting_ = true;
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kManager, QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Tandril")
         << QStringLiteral("Closing the phone's connection before the computer sleeps") << QStringLiteral("delay");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        requesting_ = false;
        const QDBusMessage reply = done->reply();
        if (reply.type() != QDBusMessage::ReplyMessage) {
            if (!reportedMissing_) {
                reportedMissing_ = true;
                log("[BusSleepMonitor] No sleep inhibitor from logind (%s); the phone's link is not closed before "
                    "sleep.",
                    reply.errorMessage().toStdString());
            }
            return;
        }
        const auto descriptor = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().value(0));
        // Our own copy: the reply's copies go with the reply, this one is closed on release.
        const int fd = descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
        if (fd < 0) {
            log("[BusSleepMonitor] logind's inhibitor came without a file descriptor.");
            return;
        }
        if (sleeping_) {
            // The machine began to sleep meanwhile: holding it now would only delay it.
            ::close(fd);
            return;
        }
        inhibitor_ = fd;
    });
}

void BusSleepMonitor::releaseInhibitor() {
    if (inhibitor_ < 0) return;
    ::close(inhibitor_);
    inhibitor_ = -1;
}

void BusSleepMonitor::onLogindStarted() {
    // The descriptor of an earlier logind holds nothing back any more.
    releaseInhibitor();
    reportedMissing_ = false;
    if (!sleeping_) takeInhibitor();
}

void BusSleepMonitor::onPrepareForSleep(bool sleeping) {
    sleeping_ = sleeping;
    if (sleeping) {
        if (willSleep_) willSleep_();
        releaseInhibitor();
    } else {
        if (didWake_) didWake_();
        takeInhibitor();
    }
}

}  // namespace tandril
