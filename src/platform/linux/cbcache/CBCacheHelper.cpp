#include "platform/linux/cbcache/CBCacheHelper.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "engine/CNCacheHelperClient.hpp"
#include "platform/linux/cbcache/CBCacheBluetoothService.hpp"

namespace tandril {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kTokenLength = CNCacheHelperClient::kExternalFormLength;
constexpr std::size_t kRequestLength = kTokenLength + 1;

// Closes a connection on every way out.
class Connection {
public:
    explicit Connection(int fd) : fd_(fd) {}
    ~Connection() {
        if (fd_ >= 0) ::close(fd_);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

private:
    int fd_;
};

std::uint32_t bigEndian(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    return (std::uint32_t(bytes[at]) << 24) | (std::uint32_t(bytes[at + 1]) << 16) |
           (std::uint32_t(bytes[at + 2]) << 8) | std::uint32_t(bytes[at + 3]);
}

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

CBCacheHelper::CBCacheHelper(Options options) : options_(std::move(options)) {
    if (!options_.serviceControl) {
        options_.serviceControl = [service = CBCacheBluetoothService()](const std::string& verb) {
            return service.run(verb);
        };
    }
}

std::optional<CBCacheHelper::Token> CBCacheHelper::parseToken(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != kTokenLength || bytes[0] != 'T' || bytes[1] != 'D' || bytes[2] != 'R' || bytes[3] != 'C') {
        return std::nullopt;
    }
    return Token{bigEndian(bytes, 4), bigEndian(bytes, 8), bigEndian(bytes, 12)};
}

std::optional<std::uint64_t> CBCacheHelper::startTimeOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    if (!file) return std::nullopt;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold spaces and parentheses: count from the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 > text.size()) return std::nullopt;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i) {
        if (!(rest >> field)) return std::nullopt;
    }
    try {
        return std::stoull(field);
    } catch (...) {
        return std::nullopt;
    }
}

int CBCacheHelper::listenOn(const std::string& path, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "socket path is empty or too long: " + path;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    // A socket left behind by an earlier run is replaced; any other file is not.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        error = path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int CBCacheHelper::serve(int listeningFd) {
    int accepting = 0;
    socklen_t length = sizeof accepting;
    if (::getsockopt(listeningFd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) == 0 && !accepting) {
        handle(listeningFd);
        return 0;
    }
    const int idle = options_.idleExit.count() > 0 ? static_cast<int>(options_.idleExit.count()) : -1;
    for (;;) {
        pollfd entry{listeningFd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, idle);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 1;
        if (ready == 0) return 0;
        const int connection = ::accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
            return 1;
        }
        handle(connection);
    }
}

void CBCacheHelper::say(int fd, const std::string& line) {
    if (options_.logLine) options_.logLine(line);
    const std::string text = line + "\n";
    std::size_t sent = 0;
    // A caller that stops reading is not waited for long.
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, millisecondsLeft(deadline)) > 0) continue;
        }
        return;
    }
}

void CBCacheHelper::handle(int fd) {
    Connection closer(fd);
    const auto deadline = Clock::now() + options_.requestDeadline;

    // The caller as the kernel saw it connect: this, not the request, is what gets checked.
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer || peer.pid <= 0) {
        say(fd, "Cannot identify the calling process: refused.");
        return;
    }
    if (options_.logLine) {
        options_.logLine("Connection from process " + std::to_string(peer.pid) + " of user " + std::to_string(peer.uid) +
                         ".");
    }

    std::vector<std::uint8_t> request;
    std::uint8_t buffer[kRequestLength];
    bool late = false;
    while (request.size() < kRequestLength) {
        const int left = millisecondsLeft(deadline);
        if (left == 0) {
            late = true;
            break;
        }
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, kRequestLength - request.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        request.insert(request.end(), buffer, buffer + n);
    }
    if (request.size() < kRequestLength) {
        const std::string got = std::to_string(request.size()) + " of " + std::to_string(kRequestLength) + " bytes";
        say(fd, late ? "No complete request in time (" + got + "): refused." : "Short request (" + got + "): refused.");
        return;
    }
    // The client sends nothing more before the reply.
    std::uint8_t extra = 0;
    if (::recv(fd, &extra, 1, MSG_PEEK | MSG_DONTWAIT) > 0) {
        say(fd, "Request longer than " + std::to_string(kRequestLength) + " bytes: refused.");
        return;
    }
    const std::uint8_t command = request[kTokenLength];
    if (command != CNCacheHelperClient::kClearCommand) {
        char text[64];
        std::snprintf(text, sizeof text, "Unknown command 0x%02x: refused.", command);
        say(fd, text);
        return;
    }

    const auto token = parseToken(std::vector<std::uint8_t>(request.begin(), request.begin() + kTokenLength));
    const auto startTime = startTimeOf(peer.pid);
    if (!token || !startTime || token->pid != static_cast<std::uint32_t>(peer.pid) ||
        token->uid != static_cast<std::uint32_t>(peer.uid) || token->startTime != static_cast<std::uint32_t>(*startTime)) {
        say(fd, "The consent token does not name the calling process: refused.");
        return;
    }

    std::string error;
    const CBCacheAuthority::Subject subject{peer.pid, *startTime, peer.uid};
    const std::string action = CNCacheHelperClient::kClearRight;
    switch (authority_.check(subject, action, options_.authorityTimeout, error)) {
        case CBCacheAuthority::Result::Authorized:
            say(fd, "Authorized: process " + std::to_string(peer.pid) + " of user " + std::to_string(peer.uid) +
                        " may clear the Bluetooth cache.");
            clear(fd);
            return;
        case CBCacheAuthority::Result::NotAuthorized:
            say(fd, "Not authorized to clear the Bluetooth cache (" + action + ").");
            return;
        case CBCacheAuthority::Result::ChallengeNeeded:
            say(fd, "Not authorized to clear the Bluetooth cache (" + action + "): authentication is needed first.");
            return;
        case CBCacheAuthority::Result::Failed:
            say(fd, "Could not ask polkit: " + error);
            return;
    }
}

void CBCacheHelper::clear(int fd) {
    say(fd, "Stopping bluetooth.service.");
    if (const auto error = options_.serviceControl("stop"); !error.empty()) {
        say(fd, error);
        say(fd, "Nothing was cleared.");
        return;
    }
    const auto result = CBCacheStore(options_.storageRoot).clearAttributes();
    for (const auto& line : result.lines) say(fd, line);
    say(fd, "Starting bluetooth.service.");
    const auto error = options_.serviceControl("start");
    if (!error.empty()) say(fd, error);
    say(fd, result.ok && error.empty() ? "Done." : "Done, with errors.");
}

}  // namespace tandril
