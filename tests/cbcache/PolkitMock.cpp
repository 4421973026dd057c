#include "cbcache/PolkitMock.hpp"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstring>
#include <fstream>

namespace tandril::test {

namespace {

constexpr const char* kName = "org.freedesktop.PolicyKit1";
constexpr const char* kPath = "/org/freedesktop/PolicyKit1/Authority";
constexpr const char* kInterface = "org.freedesktop.PolicyKit1.Authority";
constexpr const char* kMock = "org.freedesktop.DBus.Mock";

struct Bus {
    sd_bus* bus = nullptr;
    Bus() {
        if (sd_bus_open_system(&bus) < 0) bus = nullptr;
    }
    ~Bus() { sd_bus_flush_close_unref(bus); }
};

bool hasOwner(sd_bus* bus) {
    sd_bus_message* reply = nullptr;
    int owned = 0;
    const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "NameHasOwner", nullptr, &reply, "s", kName);
    if (r >= 0) sd_bus_message_read(reply, "b", &owned);
    sd_bus_message_unref(reply);
    return owned != 0;
}

// Waits until polkit's name is owned, woken by NameOwnerChanged, for at most `limit`.
bool waitForName(sd_bus* bus, std::chrono::milliseconds limit) {
    bool arrived = false;
    sd_bus_slot* slot = nullptr;
    const std::string rule = std::string("type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                             kName + "'";
    sd_bus_add_match(
        bus, &slot, rule.c_str(),
        [](sd_bus_message*, void* flag, sd_bus_error*) {
            *static_cast<bool*>(flag) = true;
            return 0;
        },
        &arrived);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool owned = hasOwner(bus);
    while (!owned && !arrived && std::chrono::steady_clock::now() < deadline) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        sd_bus_wait(bus, left.count() > 0 ? static_cast<std::uint64_t>(left.count()) : 1);
    }
    sd_bus_slot_unref(slot);
    return owned || hasOwner(bus);
}

}  // namespace

PolkitMock::PolkitMock() {
    Bus bus;
    if (!bus.bus) {
        error_ = "no system bus";
        return;
    }
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "dbusmock", "--template", "polkitd", "--system"},
        dir_.file("polkitd.log"));
    if (!waitForName(bus.bus, std::chrono::seconds(20))) {
        std::ifstream log(dir_.file("polkitd.log"));
        error_ = "polkitd mock did not start: " +
                 std::string((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        return;
    }
    // The template's answer, plus a line per question in checks.log.
    const std::string code = "with open('" + dir_.file("checks.log") +
                             "', 'a') as f:\n"
                             "    f.write(' '.join('%s=%d' % (k, int(v)) for k, v in sorted(args[0][1].items())) + ' ' "
                             "+ str(args[0][0]) + ' ' + str(args[1]) + chr(10))\n"
                             "ret = (args[1] in self.allowed or self.allow_unknown, False, {})\n";
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus.bus, kName, kPath, kMock, "AddMethod", &error, nullptr, "sssss", kInterface,
                                     "CheckAuthorization", "(sa{sv})sa{ss}us", "(bba{ss})", code.c_str());
    if (r < 0) {
        error_ = std::string("AddMethod: ") + (error.message ? error.message : std::strerror(-r));
        sd_bus_error_free(&error);
        return;
    }
    ready_ = true;
}

PolkitMock::~PolkitMock() = default;

bool PolkitMock::setAllowed(const std::vector<std::string>& actions) {
    Bus bus;
    if (!bus.bus) return false;
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(bus.bus, &call, kName, kPath, kMock, "SetAllowed");
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "s");
    for (const auto& action : actions) {
        if (r >= 0) r = sd_bus_message_append(call, "s", action.c_str());
    }
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r >= 0) r = sd_bus_call(bus.bus, call, 0, nullptr, nullptr);
    sd_bus_message_unref(call);
    return r >= 0;
}

std::vector<std::string> PolkitMock::checks() const {
    std::vector<std::string> lines;
    std::ifstream file(dir_.file("checks.log"));
    std::string line;
    while (std::getline(file, line)) lines.push_back(line);
    return lines;
}

void PolkitMock::clearChecks() const { std::ofstream(dir_.file("checks.log"), std::ios::trunc); }

}  // namespace tandril::test
