#include "platform/linux/desktop/WinAppcast.hpp"

#include <QXmlStreamReader>

namespace tandril {

namespace {

bool isSparkle(const QXmlStreamReader& xml, QStringView name) {
    return xml.prefix() == u"sparkle" && xml.name() == name;
}

// The next dotted part of `text` from `pos`: its leading number and the rest.
struct Part {
    unsigned long long number = 0;
    std::string_view rest;
};

Part nextPart(std::string_view text, std::size_t& pos) {
    const auto end = std::min(text.find('.', pos), text.size());
    const auto part = text.substr(pos, end - pos);
    pos = end < text.size() ? end + 1 : end;
    Part result;
    std::size_t i = 0;
    for (; i < part.size() && part[i] >= '0' && part[i] <= '9'; ++i) {
        // Absurdly long numbers saturate instead of wrapping.
        if (result.number < 1'000'000'000'000'000ULL) result.number = result.number * 10 + (part[i] - '0');
    }
    result.rest = part.substr(i);
    return result;
}

}  // namespace

int WinAppcast::compareVersions(std::string_view a, std::string_view b) {
    std::size_t pa = 0;
    std::size_t pb = 0;
    while (pa < a.size() || pb < b.size()) {
        const auto x = nextPart(a, pa);
        const auto y = nextPart(b, pb);
        if (x.number != y.number) return x.number < y.number ? -1 : 1;
        if (const int c = x.rest.compare(y.rest); c != 0) return c < 0 ? -1 : 1;
    }
    return 0;
}

std::optional<WinAppcast> WinAppcast::parse(const Bytes& document, std::string* error) {
    QXmlStreamReader xml(QByteArray(reinterpret_cast<const char*>(document.data()),
                                    static_cast<qsizetype>(document.size())));
    WinAppcast appcast;
    std::optional<std::string> channelLink;
    bool sawRSS = false;
    bool inItem = false;
    Item item;
    std::optional<std::string> itemLink;
    std::optional<std::string> notesLink;
    int depth = 0;
    int itemDepth = 0;

    const auto text = [&xml] {
        return xml.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
    };

    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (depth == 1) {
                sawRSS = xml.name() == u"rss";
                if (!sawRSS) break;
                continue;
            }
            if (xml.name() == u"item" && xml.prefix().isEmpty() && !inItem) {
                inItem = true;
                itemDepth = depth;
                item = Item{};
                itemLink.reset();
                notesLink.reset();
                continue;
            }
            if (!inItem) {
                // The channel's own link (depth 3: rss > channel > link).
                if (depth == 3 && xml.name() == u"link" && xml.prefix().isEmpty()) {
                    channelLink = text();
                    --depth;
                }
                continue;
            }
            if (xml.name() == u"enclosure" && xml.prefix().isEmpty()) {
                for (const auto& attribute : xml.attributes()) {
                    if (attribute.prefix() == u"sparkle" && attribute.name() == u"version" && item.version.empty()) {
                        item.version = attribute.value().trimmed().toString().toStdString();
                    } else if (attribute.prefix() == u"sparkle" && attribute.name() == u"shortVersionString" &&
                               !item.shortVersion) {
                        item.shortVersion = attribute.value().trimmed().toString().toStdString();
                    }
                }
                continue;
            }
            if (isSparkle(xml, u"version")) {
                item.version = text();
                --depth;
            } else if (isSparkle(xml, u"shortVersionString")) {
                item.shortVersion = text();
                --depth;
            } else if (isSparkle(xml, u"releaseNotesLink")) {
                notesLink = text();
                --depth;
            } else if (xml.name() == u"link" && xml.prefix().isEmpty()) {
                itemLink = text();
                --depth;
            } else if (xml.name() == u"title" && xml.prefix().isEmpty()) {
                item.title = text();
                --depth;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (inItem && depth == itemDepth) {
                inItem = false;
                item.pageURL = notesLink ? notesLink : itemLink;
                if (!item.version.empty()) appcast.items_.push_back(item);
            }
            --depth;
        }
    }
    if (xml.hasError()) {
        if (error) *error = "not XML: " + xml.errorString().toStdString();
        return std::nullopt;
    }
    if (!sawRSS) {
        if (error) *error = "not an RSS feed";
        return std::nullopt;
    }
    if (channelLink) {
        for (auto& each : appcast.items_) {
            if (!each.pageURL || each.pageURL->empty()) each.pageURL = channelLink;
        }
    }
    return appcast;
}

const WinAppcast::Item* WinAppcast::newestItem() const {
    const Item* newest = nullptr;
    for (const auto& item : items_) {
        if (!newest || compareVersions(item.version, newest->version) > 0) newest = &item;
    }
    return newest;
}

}  // namespace tandril
