#pragma once

#include <QDBusConnection>
#include <QString>

#include "agent/TDRRunningApplication.hpp"

namespace tandril {

// A running desktop application: the owner of a well-known name on the session bus (the
// application's identifier, e.g. com.Varn.TandrilPane). A polite quit is the desktop
// convention org.freedesktop.Application.ActivateAction("quit", [], {}) sent to that name at
// the object path the convention derives from it; the application may refuse or not know it.
class BusRunningApplication : public TDRRunningApplication {
public:
    BusRunningApplication(const QDBusConnection& connection, QString busName);

    std::optional<std::string> bundleIdentifier() const override;
    // True when the request went out (not whether the application will quit).
    bool terminate() override;
    // Asks it to come to the front: org.freedesktop.Application.Activate({}).
    bool activate();

    // "/com/Varn/Glimwick" for "com.Varn.Glimwick": dots become slashes, dashes underscores.
    static QString objectPathForName(const QString& busName);

private:
    QDBusConnection connection_;
    QString busName_;
};

}  // namespace tandril
