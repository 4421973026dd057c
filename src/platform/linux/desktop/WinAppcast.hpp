#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Bytes.hpp"

namespace tandril {

// An update feed: an RSS document whose items each describe a release. An item's version
// is the "sparkle:version" attribute of its <enclosure>, or its <sparkle:version> element;
// its page is <sparkle:releaseNotesLink>, else its <link>, else the channel's <link>.
class WinAppcast {
public:
    struct Item {
        std::string title;
        std::string version;                     // compared with "CFBundleVersion"
        std::optional<std::string> shortVersion;  // for people, when given
        std::optional<std::string> pageURL;
    };

    // Items without a version are skipped. nullopt (and `error`) when the document is not
    // well-formed XML or not an RSS feed.
    static std::optional<WinAppcast> parse(const Bytes& document, std::string* error);

    const std::vector<Item>& items() const { return items_; }
    // The item with the highest version; null when there is none.
    const Item* newestItem() const;

    // Compares dotted versions part by part as numbers ("1.10" > "1.9", "2" == "2.0"); a part's
    // text after its digits breaks ties in byte order ("1.2b" > "1.2a"). Negative, 0, positive.
    static int compareVersions(std::string_view a, std::string_view b);

private:
    std::vector<Item> items_;
};

}  // namespace tandril
