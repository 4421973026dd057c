#pragma once

#include <QtCore/QObject>
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusVirtualObject>

#include <functional>
#include <string>

namespace tandril {

// The phone's pairing agent (org.bluez.Agent1), registered with AgentManager1 as the
// default agent: a phone accepts the computer's pairing request, as an iPhone does when
// its user taps "Pair". Just-works pairing asks RequestAuthorization, numeric comparison
// RequestConfirmation; both are accepted and reported.
class BluezPhoneAgent : public QDBusVirtualObject {
    Q_OBJECT
public:
    using Reporter = std::function<void(const std::string& line)>;

    // `capability`: "NoInputNoOutput" (just works) or "DisplayYesNo" (numeric comparison).
    BluezPhoneAgent(QDBusConnection connection, QString path, QString capability, QObject* parent = nullptr);
    ~BluezPhoneAgent() override;

    bool exportObject();
    // RegisterAgent then RequestDefaultAgent, without blocking; `done` gets the error name.
    void registerWith(std::function<void(const QString& error)> done);
    void setReporter(Reporter reporter) { reporter_ = std::move(reporter); }
    const QString& path() const { return path_; }

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    void callManager(const QString& member, std::function<void(const QString& error)> done);

    QDBusConnection connection_;
    const QString path_;
    const QString capability_;
    Reporter reporter_;
    bool exported_ = false;
};

}  // namespace tandril
