#include <gtest/gtest.h>

#include "platform/linux/desktop/WinAppcast.hpp"

namespace tandril {
namespace {

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(WinAppcastTest, ComparesDottedVersionsAsNumbers) {
    EXPECT_GT(WinAppcast::compareVersions("1.10", "1.9"), 0);
    EXPECT_EQ(WinAppcast::compareVersions("2", "2.0.0"), 0);
    EXPECT_LT(WinAppcast::compareVersions("0.1.0", "0.1.1"), 0);
    EXPECT_GT(WinAppcast::compareVersions("10", "9.99"), 0);
    EXPECT_GT(WinAppcast::compareVersions("1.2b", "1.2a"), 0);
    EXPECT_EQ(WinAppcast::compareVersions("", "0"), 0);
    EXPECT_GT(WinAppcast::compareVersions("99999999999999999999999", "1"), 0);
}

TEST(WinAppcastTest, NewestItemByVersionFromEnclosureOrElement) {
    const auto feed = bytes(R"(<?xml version="1.0"?>
<rss version="2.0" xmlns:sparkle="http://example.invalid/sparkle">
 <channel><title>Tandril</title><link>https://tandril.example/</link>
  <item><title>Old</title><link>https://tandril.example/0.9</link>
   <enclosure url="https://tandril.example/0.9.zip" sparkle:version="0.9" length="1"/></item>
  <item><title>Newest</title>
   <sparkle:version>1.10</sparkle:version><sparkle:shortVersionString>1.10 beta</sparkle:shortVersionString>
   <sparkle:releaseNotesLink>https://tandril.example/notes/1.10</sparkle:releaseNotesLink></item>
  <item><title>Middle</title><enclosure sparkle:version="1.9" sparkle:shortVersionString="1.9"/></item>
  <item><title>No version</title></item>
 </channel>
</rss>)");
    std::string error;
    const auto appcast = WinAppcast::parse(feed, &error);
    ASSERT_TRUE(appcast) << error;
    ASSERT_EQ(appcast->items().size(), 3u);
    const auto* newest = appcast->newestItem();
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(newest->title, "Newest");
    EXPECT_EQ(newest->version, "1.10");
    EXPECT_EQ(newest->shortVersion, "1.10 beta");
    EXPECT_EQ(newest->pageURL, "https://tandril.example/notes/1.10");
    EXPECT_EQ(appcast->items()[0].pageURL, "https://tandril.example/0.9");
    // Without a page of its own an item points at the channel's.
    EXPECT_EQ(appcast->items()[2].pageURL, "https://tandril.example/");
}

TEST(WinAppcastTest, RefusesWhatIsNotAnRSSDocument) {
    std::string error;
    EXPECT_FALSE(WinAppcast::parse(bytes("{\"version\": \"2.0\"}"), &error));
    EXPECT_EQ(error.rfind("not XML: ", 0), 0u) << error;
    EXPECT_FALSE(WinAppcast::parse(bytes(""), &error));
    EXPECT_FALSE(WinAppcast::parse(bytes("<rss><channel><item>"), &error));
    EXPECT_FALSE(WinAppcast::parse(bytes("<html><body>moved</body></html>"), &error));
    EXPECT_EQ(error, "not an RSS feed");

    const auto empty = WinAppcast::parse(bytes("<rss><channel/></rss>"), &error);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->newestItem(), nullptr);
}

}  // namespace
}  // namespace tandril
