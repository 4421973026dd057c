#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tandril {

// Where the catalogue lives, and how an application's icon file is named. Only computes
// paths; creating the folders is the catalogue's business.
//
// Icon file names. Bundle identifiers come from the phone and are not trusted, so the
// identifier is escaped into exactly one file name inside the icon folder:
//   - "/" becomes "%2F", "%" becomes "%25";
//   - control characters (U+0000-U+001F, U+007F, U+0080-U+009F) and bytes that are not
//     valid UTF-8 become "%XX", one escape per byte (upper-case hex);
//   - a leading "." becomes "%2E" (no hidden files, never "." or "..");
//   - everything else is kept, so an ordinary reverse-DNS identifier such as
//     "com.apple.MobileSMS" keeps the name "com.apple.MobileSMS.png";
//   - an escaped identifier longer than 200 bytes is cut at the last whole character
//     within 200 bytes and gets "~" and the 16 hex digits of the FNV-1a 64-bit hash of the
//     whole identifier appended (stems of 212 to 217 bytes, longer than any uncut one);
//   - then ".png" is appended.
// The empty identifier names no file.
class CataloguePaths {
public:
    // <Application Support>/Tandril
    static std::string catalogueFolder();
    // <Application Support>/Tandril/CachedApplications.dat
    static std::string applicationsPath();
    // <Application Support>/Tandril/CachedIcons
    static std::string iconsFolder();

    // The icon file name of a bundle identifier by the rule above; nullopt for "".
    static std::optional<std::string> iconFileName(std::string_view bundleIdentifier);
    // iconsFolder()/iconFileName(bundleIdentifier); nullopt when there is no file name.
    static std::optional<std::string> iconPath(std::string_view bundleIdentifier);

    // The longest escaped identifier that is kept whole.
    static constexpr std::size_t kMaxKeptNameBytes = 200;
};

}  // namespace tandril
