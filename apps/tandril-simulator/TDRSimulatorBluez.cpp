#include "tandril-simulator/TDRSimulatorBluez.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "ble/platform/PlatformAdapter.hpp"
#include "platform/linux/bluez/BluezAdapter.hpp"
#include "platform/linux/bluez/BluezCentral.hpp"
#include "platform/linux/bluez/standin/BluezStandIn.hpp"
#include "sim/SimRadio.hpp"

namespace tandril {

std::unique_ptr<TDRSimulatorBluez> TDRSimulatorBluez::start(const std::shared_ptr<SimRadio>& radio, std::ostream& out,
                                                           std::string& error) {
    std::unique_ptr<TDRSimulatorBluez> self(new TDRSimulatorBluez());
    if (!self->startBus(error)) return nullptr;
    BluezStandIn::Options options;
    options.busAddress = self->address_;
    self->standIn_ = BluezStandIn::create(radio, options);
    if (!self->standIn_->start()) {
        error = "the stand-in bluetoothd did not start: " + self->standIn_->error();
        return nullptr;
    }
    BluezAdapter::Options adapterOptions;
    adapterOptions.busAddress = self->address_;
    self->adapter_ = BluezAdapter::create(adapterOptions);
    PlatformAdapter::setCurrent(self->adapter_);
    out << "[simulator] BlueZ mode: the agent talks to a stand-in bluetoothd (org.bluez) on a private bus:\n"
        << "[simulator]   " << self->address_ << "\n"
        << "[simulator] watch it:  busctl --address=" << self->address_ << " tree org.bluez\n"
        << "[simulator]            busctl --address=" << self->address_ << " monitor org.bluez\n"
        << "[simulator]            DBUS_SYSTEM_BUS_ADDRESS=" << self->address_ << " bluetoothctl" << std::endl;
    return self;
}

std::string TDRSimulatorBluez::agentIdentifierOf(const std::string& identifier) {
    const std::string device = BluezStandIn::addressFor(UUID::fromStringOrNil(identifier));
    return BluezCentral::deviceIdentifier(QString::fromStdString(BluezStandIn::Options().adapterAddress),
                                          QString::fromStdString(device))
        .UUIDString();
}

TDRSimulatorBluez::~TDRSimulatorBluez() {
    if (adapter_ && PlatformAdapter::current() == adapter_) PlatformAdapter::setCurrent(nullptr);
    adapter_.reset();
    if (standIn_) standIn_->stop();
    standIn_.reset();
    daemon_.stop();
    if (!directory_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
}

bool TDRSimulatorBluez::startBus(std::string& error) {
    char pattern[] = "/tmp/tandril-simulator-bus-XXXXXX";
    if (!::mkdtemp(pattern)) {
        error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    directory_ = pattern;
    PrivateDbusDaemon::Options options;
    options.ownProcessGroup = true;
    options.endWithParent = true;
    if (!daemon_.start(directory_, options, error)) return false;
    address_ = daemon_.address();
    return true;
}

}  // namespace tandril
