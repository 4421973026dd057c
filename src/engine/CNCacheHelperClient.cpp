#include "engine/CNCacheHelperClient.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "engine/CNUTF8.hpp"
#include "foundation/Log.hpp"

namespace tandril {

namespace {

std::mutex settingsMutex;
std::string configuredSocketPath;
Duration configuredReplyTimeout = seconds(15);

// Closes the socket on every way out.
class SocketGuard {
public:
    explicit SocketGuard(int fd) : fd_(fd) {}
    ~SocketGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

std::string errorText(int error) { return std::strerror(error); }

}  // namespace

CNCacheHelperClient::CNCacheHelperClient(std::shared_ptr<CNCacheConsent> consent) : consent_(std::move(consent)) {}

std::string CNCacheHelperClient::socketPath() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return configuredSocketPath.empty() ? kDefaultSocketPath : configuredSocketPath;
}

void CNCacheHelperClient::setSocketPath(const std::string& path) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    configuredSocketPath = path;
}

Duration CNCacheHelperClient::replyTimeout() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return configuredReplyTimeout;
}

void CNCacheHelperClient::setReplyTimeout(Duration timeout) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    configuredReplyTimeout = timeout;
}

void CNCacheHelperClient::clearCache() {
    if (!consent_) return;
    auto session = consent_->createSession();
    if (!session) return;

    const auto answer = session->extendRight(kClearRight);
    switch (answer.status) {
        case CNCacheConsent::StatusCanceled:
            log("auth cancelled");
            return;
        case CNCacheConsent::StatusDenied:
            // Sent all the same: the helper refuses work for a consent without the right.
            log("auth denied");
            break;
        case CNCacheConsent::StatusSuccess:
            log("auth success");
            break;
        default:
            log("auth error %d", answer.status);
            break;
    }

    if (answer.rights) {
        const std::string right = kClearRight;
        for (const auto& item : *answer.rights) {
            if (item.name.compare(0, right.size(), right) == 0 &&
                (item.flags & CNCacheConsent::ItemFlagCanNotPreAuthorize) != 0) {
                log("no rights");
                return;
            }
        }
    }

    exchange(*session);
}

void CNCacheHelperClient::exchange(CNCacheConsent::Session& session) {
    SocketGuard socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.fd() < 0) {
        log("error creating socket: %s", errorText(errno));
        return;
    }

    const std::string path = socketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        log("error connecting to socket: %s", errorText(ENAMETOOLONG));
        return;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        log("error connecting to socket: %s", errorText(errno));
        return;
    }

    const auto form = session.externalForm();
    if (!form || form->size() != kExternalFormLength) {
        log("error externalising the authorization reference");
        return;
    }

    // MSG_NOSIGNAL: a helper that already closed its end yields EPIPE, not a fatal signal.
    ssize_t sent = ::send(socket.fd(), form->data(), form->size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(kExternalFormLength)) {
        log("couldn't write to socket: %s", errorText(sent < 0 ? errno : EIO));
        return;
    }
    const unsigned char command = kClearCommand;
    sent = ::send(socket.fd(), &command, 1, MSG_NOSIGNAL);
    if (sent != 1) {
        log("couldn't write to socket: %s", errorText(sent < 0 ? errno : EIO));
        return;
    }

    // The reply runs until the helper closes, a receive fails, or the time is up.
    const auto deadline = std::chrono::steady_clock::now() + replyTimeout();
    Bytes buffer(kReceiveBufferSize);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            log("the helper did not finish in time");
            return;
        }
        pollfd entry{socket.fd(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) continue;  // the deadline check above ends the loop
        const ssize_t received = ::recv(socket.fd(), buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return;
        const Bytes chunk(buffer.begin(), buffer.begin() + received);
        log("log content: %@", CNUTF8::decode(chunk));
    }
}

}  // namespace tandril
