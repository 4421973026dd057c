#include <gtest/gtest.h>

#include <stb/stb_image_write.h>

#include "foundation/Paths.hpp"
#include "foundation/UserDefaults.hpp"
#include "http/HTTPError.hpp"
#include "http/LoopbackHTTPServer.hpp"
#include "model/CNNotificationApplicationManager.hpp"
#include "shared/CataloguePaths.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

using namespace std::chrono_literals;
using Manager = CNNotificationApplicationManager;
using Response = test::LoopbackHTTPServer::Response;

Response answer(std::string body, std::string type) {
    Response response;
    response.body = std::move(body);
    response.contentType = std::move(type);
    return response;
}

std::string jpegBytes() {
    std::string out;
    Bytes rgb;
    for (int i = 0; i < 16 * 8; ++i) {
        rgb.insert(rgb.end(), {30, 160, 220});
    }
    stbi_write_jpg_to_func(
        [](void* context, void* data, int size) { static_cast<std::string*>(context)->append(static_cast<char*>(data), size); },
        &out, 16, 8, 3, rgb.data(), 90);
    return out;
}

class CNNotificationApplicationManagerIconTest : public test::LoopFixture {
protected:
    struct Outcome {
        int calls = 0;
        std::shared_ptr<Image> icon;
        ErrorPtr error;
    };

    CNNotificationApplicationManagerIconTest() { useLookupAt(""); }

    // Points the lookup base URL at `prefix` on the test server.
    void useLookupAt(const std::string& prefix) {
        UserDefaults(Manager::kLookupDefaultsDomain).setObject(Value(server.url(prefix)), Manager::kLookupBaseURLKey);
    }

    // A lookup at `prefix` whose answer is `body`, as JSON.
    void lookupAnswers(const std::string& prefix, const std::string& body) {
        server.route(prefix + "/lookup", answer(body, "text/javascript; charset=utf-8"));
        useLookupAt(prefix);
    }

    std::string artworkAnswer(const std::string& url) {
        return R"({"resultCount":1,"results":[{"trackName":"Example","artworkUrl60":")" + url + R"("}]})";
    }

    Outcome download(const std::shared_ptr<CNNotificationApplication>& application) {
        auto outcome = std::make_shared<Outcome>();
        catalogue->downloadIconForApplication(application, [outcome](std::shared_ptr<Image> icon, ErrorPtr error) {
            ++outcome->calls;
            outcome->icon = std::move(icon);
            outcome->error = std::move(error);
        });
        EXPECT_TRUE(loop().runUntil([&] { return outcome->calls > 0; }, 10s));
        runUntilIdle();
        EXPECT_EQ(outcome->calls, 1);
        return *outcome;
    }

    // Downloads for a fresh record and expects a failure logged with `prefix`.
    void expectFailure(const std::string& prefix, const std::string& domain, std::int64_t code) {
        logs.clear();
        const auto application = catalogue->applicationForBundleIdentifier("com.example.app");
        const Outcome outcome = download(application);
        EXPECT_FALSE(outcome.icon);
        EXPECT_FALSE(application->icon());
        ASSERT_TRUE(outcome.error);
        EXPECT_EQ(outcome.error->domain(), domain);
        EXPECT_EQ(outcome.error->code(), code);
        EXPECT_EQ(logs.lines().back(), prefix + outcome.error->description());
    }

    test::LoopbackHTTPServer server;
    std::shared_ptr<Manager> catalogue = std::make_shared<Manager>();
};

TEST_F(CNNotificationApplicationManagerIconTest, JPEGIconIsFetchedAndCachedAsPNG) {
    lookupAnswers("", artworkAnswer(server.url("/art/60x60.jpg")));
    server.route("/art/60x60.jpg", answer(jpegBytes(), "image/jpeg"));
    const auto application = catalogue->applicationForBundleIdentifier("com.example.app");
    application->setDisplayName("Example");

    const Outcome outcome = download(application);
    ASSERT_TRUE(outcome.icon);
    EXPECT_FALSE(outcome.error);
    EXPECT_EQ(application->icon(), outcome.icon);
    EXPECT_EQ(outcome.icon->width(), 16);
    EXPECT_EQ(outcome.icon->height(), 8);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/lookup?bundleId=com.example.app");
    EXPECT_EQ(requests[1].target, "/art/60x60.jpg");

    // The icon file is written when the record is cached, as PNG.
    const std::string path = *CataloguePaths::iconPath("com.example.app");
    EXPECT_FALSE(Paths::fileExists(path));
    catalogue->cacheApplication(application);
    const std::string file = Paths::readFile(path).value_or("");
    EXPECT_EQ(file.substr(0, 8), "\x89PNG\r\n\x1a\n");
    const auto stored = Image::imageWithContentsOfFile(path);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->pixels(), outcome.icon->pixels());
    for (const auto& line : logs.lines()) {
        EXPECT_EQ(line.rfind("[ITUNES]", 0), std::string::npos) << line;
    }
}

TEST_F(CNNotificationApplicationManagerIconTest, IdentifierIsEncodedIntoTheQuery) {
    lookupAnswers("", R"({"results":[]})");
    download(catalogue->applicationForBundleIdentifier("a b&bundleId=c/é"));
    EXPECT_EQ(server.requests().back().target, "/lookup?bundleId=a%20b%26bundleId%3Dc%2F%C3%A9");
}

TEST_F(CNNotificationApplicationManagerIconTest, UnknownApplicationsGetNoIconAndNoError) {
    for (const std::string body : {R"({"resultCount":0,"results":[]})", R"({"resultCount":0})", R"({"results":null})"}) {
        lookupAnswers("", body);
        const auto application = catalogue->applicationForBundleIdentifier("com.example.unknown");
        logs.clear();
        const Outcome outcome = download(application);
        EXPECT_FALSE(outcome.icon);
        EXPECT_FALSE(outcome.error);
        EXPECT_FALSE(application->icon());
        EXPECT_EQ(logs.lines(), std::vector<std::string>{"[ITUNES] No icon found..."}) << body;
    }
}

TEST_F(CNNotificationApplicationManagerIconTest, FailedSearchesAreLoggedAndReported) {
    const std::string search = "[ITUNES] Search error: ";
    server.route("/html/lookup", answer(R"({"results":[]})", "text/html"));
    useLookupAt("/html");
    expectFailure(search, HTTPError::kDomain, HTTPError::UnacceptableContentType);

    useLookupAt("/nothing-here");
    expectFailure(search, HTTPError::kDomain, HTTPError::UnacceptableStatus);

    lookupAnswers("/huge", R"({"results":[]})" + std::string(HTTPClient::kMaxJSONBytes, ' '));
    expectFailure(search, HTTPError::kDomain, HTTPError::ResponseTooLarge);

    lookupAnswers("/broken", R"({"results":[)");
    expectFailure(search, HTTPError::kDomain, HTTPError::InvalidJSON);

    lookupAnswers("/not-a-list", R"({"results":"nope"})");
    expectFailure(search, Manager::kLookupErrorDomain, Manager::MalformedLookupAnswer);

    lookupAnswers("/array", R"([{"artworkUrl60":"x"}])");
    expectFailure(search, Manager::kLookupErrorDomain, Manager::MalformedLookupAnswer);
}

TEST_F(CNNotificationApplicationManagerIconTest, FailedImagesAreLoggedAndReported) {
    const std::string image = "[ITUNES] Image error: ";
    server.route("/fake.png", answer("hello", "image/png"));
    server.route("/huge.png", answer(std::string(HTTPClient::kMaxImageBytes + 1, 'x'), "image/png"));
    Response toFile;
    toFile.status = 302;
    toFile.headers.emplace_back("Location", "file:///etc/passwd");
    server.route("/moved.png", toFile);

    lookupAnswers("/no-url", R"({"results":[{"trackName":"X"}]})");
    expectFailure(image, Manager::kLookupErrorDomain, Manager::MissingArtworkURL);
    lookupAnswers("/number-url", R"({"results":[{"artworkUrl60":42}]})");
    expectFailure(image, Manager::kLookupErrorDomain, Manager::MissingArtworkURL);
    lookupAnswers("/number-result", R"({"results":[42]})");
    expectFailure(image, Manager::kLookupErrorDomain, Manager::MissingArtworkURL);

    lookupAnswers("/file-url", artworkAnswer("file:///etc/passwd"));
    expectFailure(image, HTTPError::kDomain, HTTPError::UnsupportedURL);
    lookupAnswers("/fake", artworkAnswer(server.url("/fake.png")));
    expectFailure(image, HTTPError::kDomain, HTTPError::InvalidImage);
    lookupAnswers("/huge", artworkAnswer(server.url("/huge.png")));
    expectFailure(image, HTTPError::kDomain, HTTPError::ResponseTooLarge);
    lookupAnswers("/moved", artworkAnswer(server.url("/moved.png")));
    expectFailure(image, HTTPError::kDomain, HTTPError::UnsupportedURL);
}

TEST_F(CNNotificationApplicationManagerIconTest, CatalogueGoingAwayEndsTheLookupOnce) {
    server.routeHeld("/lookup", answer(R"({"results":[]})", "application/json"));
    auto outcome = std::make_shared<Outcome>();
    catalogue->downloadIconForApplication(catalogue->applicationForBundleIdentifier("com.example.app"),
                                          [outcome](std::shared_ptr<Image> icon, ErrorPtr error) {
                                              ++outcome->calls;
                                              outcome->icon = std::move(icon);
                                              outcome->error = std::move(error);
                                          });
    ASSERT_TRUE(server.waitForHeld(10s));
    catalogue.reset();
    server.release();
    ASSERT_TRUE(loop().runUntil([&] { return outcome->calls > 0; }, 10s));
    runUntilIdle();
    EXPECT_EQ(outcome->calls, 1);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->code(), HTTPError::Cancelled);
    EXPECT_EQ(logs.lines().back(), "[ITUNES] Search error: " + outcome->error->description());
}

TEST_F(CNNotificationApplicationManagerIconTest, LookupServiceDefaultsToHTTPS) {
    UserDefaults(Manager::kLookupDefaultsDomain).removeObjectForKey(Manager::kLookupBaseURLKey);
    EXPECT_EQ(Manager::lookupBaseURL(), "https://itunes.apple.com");
    UserDefaults(Manager::kLookupDefaultsDomain).setObject(Value("https://lookup.example.com/"), Manager::kLookupBaseURLKey);
    EXPECT_EQ(Manager::lookupBaseURL(), "https://lookup.example.com");
}

}  // namespace
}  // namespace tandril
