#include "http/CurlWorker.hpp"

#include <algorithm>
#include <mutex>

#include <curl/curl.h>

namespace tandril {

struct CurlWorker::Active {
    Transfer transfer;
    CURL* easy = nullptr;
    Bytes body;
    bool tooLarge = false;
    char errorBuffer[CURL_ERROR_SIZE] = {};
};

struct CurlWorker::Core {
    Core() : multi_(curl_multi_init()) {}
    ~Core() { curl_multi_cleanup(static_cast<CURLM*>(multi_)); }
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    void run();
    void begin(Transfer transfer);
    void finish(void* easy, int code);

    void* multi_ = nullptr;  // CURLM*
    std::mutex mutex_;
    std::deque<Transfer> incoming_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Active>> active_;  // touched by the worker thread only
    std::vector<Transfer> unfinished_;
};

namespace {

std::once_flag globalInit;

}  // namespace

CurlWorker::CurlWorker() {
    std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    core_ = std::make_shared<Core>();
    thread_ = std::thread([core = core_] { core->run(); });
}

CurlWorker::~CurlWorker() { stop(); }

void CurlWorker::add(Transfer transfer) {
    {
        std::lock_guard lock(core_->mutex_);
        if (core_->stopping_) {
            core_->unfinished_.push_back(std::move(transfer));
            return;
        }
        core_->incoming_.push_back(std::move(transfer));
    }
    curl_multi_wakeup(static_cast<CURLM*>(core_->multi_));
}

std::vector<CurlWorker::Transfer> CurlWorker::stop() {
    {
        std::lock_guard lock(core_->mutex_);
        core_->stopping_ = true;
    }
    curl_multi_wakeup(static_cast<CURLM*>(core_->multi_));
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
            return {};
        }
        thread_.join();
    }
    std::lock_guard lock(core_->mutex_);
    for (auto& transfer : core_->incoming_) {
        core_->unfinished_.push_back(std::move(transfer));
    }
    core_->incoming_.clear();
    std::vector<Transfer> result;
    result.swap(core_->unfinished_);
    return result;
}

void CurlWorker::Core::begin(Transfer transfer) {
    auto active = std::make_unique<Active>();
    active->transfer = std::move(transfer);
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        Outcome outcome;
        outcome.curlCode = CURLE_OUT_OF_MEMORY;
        outcome.errorText = curl_easy_strerror(CURLE_OUT_OF_MEMORY);
        active->transfer.onDone(std::move(outcome));
        return;
    }
    active->easy = easy;
    const Transfer& t = active->transfer;
    curl_easy_setopt(easy, CURLOPT_URL, t.url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(1, t.connectTimeout.count())));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(1, t.totalTimeout.count())));
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.maxBodyBytes));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, active->errorBuffer);
    if (t.loopback) {
        curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t size, std::size_t count, void* context) {
        auto* self = static_cast<Active*>(context);
        const std::size_t length = size * count;
        if (self->body.size() + length > self->transfer.maxBodyBytes) {
            self->tooLarge = true;
            return std::size_t{0};  // stops the transfer with CURLE_WRITE_ERROR
        }
        self->body.insert(self->body.end(), data, data + length);
        return length;
    });
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, active.get());
    if (curl_multi_add_handle(static_cast<CURLM*>(multi_), easy) != CURLM_OK) {
        curl_easy_cleanup(easy);
        Outcome outcome;
        outcome.curlCode = CURLE_FAILED_INIT;
        outcome.errorText = curl_easy_strerror(CURLE_FAILED_INIT);
        active->transfer.onDone(std::move(outcome));
        return;
    }
    active_.push_back(std::move(active));
}

void CurlWorker::Core::finish(void* easyHandle, int code) {
    CURL* easy = static_cast<CURL*>(easyHandle);
    const auto found = std::find_if(active_.begin(), active_.end(),
                                    [easy](const std::unique_ptr<Active>& a) { return a->easy == easy; });
    if (found == active_.end()) {
        return;
    }
    std::unique_ptr<Active> active = std::move(*found);
    active_.erase(found);

    Outcome outcome;
    outcome.curlCode = code;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &outcome.statusCode);
    char* text = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &text) == CURLE_OK && text != nullptr) {
        outcome.contentType = text;
    }
    text = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &text) == CURLE_OK && text != nullptr) {
        outcome.redirectURL = text;
    }
    outcome.tooLarge = active->tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    if (code != CURLE_OK) {
        outcome.errorText = active->errorBuffer[0] != '\0' ? std::string(active->errorBuffer)
                                                           : std::string(curl_easy_strerror(static_cast<CURLcode>(code)));
    }
    outcome.body = std::move(active->body);
    curl_multi_remove_handle(static_cast<CURLM*>(multi_), easy);
    curl_easy_cleanup(easy);
    active->transfer.onDone(std::move(outcome));
}

void CurlWorker::Core::run() {
    CURLM* multi = static_cast<CURLM*>(multi_);
    for (;;) {
        std::deque<Transfer> arrived;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                break;
            }
            arrived.swap(incoming_);
        }
        for (auto& transfer : arrived) {
            begin(std::move(transfer));
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE) {
                CURL* easy = message->easy_handle;
                const CURLcode code = message->data.result;
                finish(easy, code);
            }
        }
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    // Hand back what did not finish; its callbacks are dropped by the thread that stops us.
    std::lock_guard lock(mutex_);
    for (auto& active : active_) {
        curl_multi_remove_handle(multi, active->easy);
        curl_easy_cleanup(active->easy);
        unfinished_.push_back(std::move(active->transfer));
    }
    active_.clear();
}

}  // namespace tandril
