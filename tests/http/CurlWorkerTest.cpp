#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "http/CurlWorker.hpp"
#include "http/LoopbackHTTPServer.hpp"

namespace tandril::test {
namespace {

// A completion that drops the worker's last owner runs on the worker's own thread: the
// worker must end without waiting for itself (std::thread::join would throw and abort).
TEST(CurlWorkerTest, ACompletionThatDropsTheLastOwnerEndsTheWorkerWithoutWaitingForItself) {
    LoopbackHTTPServer server;
    server.route("/a", LoopbackHTTPServer::Response{200, "text/plain", "a", {}, true});

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = 0;

    auto worker = std::make_shared<CurlWorker>();
    CurlWorker::Transfer transfer;
    transfer.url = server.url("/a");
    transfer.maxBodyBytes = 1024;
    transfer.loopback = true;
    // The transfer holds the only owner once the test lets go of it.
    auto owner = std::make_shared<std::shared_ptr<CurlWorker>>(worker);
    transfer.onDone = [owner, &mutex, &done, &finished, &status](CurlWorker::Outcome outcome) {
        owner->reset();  // the worker is destroyed here, on its own thread
        std::lock_guard lock(mutex);
        status = static_cast<int>(outcome.statusCode);
        finished = true;
        done.notify_all();
    };
    worker->add(std::move(transfer));
    worker.reset();

    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(20), [&] { return finished; }));
    EXPECT_EQ(status, 200);
}

}  // namespace
}  // namespace tandril::test
