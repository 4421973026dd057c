#pragma once

#include <QtCore/QString>

#include <optional>
#include <set>
#include <vector>

#include "foundation/UUID.hpp"

namespace tandril {

// One exported org.bluez.Adapter1 and its discovery state: the clients that started a
// discovery (each client has one session) and the filter they set.
class StandInAdapter1 {
public:
    StandInAdapter1(QString path, QString address) : path_(std::move(path)), address_(std::move(address)) {}

    const QString& path() const { return path_; }
    const QString& address() const { return address_; }

    // Clients (unique bus names) with a discovery session.
    std::set<QString> discoveryClients;
    // The UUIDs of the filter set by SetDiscoveryFilter (absent: no filter).
    std::optional<std::vector<UUID>> filterUUIDs;
    bool filterSet = false;

private:
    QString path_;
    QString address_;
};

}  // namespace tandril
