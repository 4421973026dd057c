#pragma once

#include <QtCore/QString>
#include <QtDBus/QDBusMessage>

#include <map>
#include <optional>

namespace tandril {

// org.bluez.AgentManager1 at /org/bluez: the pairing agents clients register, one per
// client, and the default agent (agent.c of bluetoothd).
class StandInAgentManager1 {
public:
    struct Agent {
        QString owner;  // the client's unique bus name
        QString path;
        QString capability;
    };

    // Answers RegisterAgent, UnregisterAgent and RequestDefaultAgent.
    QDBusMessage handle(const QDBusMessage& call);
    // Forgets the agents of a client that left the bus, or every agent.
    void forget(const QString& owner) { agents_.erase(owner); }
    void clear() { agents_.clear(); defaultOwner_.reset(); }

    std::optional<Agent> defaultAgent() const;
    std::size_t agentCount() const { return agents_.size(); }

private:
    std::map<QString, Agent> agents_;
    std::optional<QString> defaultOwner_;
};

}  // namespace tandril
