#pragma once

namespace tandril {

// The kinds of radio work whose latency and faults a simulated peripheral scripts.
enum class SimOperation {
    Connect,                  // connectPeripheral → connect / failed-connect event
    Disconnect,               // cancelPeripheralConnection → disconnect event
    DiscoverServices,         // discoverServices → services event
    DiscoverCharacteristics,  // discoverCharacteristics → characteristics event
    Read,                     // readValueForCharacteristic → value event
    Write,                    // writeValue → write event (with response) / handler only (without)
    SetNotify,                // setNotifyValue → notification-state event
    ReadRSSI,                 // readRSSI → RSSI event
    Advertise,                // an advertisement → discovery event
    Notification,             // SimPeripheral::notify → value event
};

}  // namespace tandril
