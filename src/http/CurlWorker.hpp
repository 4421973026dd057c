#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Bytes.hpp"

namespace tandril {

// One thread that runs libcurl transfers side by side (a curl multi handle). Each transfer
// is one GET of one URL: no redirects followed, http and https only, with connect and total
// time limits and a cap on the body. Its callback runs on the worker thread.
class CurlWorker {
public:
    struct Outcome {
        int curlCode = 0;              // CURLcode
        long statusCode = 0;
        std::string contentType;       // as sent, parameters included
        std::string redirectURL;       // the absolute Location target of a redirect
        Bytes body;
        bool tooLarge = false;         // the body passed the cap (the transfer was stopped)
        std::string errorText;         // curl's text for a failed transfer
        bool cancelled = false;        // never sent: the owner stopped the worker first
    };

    struct Transfer {
        std::string url;
        std::chrono::milliseconds connectTimeout{10000};
        std::chrono::milliseconds totalTimeout{30000};
        std::size_t maxBodyBytes = 0;
        bool loopback = false;  // a loopback host: never through a proxy
        std::function<void(Outcome)> onDone;
    };

    CurlWorker();
    ~CurlWorker();
    CurlWorker(const CurlWorker&) = delete;
    CurlWorker& operator=(const CurlWorker&) = delete;

    // Safe from any thread, the worker's own included.
    void add(Transfer transfer);

    // Stops the thread and waits for it. Transfers that had not finished are handed back
    // with their callbacks not called, so that the caller ends them on its own thread.
    // Called on the worker's own thread (a callback dropped the worker's last owner), it
    // cannot wait for itself: the thread is left to end on its own, with the state it
    // shares, and drops what had not finished there.
    std::vector<Transfer> stop();

private:
    struct Active;
    // What the thread works on; shared, so that a thread left to end on its own outlives
    // the worker that started it.
    struct Core;
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

}  // namespace tandril
