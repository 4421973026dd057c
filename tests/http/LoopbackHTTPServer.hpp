#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tandril::test {

// A small HTTP/1.1 server on 127.0.0.1 for tests: one thread, one request per connection,
// answers from a table of routes by path. Unknown paths get 404. Requests are recorded.
class LoopbackHTTPServer {
public:
    struct Request {
        std::string method;
        std::string target;  // path and query as sent
        std::string path;
        std::string query;
    };
    struct Response {
        int status = 200;
        std::string contentType;  // empty: no Content-Type header
        std::string body;
        std::vector<std::pair<std::string, std::string>> headers;
        bool contentLength = true;  // false: the body ends when the connection closes
    };
    using Handler = std::function<Response(const Request&)>;

    LoopbackHTTPServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 16);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        [[maybe_unused]] const int piped = ::pipe2(wake_, O_CLOEXEC);
        thread_ = std::thread([this] { serve(); });
    }

    ~LoopbackHTTPServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        released_.notify_all();
        const char byte = 0;
        [[maybe_unused]] const ssize_t written = ::write(wake_[1], &byte, 1);
        thread_.join();
        ::close(listener_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    LoopbackHTTPServer(const LoopbackHTTPServer&) = delete;
    LoopbackHTTPServer& operator=(const LoopbackHTTPServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

    void route(const std::string& path, Handler handler) {
        std::lock_guard lock(mutex_);
        routes_[path] = std::move(handler);
    }
    void route(const std::string& path, Response response) {
        route(path, [response](const Request&) { return response; });
    }
    // A route whose answer waits until release() (or the server's end).
    void routeHeld(const std::string& path, Response response) {
        route(path, [this, response](const Request&) {
            std::unique_lock lock(mutex_);
            ++heldWaiting_;
            released_.notify_all();
            released_.wait(lock, [this] { return isReleased_ || stopping_; });
            return response;
        });
    }
    // Blocks until a held route has a request waiting (bounded by `limit` in real time).
    bool waitForHeld(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return released_.wait_for(lock, limit, [this] { return heldWaiting_ > 0; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        isReleased_ = true;
        released_.notify_all();
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        for (;;) {
            pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                continue;
            }
            if (fds[1].revents != 0) {
                return;
            }
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) {
                continue;
            }
            answer(connection);
            ::close(connection);
        }
    }

    void answer(int connection) {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            head.append(buffer, static_cast<std::size_t>(n));
        }
        Request request;
        const std::size_t lineEnd = head.find("\r\n");
        const std::string line = head.substr(0, lineEnd);
        const std::size_t space1 = line.find(' ');
        const std::size_t space2 = line.find(' ', space1 + 1);
        request.method = line.substr(0, space1);
        request.target = line.substr(space1 + 1, space2 - space1 - 1);
        const std::size_t question = request.target.find('?');
        request.path = request.target.substr(0, question);
        request.query = question == std::string::npos ? "" : request.target.substr(question + 1);

        Handler handler;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            const auto found = routes_.find(request.path);
            if (found != routes_.end()) {
                handler = found->second;
            }
        }
        Response response;
        if (handler) {
            response = handler(request);
        } else {
            response.status = 404;
            response.contentType = "text/plain";
            response.body = "not found";
        }
        std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
        if (!response.contentType.empty()) {
            text += "Content-Type: " + response.contentType + "\r\n";
        }
        for (const auto& [name, value] : response.headers) {
            text += name + ": " + value + "\r\n";
        }
        if (response.contentLength) {
            text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
        }
        text += "Connection: close\r\n\r\n";
        text += response.body;
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::send(connection, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;  // the client hung up (a body past its cap)
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    static std::string reason(int status) {
        switch (status) {
            case 200: return "OK";
            case 301: return "Moved Permanently";
            case 302: return "Found";
            case 404: return "Not Found";
            default: return "Status";
        }
    }

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    int heldWaiting_ = 0;
    bool stopping_ = false;
    std::map<std::string, Handler> routes_;
    std::vector<Request> requests_;
    std::thread thread_;
};

}  // namespace tandril::test
