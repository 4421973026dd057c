#include "platform/linux/bluez/standin/StandInAgentManager1.hpp"

#include <QtCore/QStringList>
#include <QtDBus/QDBusObjectPath>

#include "platform/linux/bluez/standin/StandInErrors.hpp"

namespace tandril {

namespace {
QDBusMessage doesNotExist(const QDBusMessage& call) {
    return StandInErrors::error(call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
}
}  // namespace

QDBusMessage StandInAgentManager1::handle(const QDBusMessage& call) {
    const QList<QVariant> args = call.arguments();
    const QString member = call.member();
    if (args.isEmpty() || !args[0].canConvert<QDBusObjectPath>()) return StandInErrors::invalidArguments(call);
    const QString path = args[0].value<QDBusObjectPath>().path();
    const QString owner = call.service();
    if (member == "RegisterAgent") {
        if (args.size() != 2) return StandInErrors::invalidArguments(call);
        QString capability = args[1].toString();
        static const QStringList known{"DisplayOnly", "DisplayYesNo", "KeyboardOnly", "NoInputNoOutput",
                                       "KeyboardDisplay"};
        if (capability.isEmpty()) capability = "KeyboardDisplay";
        if (!known.contains(capability)) return StandInErrors::invalidArguments(call);
        if (agents_.count(owner)) return StandInErrors::error(call, "org.bluez.Error.AlreadyExists", "Already Exists");
        agents_[owner] = Agent{owner, path, capability};
        return call.createReply();
    }
    auto found = agents_.find(owner);
    if (found == agents_.end() || found->second.path != path) return doesNotExist(call);
    if (member == "UnregisterAgent") {
        agents_.erase(found);
        if (defaultOwner_ == owner) defaultOwner_.reset();
        return call.createReply();
    }
    if (member == "RequestDefaultAgent") {
        defaultOwner_ = owner;
        return call.createReply();
    }
    return StandInErrors::unknownMethod(call);
}

std::optional<StandInAgentManager1::Agent> StandInAgentManager1::defaultAgent() const {
    if (defaultOwner_) {
        auto found = agents_.find(*defaultOwner_);
        if (found != agents_.end()) return found->second;
    }
    if (!agents_.empty()) return agents_.begin()->second;
    return std::nullopt;
}

}  // namespace tandril
