#include "shared/CataloguePaths.hpp"

#include <cstdint>

#include <utf8proc.h>

#include "foundation/Paths.hpp"
#include "shared/CatalogueKeys.hpp"

namespace tandril {

namespace {

constexpr const char* kHexDigits = "0123456789ABCDEF";

void appendEscaped(std::string& out, std::uint8_t byte) {
    out.push_back('%');
    out.push_back(kHexDigits[byte >> 4]);
    out.push_back(kHexDigits[byte & 0x0F]);
}

bool isControl(utf8proc_int32_t codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F);
}

std::uint64_t fnv1a64(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string hex64(std::uint64_t value) {
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i) {
        out[static_cast<std::size_t>(i)] = "0123456789abcdef"[value & 0x0F];
        value >>= 4;
    }
    return out;
}

}  // namespace

std::string CataloguePaths::catalogueFolder() {
    return Paths::join(Paths::applicationSupportDirectory(), kCatalogueFolderName);
}

std::string CataloguePaths::applicationsPath() {
    return Paths::join(catalogueFolder(), kCatalogueFileName);
}

std::string CataloguePaths::iconsFolder() {
    return Paths::join(catalogueFolder(), kCatalogueIconsFolderName);
}

std::optional<std::string> CataloguePaths::iconFileName(std::string_view bundleIdentifier) {
    if (bundleIdentifier.empty()) {
        return std::nullopt;
    }
    std::string stem;
    stem.reserve(bundleIdentifier.size());
    // The length of `stem` after the last whole character that fits within the kept length.
    std::size_t cut = 0;
    std::size_t offset = 0;
    while (offset < bundleIdentifier.size()) {
        const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(bundleIdentifier.data()) + offset;
        const auto left = static_cast<utf8proc_ssize_t>(bundleIdentifier.size() - offset);
        utf8proc_int32_t codePoint = -1;
        const utf8proc_ssize_t used = utf8proc_iterate(bytes, left, &codePoint);
        if (used <= 0) {
            appendEscaped(stem, bytes[0]);
            offset += 1;
        } else {
            const auto length = static_cast<std::size_t>(used);
            if (isControl(codePoint)) {
                for (std::size_t i = 0; i < length; ++i) {
                    appendEscaped(stem, bytes[i]);
                }
            } else if (codePoint == '/' || codePoint == '%' || (codePoint == '.' && offset == 0)) {
                appendEscaped(stem, static_cast<std::uint8_t>(codePoint));
            } else {
                stem.append(bundleIdentifier.substr(offset, length));
            }
            offset += length;
        }
        if (stem.size() <= kMaxKeptNameBytes) {
            cut = stem.size();
        } else if (cut + 32 < stem.size()) {
            // Past the kept length: only the hash of the whole text is still needed.
            break;
        }
    }
    if (stem.size() > kMaxKeptNameBytes) {
        stem.resize(cut);
        stem += "~" + hex64(fnv1a64(bundleIdentifier));
    }
    return stem + ".png";
}

std::optional<std::string> CataloguePaths::iconPath(std::string_view bundleIdentifier) {
    const std::optional<std::string> name = iconFileName(bundleIdentifier);
    if (!name) {
        return std::nullopt;
    }
    return Paths::join(iconsFolder(), *name);
}

}  // namespace tandril
