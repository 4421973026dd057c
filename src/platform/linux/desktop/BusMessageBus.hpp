#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/Value.hpp"
#include "shared/TDRMessageBus.hpp"

namespace tandril {

// The control channel on the user's session bus: each message is a broadcast signal of one
// interface from one object path (TDRControlChannelInterface, TDRControlChannelPath), its
// member the message's name; the device information's payload is one a{sv} argument, every
// other message has none. Posting emits the signal; observing adds a match for that member
// from any sender, so the posting process hears its own messages too, as every observer of
// a broadcast does.
//
// What arrives is checked before a handler sees it: a message with arguments of the wrong
// number or type, and a device information whose map has other keys or values of other
// types than the channel defines, is logged and dropped.
class BusMessageBus : public QObject, public TDRMessageBus {
    Q_OBJECT
public:
    // `path` and `interface` default to the control channel's; a program that must stay apart
    // from the real agent and settings application (the simulator) passes its own.
    explicit BusMessageBus(const QDBusConnection& connection, QString path = QString(), QString interface = QString());

    void postNotificationName(const std::string& name, const std::optional<Dictionary>& userInfo,
                              bool deliverImmediately) override;
    void addObserver(const std::string& name, Handler handler) override;

    // True when `name` can be a D-Bus member name.
    static bool isValidMemberName(const std::string& name);
    // The payload of a received message when it has the channel's shape; nullopt and a reason
    // otherwise. The outer optional says whether the message is acceptable at all.
    static std::optional<std::optional<Dictionary>> checkedPayload(const QDBusMessage& message, std::string* reason);

private slots:
    void onSignal(const QDBusMessage& message);

private:
    QDBusConnection connection_;
    QString path_;
    QString interface_;
    std::vector<std::pair<std::string, Handler>> observers_;
};

}  // namespace tandril
