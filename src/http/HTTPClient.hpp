#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/Error.hpp"
#include "foundation/RunLoop.hpp"
#include "http/HTTPRequest.hpp"
#include "http/HTTPResponse.hpp"
#include "http/Image.hpp"

namespace tandril {

class CurlWorker;

// GET requests over libcurl on a worker thread. Every request ends in exactly one call of
// its completion, on the main run loop (the loop that was RunLoop::main() when the request
// was made), with either a result or an HTTPError:
//   - the URL (and every redirect target, at most Options::maxRedirects of them) must pass
//     URLPolicy: https only, http upgraded, loopback hosts only where the request began;
//   - the final status must be 200-299 and the content type one of the request's list;
//   - the body may not pass the request's cap;
//   - nothing is retried.
// JSON and image bodies are decoded on the worker thread. The client holds each request's
// loop by its handle: an answer for a loop that has been destroyed in the meantime is
// dropped, never posted to whatever loop lives at that address now. Destroying the client
// stops its thread; requests still open end with HTTPError::Cancelled, posted to their loop
// if it still exists.
class HTTPClient {
public:
    struct Options {
        Duration connectTimeout = seconds(10);
        Duration totalTimeout = seconds(30);  // for the whole request, redirects included
        int maxRedirects = 5;
    };

    using ResponseCompletion = std::function<void(std::optional<HTTPResponse>, ErrorPtr)>;
    using JSONCompletion = std::function<void(std::optional<nlohmann::json>, ErrorPtr)>;
    using ImageCompletion = std::function<void(std::shared_ptr<Image>, ErrorPtr)>;

    static constexpr std::size_t kMaxJSONBytes = 1024 * 1024;
    static constexpr std::size_t kMaxImageBytes = 4 * 1024 * 1024;
    // JSON nested deeper than this fails with InvalidJSON.
    static constexpr int kMaxJSONDepth = 128;

    // "application/json", "text/json", "text/javascript".
    static const std::vector<std::string>& JSONContentTypes();
    // "image/tiff", "image/jpeg", "image/gif", "image/png", "image/ico", "image/x-icon",
    // "image/bmp", "image/x-bmp", "image/x-xbitmap", "image/x-win-bitmap".
    static const std::vector<std::string>& imageContentTypes();

    HTTPClient();
    explicit HTTPClient(Options options);
    ~HTTPClient();
    HTTPClient(const HTTPClient&) = delete;
    HTTPClient& operator=(const HTTPClient&) = delete;

    const Options& options() const { return options_; }

    void get(HTTPRequest request, ResponseCompletion completion);
    // A JSON answer (capped at kMaxJSONBytes); a body that is not JSON, or nests deeper
    // than kMaxJSONDepth, fails with InvalidJSON.
    void getJSON(const std::string& url, const QueryItems& query, JSONCompletion completion);
    // An image answer (capped at kMaxImageBytes); a body that Image cannot decode fails with
    // InvalidImage. `allowLoopback` as in HTTPRequest.
    void getImage(const std::string& url, bool allowLoopback, ImageCompletion completion);

    // The media type of a Content-Type value: "text/html; charset=utf-8" gives "text/html".
    static std::string mediaType(const std::string& contentType);

private:
    struct Pending;
    // Runs on the worker thread with the final outcome of a request.
    using Deliver = std::function<void(std::optional<HTTPResponse>, ErrorPtr)>;

    void start(HTTPRequest request, Deliver deliver);
    // Sends one hop of a request; redirects come back here from the worker thread.
    void send(const std::shared_ptr<Pending>& pending, const std::string& url, bool loopback);

    Options options_;
    std::unique_ptr<CurlWorker> worker_;
};

}  // namespace tandril
