// tandril-cbcache-helper: clears BlueZ's cached GATT database for a caller that polkit
// allows "com.Varn.cbcache.clear". Started by systemd through com.Varn.cbcache.socket; the
// options below exist for tests and are never passed by the unit.

#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "platform/linux/cbcache/CBCacheBluetoothService.hpp"
#include "platform/linux/cbcache/CBCacheHelper.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: tandril-cbcache-helper [--version]\n"
    "Started by systemd (com.Varn.cbcache.socket) with its listening socket.\n"
    "For tests only:\n"
    "  --socket PATH           listen on PATH instead of systemd's socket\n"
    "  --storage DIR           BlueZ's storage root (default /var/lib/bluetooth)\n"
    "  --systemctl PROGRAM     the program that stops and starts bluetooth.service\n"
    "  --request-deadline-ms N time a caller has to send its request (default 5000)\n"
    "  --idle-exit-ms N        end after N ms without a connection (default 60000; 0: never)\n";

bool milliseconds(const char* text, std::chrono::milliseconds& out) {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (!text[0] || *end || value < 0) return false;
    out = std::chrono::milliseconds(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using tandril::CBCacheHelper;
    CBCacheHelper::Options options;
    std::string socketPath;
    std::string systemctl = "systemctl";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--version") {
            std::cout << "tandril-cbcache-helper " << TANDRIL_VERSION << "\n";
            return 0;
        } else if (option == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (option == "--socket" && hasValue) {
            socketPath = argv[++i];
        } else if (option == "--storage" && hasValue) {
            options.storageRoot = argv[++i];
        } else if (option == "--systemctl" && hasValue) {
            systemctl = argv[++i];
        } else if (option == "--request-deadline-ms" && hasValue && milliseconds(argv[i + 1], options.requestDeadline)) {
            ++i;
        } else if (option == "--idle-exit-ms" && hasValue && milliseconds(argv[i + 1], options.idleExit)) {
            ++i;
        } else {
            std::cerr << kUsage;
            return 2;
        }
    }

    // A caller that hangs up early must not end the helper.
    ::signal(SIGPIPE, SIG_IGN);
    options.serviceControl = [service = tandril::CBCacheBluetoothService(systemctl)](const std::string& verb) {
        return service.run(verb);
    };
    // One line each for the journal.
    options.logLine = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };

    int listening = -1;
    if (!socketPath.empty()) {
        std::string error;
        listening = CBCacheHelper::listenOn(socketPath, error);
        if (listening < 0) {
            std::fprintf(stderr, "tandril-cbcache-helper: %s\n", error.c_str());
            return 1;
        }
    } else {
        const int count = sd_listen_fds(1);
        if (count != 1) {
            std::fprintf(stderr,
                         "tandril-cbcache-helper: expected one socket from systemd, got %d; it is started through "
                         "com.Varn.cbcache.socket\n",
                         count < 0 ? 0 : count);
            return 2;
        }
        listening = SD_LISTEN_FDS_START;
    }
    CBCacheHelper helper(options);
    const int status = helper.serve(listening);
    ::close(listening);
    if (!socketPath.empty()) ::unlink(socketPath.c_str());
    return status;
}
