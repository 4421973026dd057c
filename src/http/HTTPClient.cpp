#include "http/HTTPClient.hpp"

#include <algorithm>
#include <chrono>

#include <curl/curl.h>

#include "http/CurlWorker.hpp"
#include "http/HTTPError.hpp"

namespace tandril {

struct HTTPClient::Pending {
    HTTPRequest request;
    std::chrono::steady_clock::time_point deadline;
    int redirects = 0;
    Deliver deliver;
};

namespace {

using SteadyClock = std::chrono::steady_clock;

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) {
            out += ", ";
        }
        out += item;
    }
    return out;
}

bool isRedirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Whether the JSON text nests arrays and objects no deeper than `limit`. Checked before
// parsing, so that a hostile answer cannot make the parser build a deep tree.
bool nestingWithin(const Bytes& text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const std::uint8_t c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

std::chrono::milliseconds toMilliseconds(Duration d) {
    return std::max(std::chrono::milliseconds(1), std::chrono::duration_cast<std::chrono::milliseconds>(d));
}

}  // namespace

const std::vector<std::string>& HTTPClient::JSONContentTypes() {
    static const std::vector<std::string> types{"application/json", "text/json", "text/javascript"};
    return types;
}

const std::vector<std::string>& HTTPClient::imageContentTypes() {
    static const std::vector<std::string> types{"image/tiff", "image/jpeg",     "image/gif",       "image/png",
                                                "image/ico",  "image/x-icon",   "image/bmp",       "image/x-bmp",
                                                "image/x-xbitmap", "image/x-win-bitmap"};
    return types;
}

std::string HTTPClient::mediaType(const std::string& contentType) {
    std::string type = contentType.substr(0, contentType.find(';'));
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!type.empty() && isBlank(type.back())) {
        type.pop_back();
    }
    std::size_t first = 0;
    while (first < type.size() && isBlank(type[first])) {
        ++first;
    }
    type.erase(0, first);
    for (char& c : type) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return type;
}

HTTPClient::HTTPClient() : HTTPClient(Options{}) {}

HTTPClient::HTTPClient(Options options) : options_(options), worker_(std::make_unique<CurlWorker>()) {}

HTTPClient::~HTTPClient() {
    std::vector<CurlWorker::Transfer> unfinished = worker_->stop();
    for (auto& transfer : unfinished) {
        CurlWorker::Outcome outcome;
        outcome.cancelled = true;
        transfer.onDone(std::move(outcome));
    }
}

void HTTPClient::get(HTTPRequest request, ResponseCompletion completion) {
    start(std::move(request), [loop = RunLoop::main().handle(), completion = std::move(completion)](
                                  std::optional<HTTPResponse> response, ErrorPtr error) mutable {
              loop->post([completion = std::move(completion), response = std::move(response), error]() mutable {
                  completion(std::move(response), error);
              });
          });
}

void HTTPClient::getJSON(const std::string& url, const QueryItems& query, JSONCompletion completion) {
    HTTPRequest request;
    request.url = url;
    request.query = query;
    request.acceptableContentTypes = JSONContentTypes();
    request.maxBodyBytes = kMaxJSONBytes;
    start(std::move(request), [loop = RunLoop::main().handle(), completion = std::move(completion)](
                                  std::optional<HTTPResponse> response, ErrorPtr error) mutable {
              std::optional<nlohmann::json> json;
              if (response) {
                  nlohmann::json parsed;
                  if (nestingWithin(response->body, kMaxJSONDepth)) {
                      parsed = nlohmann::json::parse(response->body.begin(), response->body.end(), nullptr,
                                                     /*allow_exceptions=*/false);
                  } else {
                      parsed = nlohmann::json(nlohmann::json::value_t::discarded);
                  }
                  if (parsed.is_discarded()) {
                      error = HTTPError::make(HTTPError::InvalidJSON, "The answer is not valid JSON.", response->url);
                  } else {
                      json = std::move(parsed);
                  }
              }
              loop->post([completion = std::move(completion), json = std::move(json), error]() mutable {
                  completion(std::move(json), error);
              });
          });
}

void HTTPClient::getImage(const std::string& url, bool allowLoopback, ImageCompletion completion) {
    HTTPRequest request;
    request.url = url;
    request.acceptableContentTypes = imageContentTypes();
    request.maxBodyBytes = kMaxImageBytes;
    request.allowLoopback = allowLoopback;
    start(std::move(request), [loop = RunLoop::main().handle(), completion = std::move(completion)](
                                  std::optional<HTTPResponse> response, ErrorPtr error) mutable {
              std::shared_ptr<Image> image;
              if (response) {
                  image = Image::decode(response->body);
                  if (!image) {
                      error = HTTPError::make(HTTPError::InvalidImage,
                                              "The answer is not an image in a supported format.", response->url);
                  }
              }
              loop->post([completion = std::move(completion), image, error]() mutable { completion(image, error); });
          });
}

void HTTPClient::start(HTTPRequest request, Deliver deliver) {
    auto pending = std::make_shared<Pending>();
    pending->deliver = std::move(deliver);
    pending->deadline =
        SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(options_.totalTimeout);

    std::string url = request.url;
    if (!request.query.empty()) {
        const std::optional<std::string> withQuery = URLPolicy::appendingQueryItems(url, request.query);
        if (!withQuery) {
            pending->deliver(std::nullopt,
                             HTTPError::make(HTTPError::InvalidURL, "The address is not a valid absolute URL.", url));
            return;
        }
        url = *withQuery;
    }
    pending->request = std::move(request);
    const URLPolicy::Result checked = URLPolicy::check(url, pending->request.allowLoopback);
    if (checked.error) {
        pending->deliver(std::nullopt, checked.error);
        return;
    }
    send(pending, checked.url, checked.loopback);
}

void HTTPClient::send(const std::shared_ptr<Pending>& pending, const std::string& url, bool loopback) {
    const auto remaining = pending->deadline - SteadyClock::now();
    if (remaining <= SteadyClock::duration::zero()) {
        pending->deliver(std::nullopt, HTTPError::make(HTTPError::TimedOut, "The request timed out.", url));
        return;
    }
    CurlWorker::Transfer transfer;
    transfer.url = url;
    transfer.connectTimeout = toMilliseconds(options_.connectTimeout);
    transfer.totalTimeout = toMilliseconds(std::chrono::duration_cast<Duration>(remaining));
    transfer.maxBodyBytes = pending->request.maxBodyBytes;
    transfer.loopback = loopback;
    transfer.onDone = [this, pending, url, loopback](CurlWorker::Outcome outcome) {
        const Deliver& deliver = pending->deliver;
        if (outcome.cancelled) {
            // The client is going away (this runs on the thread that destroys it); the
            // loop's handle drops the answer when the loop is gone too.
            deliver(std::nullopt, HTTPError::make(HTTPError::Cancelled, "The request was cancelled.", url));
            return;
        }
        const bool answered = outcome.curlCode == CURLE_OK || outcome.tooLarge;
        if (!answered) {
            if (outcome.curlCode == CURLE_OPERATION_TIMEDOUT) {
                deliver(std::nullopt, HTTPError::make(HTTPError::TimedOut, "The request timed out.", url));
            } else {
                deliver(std::nullopt, HTTPError::make(HTTPError::TransportFailed,
                                                      "The request failed: " + outcome.errorText + ".", url));
            }
            return;
        }
        if (isRedirect(outcome.statusCode) && !outcome.tooLarge) {
            if (++pending->redirects > options_.maxRedirects) {
                deliver(std::nullopt, HTTPError::make(HTTPError::TooManyRedirects, "There were too many redirects.", url));
                return;
            }
            if (outcome.redirectURL.empty()) {
                deliver(std::nullopt,
                        HTTPError::make(HTTPError::RedirectRefused, "The server redirected without a target.", url));
                return;
            }
            const URLPolicy::Result next =
                URLPolicy::check(outcome.redirectURL, pending->request.allowLoopback && loopback);
            if (next.error) {
                deliver(std::nullopt, next.error);
                return;
            }
            send(pending, next.url, next.loopback);
            return;
        }
        if (outcome.statusCode < 200 || outcome.statusCode > 299) {
            deliver(std::nullopt, HTTPError::unacceptableStatus(outcome.statusCode, url));
            return;
        }
        if (outcome.tooLarge) {
            deliver(std::nullopt,
                    HTTPError::make(HTTPError::ResponseTooLarge,
                                    "The answer is larger than the limit of " +
                                        std::to_string(pending->request.maxBodyBytes) + " bytes.",
                                    url));
            return;
        }
        const std::string type = mediaType(outcome.contentType);
        const auto& acceptable = pending->request.acceptableContentTypes;
        if (!acceptable.empty() && std::find(acceptable.begin(), acceptable.end(), type) == acceptable.end()) {
            const std::string shown = type.empty() ? "no content type" : "content type \"" + type + "\"";
            deliver(std::nullopt, HTTPError::make(HTTPError::UnacceptableContentType,
                                                  "The server answered with " + shown + "; expected " +
                                                      joined(acceptable) + ".",
                                                  url));
            return;
        }
        HTTPResponse response;
        response.url = url;
        response.statusCode = outcome.statusCode;
        response.contentType = type;
        response.body = std::move(outcome.body);
        deliver(std::move(response), nullptr);
    };
    worker_->add(std::move(transfer));
}

}  // namespace tandril
