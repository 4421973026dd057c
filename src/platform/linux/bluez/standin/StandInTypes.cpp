#include "platform/linux/bluez/standin/StandInTypes.hpp"

#include <QtDBus/QDBusMetaType>

#include <mutex>

namespace tandril {

void StandInTypes::registerTypes() {
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<StandInInterfaces>();
        qDBusRegisterMetaType<StandInManagedObjects>();
        qDBusRegisterMetaType<StandInManufacturerData>();
    });
}

}  // namespace tandril
