#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

namespace tandril {

// This program's presence on the session bus: it owns its well-known name (its identifier,
// com.Varn.Glimwick for the agent) and answers org.freedesktop.Application at the object path
// derived from the name (/com/Varn/Glimwick): Activate, Open, and ActivateAction("quit"),
// which is how the settings application and the desktop ask it to quit.
//
// The name is taken without queueing and without allowing replacement: when another process
// holds it, start() says so and returns false, and nothing of the other process is touched.
class BusApplication : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    struct Handlers {
        // ActivateAction("quit"): end the program (the agent stops its loop).
        std::function<void()> quit;
        // Activate: come to the front (the agent shows nothing of its own; may be empty).
        std::function<void()> activate;
    };

    BusApplication(const QDBusConnection& connection, QString busName, Handlers handlers);
    ~BusApplication() override;

    // Takes the name and exports the interface. False, with a log line, when the name is
    // owned by another process or the bus refuses.
    bool start();

    // Takes `busName` for `connection`, never queueing for it. False when another owner has it.
    static bool ownName(const QDBusConnection& connection, const QString& busName);

public slots:
    // org.freedesktop.Application, as the convention defines it.
    void Activate(const QVariantMap& platformData);
    void Open(const QStringList& uris, const QVariantMap& platformData);
    void ActivateAction(const QString& actionName, const QVariantList& parameter, const QVariantMap& platformData);

private:
    QDBusConnection connection_;
    QString busName_;
    Handlers handlers_;
    bool registered_ = false;
};

}  // namespace tandril
