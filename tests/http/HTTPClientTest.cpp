#include <gtest/gtest.h>

#include <thread>

#include "http/HTTPClient.hpp"
#include "http/HTTPError.hpp"
#include "http/LoopbackHTTPServer.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

using namespace std::chrono_literals;
using Response = test::LoopbackHTTPServer::Response;

Response json(std::string body, std::string type = "application/json") {
    Response response;
    response.contentType = std::move(type);
    response.body = std::move(body);
    return response;
}

Response redirect(std::string location) {
    Response response;
    response.status = 302;
    response.contentType = "text/plain";
    if (!location.empty()) {
        response.headers.emplace_back("Location", std::move(location));
    }
    return response;
}

class HTTPClientTest : public test::LoopFixture {
protected:
    struct Outcome {
        int calls = 0;
        std::optional<nlohmann::json> json;
        std::shared_ptr<Image> image;
        ErrorPtr error;
        bool onMainThread = false;
    };

    Outcome fetchJSON(const std::string& path, const QueryItems& query = {}) {
        auto outcome = std::make_shared<Outcome>();
        client->getJSON(server.url(path), query, [this, outcome](std::optional<nlohmann::json> answer, ErrorPtr error) {
            ++outcome->calls;
            outcome->json = std::move(answer);
            outcome->error = std::move(error);
            outcome->onMainThread = std::this_thread::get_id() == testThread;
        });
        return settle(outcome);
    }

    Outcome fetchImage(const std::string& url, bool allowLoopback = true) {
        auto outcome = std::make_shared<Outcome>();
        client->getImage(url, allowLoopback, [this, outcome](std::shared_ptr<Image> image, ErrorPtr error) {
            ++outcome->calls;
            outcome->image = std::move(image);
            outcome->error = std::move(error);
            outcome->onMainThread = std::this_thread::get_id() == testThread;
        });
        return settle(outcome);
    }

    Outcome settle(const std::shared_ptr<Outcome>& outcome) {
        EXPECT_TRUE(loop().runUntil([&] { return outcome->calls > 0; }, 10s));
        runUntilIdle();
        EXPECT_EQ(outcome->calls, 1);
        EXPECT_TRUE(outcome->onMainThread);
        return *outcome;
    }

    static std::int64_t code(const Outcome& outcome) {
        EXPECT_TRUE(outcome.error);
        if (outcome.error) {
            EXPECT_EQ(outcome.error->domain(), HTTPError::kDomain);
            EXPECT_FALSE(outcome.error->localizedDescription().empty());
        }
        return outcome.error ? outcome.error->code() : 0;
    }

    std::thread::id testThread = std::this_thread::get_id();
    test::LoopbackHTTPServer server;
    std::unique_ptr<HTTPClient> client = std::make_unique<HTTPClient>();
};

TEST_F(HTTPClientTest, JSONAnswerArrivesOnTheMainLoopWithItsQueryEncoded) {
    server.route("/lookup", json(R"({"results":[{"artworkUrl60":"x"}]})", "application/json; charset=utf-8"));
    const Outcome outcome = fetchJSON("/lookup", {{"bundleId", "com.ex ample&x=é"}});
    ASSERT_FALSE(outcome.error);
    ASSERT_TRUE(outcome.json);
    EXPECT_EQ((*outcome.json)["results"][0]["artworkUrl60"], "x");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/lookup?bundleId=com.ex%20ample%26x%3D%C3%A9");
}

TEST_F(HTTPClientTest, AcceptsOnlyTheListedContentTypesAndSuccessStatuses) {
    server.route("/textjson", json("[1]", "text/json"));
    server.route("/script", json("[2]", "Text/JavaScript"));
    server.route("/html", json("<html></html>", "text/html; charset=utf-8"));
    server.route("/untyped", json("[3]", ""));
    server.route("/broken", json("{\"results\": ["));
    Response failed = json(R"({"results":[]})");
    failed.status = 500;
    server.route("/failed", failed);

    EXPECT_EQ(fetchJSON("/textjson").json, nlohmann::json::parse("[1]"));
    EXPECT_EQ(fetchJSON("/script").json, nlohmann::json::parse("[2]"));
    EXPECT_EQ(code(fetchJSON("/html")), HTTPError::UnacceptableContentType);
    EXPECT_EQ(code(fetchJSON("/untyped")), HTTPError::UnacceptableContentType);
    EXPECT_EQ(code(fetchJSON("/broken")), HTTPError::InvalidJSON);
    EXPECT_EQ(code(fetchJSON("/failed")), HTTPError::UnacceptableStatus);

    const Outcome missing = fetchJSON("/missing");
    EXPECT_EQ(code(missing), HTTPError::UnacceptableStatus);
    EXPECT_EQ(missing.error->userInfo().at(HTTPError::kStatusCodeKey), Value(404));
    EXPECT_EQ(missing.error->localizedDescription(), "The server answered with status 404.");
}

TEST_F(HTTPClientTest, BodiesPastTheCapFail) {
    const std::string exact = "{}" + std::string(HTTPClient::kMaxJSONBytes - 2, ' ');
    server.route("/exact", json(exact));
    server.route("/big", json(exact + " "));
    Response stream = json(exact + " ");
    stream.contentLength = false;
    server.route("/stream", stream);

    EXPECT_EQ(fetchJSON("/exact").json, nlohmann::json::object());
    const Outcome big = fetchJSON("/big");
    EXPECT_EQ(code(big), HTTPError::ResponseTooLarge);
    EXPECT_EQ(big.error->localizedDescription(), "The answer is larger than the limit of 1048576 bytes.");
    EXPECT_EQ(code(fetchJSON("/stream")), HTTPError::ResponseTooLarge);
}

TEST_F(HTTPClientTest, DeeplyNestedJSONFails) {
    const auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    server.route("/deep", json(std::string(HTTPClient::kMaxJSONBytes / 2, '[')));
    server.route("/limit", json(nested(HTTPClient::kMaxJSONDepth)));
    server.route("/past", json(nested(HTTPClient::kMaxJSONDepth + 1)));
    server.route("/quoted", json("[\"" + std::string(1000, '[') + "\\\"\"]"));
    EXPECT_EQ(code(fetchJSON("/deep")), HTTPError::InvalidJSON);
    EXPECT_TRUE(fetchJSON("/limit").json);
    EXPECT_EQ(code(fetchJSON("/past")), HTTPError::InvalidJSON);
    // Brackets inside texts do not count.
    EXPECT_TRUE(fetchJSON("/quoted").json);
}

TEST_F(HTTPClientTest, FollowsRedirectsOnlyWhereThePolicyAllows) {
    server.route("/lookup", json("[1]"));
    server.route("/hop", redirect("/lookup"));
    server.route("/to-file", redirect("file:///etc/passwd"));
    server.route("/loop", redirect("/loop"));
    server.route("/nowhere", redirect(""));

    EXPECT_EQ(fetchJSON("/hop").json, nlohmann::json::parse("[1]"));
    EXPECT_EQ(code(fetchJSON("/to-file")), HTTPError::UnsupportedURL);
    EXPECT_EQ(code(fetchJSON("/loop")), HTTPError::TooManyRedirects);
    EXPECT_EQ(code(fetchJSON("/nowhere")), HTTPError::RedirectRefused);
    // One request for /loop and five redirects after it.
    std::size_t loops = 0;
    for (const auto& request : server.requests()) {
        loops += request.path == "/loop" ? 1 : 0;
    }
    EXPECT_EQ(loops, 6u);
}

TEST_F(HTTPClientTest, ImagesAreCheckedAndDecoded) {
    const auto icon = Image::create(2, 1, Bytes{1, 2, 3, 255, 4, 5, 6, 255});
    server.route("/icon.png", json(stringFromBytes(*icon->PNGRepresentation()), "image/png"));
    server.route("/fake.png", json("<html></html>", "image/png"));
    server.route("/icon.txt", json(stringFromBytes(*icon->PNGRepresentation()), "text/plain"));

    const Outcome fetched = fetchImage(server.url("/icon.png"));
    ASSERT_TRUE(fetched.image);
    EXPECT_EQ(fetched.image->pixels(), icon->pixels());
    EXPECT_EQ(code(fetchImage(server.url("/fake.png"))), HTTPError::InvalidImage);
    EXPECT_EQ(code(fetchImage(server.url("/icon.txt"))), HTTPError::UnacceptableContentType);

    // A link handed out by a remote server may not lead to this machine.
    const std::size_t before = server.requests().size();
    EXPECT_EQ(code(fetchImage(server.url("/icon.png"), false)), HTTPError::RedirectRefused);
    EXPECT_EQ(server.requests().size(), before);
}

TEST_F(HTTPClientTest, ConnectionFailureIsReported) {
    int closedPort = 0;
    {
        test::LoopbackHTTPServer gone;
        closedPort = gone.port();
    }
    auto outcome = std::make_shared<Outcome>();
    client->getJSON("http://127.0.0.1:" + std::to_string(closedPort) + "/lookup", {},
                    [this, outcome](std::optional<nlohmann::json>, ErrorPtr error) {
                        ++outcome->calls;
                        outcome->error = std::move(error);
                        outcome->onMainThread = std::this_thread::get_id() == testThread;
                    });
    EXPECT_EQ(code(settle(outcome)), HTTPError::TransportFailed);
}

TEST_F(HTTPClientTest, DestroyingTheClientEndsOpenRequestsOnce) {
    server.routeHeld("/slow", json("[1]"));
    auto outcome = std::make_shared<Outcome>();
    client->getJSON(server.url("/slow"), {}, [this, outcome](std::optional<nlohmann::json> answer, ErrorPtr error) {
        ++outcome->calls;
        outcome->json = std::move(answer);
        outcome->error = std::move(error);
        outcome->onMainThread = std::this_thread::get_id() == testThread;
    });
    ASSERT_TRUE(server.waitForHeld(10s));
    client.reset();
    server.release();
    const Outcome ended = settle(outcome);
    EXPECT_EQ(code(ended), HTTPError::Cancelled);
    EXPECT_FALSE(ended.json);
}

// A request outlives the loop it was made on, and a new loop takes the old one's place (at
// the very same address, as a test fixture or a restarted program may): neither the answer
// nor the cancellation may reach the new loop.
TEST_F(HTTPClientTest, AnswersForALoopThatIsGoneAreDroppedNotPostedToItsSuccessor) {
    for (const bool answeredFirst : {true, false}) {
        server.routeHeld("/slow", json("[1]"));
        std::optional<VirtualRunLoop> slot;
        slot.emplace();
        RunLoop::setMain(&*slot);
        int calls = 0;
        client->getJSON(server.url("/slow"), {}, [&calls](std::optional<nlohmann::json>, ErrorPtr) { ++calls; });
        ASSERT_TRUE(server.waitForHeld(10s));

        const RunLoop* old = &*slot;
        slot.reset();
        slot.emplace();
        ASSERT_EQ(&*slot, old);
        RunLoop::setMain(&*slot);
        // Released first, the answer races the client's destruction: either the worker
        // delivers it or the destruction cancels it, and neither may arrive.
        if (answeredFirst) server.release();
        client.reset();
        if (!answeredFirst) server.release();
        slot->runUntilIdle();
        EXPECT_EQ(calls, 0) << (answeredFirst ? "answer" : "cancellation");
        EXPECT_EQ(slot->pendingJobs(), 0u);

        RunLoop::setMain(&loop());
        client = std::make_unique<HTTPClient>();
    }
}

}  // namespace
}  // namespace tandril
