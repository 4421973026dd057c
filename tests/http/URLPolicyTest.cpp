#include <gtest/gtest.h>

#include "http/HTTPError.hpp"
#include "http/URLPolicy.hpp"

namespace tandril {
namespace {

std::string fetched(const std::string& url, bool allowLoopback = true) {
    const URLPolicy::Result result = URLPolicy::check(url, allowLoopback);
    return result.error ? "error " + std::to_string(result.error->code()) : result.url;
}

TEST(URLPolicy, FetchesHTTPSAndUpgradesRemoteHTTP) {
    EXPECT_EQ(fetched("https://itunes.apple.com/lookup?bundleId=a"), "https://itunes.apple.com/lookup?bundleId=a");
    EXPECT_EQ(fetched("http://is1.mzstatic.com/image/60x60.png"), "https://is1.mzstatic.com/image/60x60.png");
    EXPECT_EQ(fetched("HTTP://Example.com:80/x"), "https://Example.com/x");
    EXPECT_EQ(fetched("http://example.com:8080/x"), "https://example.com:8080/x");
    // Names that only look local are remote.
    EXPECT_EQ(fetched("http://localhost.example.com/x"), "https://localhost.example.com/x");
    EXPECT_EQ(fetched("http://127.0.0.1.nip.io/x"), "https://127.0.0.1.nip.io/x");
}

TEST(URLPolicy, KeepsPlainHTTPForLoopbackHostsWhereAllowed) {
    EXPECT_EQ(fetched("http://127.0.0.1:8080/lookup"), "http://127.0.0.1:8080/lookup");
    EXPECT_EQ(fetched("http://127.9.8.7/x"), "http://127.9.8.7/x");
    EXPECT_EQ(fetched("http://localhost:1234/x"), "http://localhost:1234/x");
    EXPECT_EQ(fetched("http://[::1]:1234/x"), "http://[::1]:1234/x");
    EXPECT_TRUE(URLPolicy::check("http://LOCALHOST./", true).loopback);

    const std::string refused = "error " + std::to_string(HTTPError::RedirectRefused);
    EXPECT_EQ(fetched("http://127.0.0.1:8080/x", false), refused);
    EXPECT_EQ(fetched("https://localhost/x", false), refused);
    EXPECT_EQ(fetched("http://[::ffff:127.0.0.1]/x", false), refused);
}

TEST(URLPolicy, RefusesOtherSchemesAndMalformedAddresses) {
    const std::string unsupported = "error " + std::to_string(HTTPError::UnsupportedURL);
    const std::string invalid = "error " + std::to_string(HTTPError::InvalidURL);
    EXPECT_EQ(fetched("file:///etc/passwd"), unsupported);
    EXPECT_EQ(fetched("FILE:///etc/passwd"), unsupported);
    EXPECT_EQ(fetched("ftp://example.com/icon.png"), unsupported);
    EXPECT_EQ(fetched("gopher://example.com/"), unsupported);
    EXPECT_EQ(fetched("/lookup"), invalid);
    EXPECT_EQ(fetched(""), invalid);
    EXPECT_EQ(fetched("https://"), invalid);
    EXPECT_EQ(fetched("https://exa mple.com/"), invalid);
    EXPECT_EQ(fetched(std::string("https://example.com/\0x", 22)), invalid);
}

TEST(URLPolicy, EncodesQueryValues) {
    EXPECT_EQ(URLPolicy::percentEncode("com.example.App-1_~"), "com.example.App-1_~");
    EXPECT_EQ(URLPolicy::percentEncode("a b&c=d/é?#+%"), "a%20b%26c%3Dd%2F%C3%A9%3F%23%2B%25");
    EXPECT_EQ(URLPolicy::appendingQueryItems("https://h/lookup", {{"bundleId", "a&b=c"}}),
              "https://h/lookup?bundleId=a%26b%3Dc");
    EXPECT_EQ(URLPolicy::appendingQueryItems("https://h/lookup?x=1", {{"bundleId", "a b"}}),
              "https://h/lookup?x=1&bundleId=a%20b");
    EXPECT_EQ(URLPolicy::appendingQueryItems("not a url", {{"k", "v"}}), std::nullopt);
}

}  // namespace
}  // namespace tandril
