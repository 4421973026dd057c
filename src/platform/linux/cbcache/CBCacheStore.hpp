#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tandril {

// BlueZ's storage of what it learned about remote devices, as far as the Bluetooth-cache
// helper may change it.
//
// BlueZ keeps one folder per adapter under its storage root, named by the adapter's
// address. Each adapter folder holds `cache/<device address>` files (ini format: the
// device's [General] name, its classic [ServiceRecords] and, in [Attributes], the GATT
// database BlueZ discovered) beside one folder per bonded device whose `info` file holds
// the link keys and long-term keys. Clearing the cache removes the [Attributes] group from
// every cache file and nothing else: names and service records stay, device folders and
// their keys are never opened.
//
// The walk never follows a symbolic link below the root: adapter and cache folders are
// opened with O_NOFOLLOW relative to their parent's descriptor, cache files likewise, and
// rewritten files are replaced by renaming a new file in the same folder. Entries whose
// names are not Bluetooth addresses, and anything that is not a plain file, are left alone.
class CBCacheStore {
public:
    static constexpr const char* kDefaultRoot = "/var/lib/bluetooth";
    // The group that holds the cached GATT database.
    static constexpr const char* kAttributesGroup = "Attributes";
    // Cache files larger than this are not BlueZ's and are left alone.
    static constexpr std::size_t kMaximumFileSize = 4 * 1024 * 1024;

    struct Result {
        // One line per cleared or skipped file, then a summary; for the helper's report.
        std::vector<std::string> lines;
        std::size_t cleared = 0;
        // False when a file could not be read or rewritten.
        bool ok = true;
    };

    explicit CBCacheStore(std::string root = kDefaultRoot);

    Result clearAttributes() const;

    // `text` (ini format) without every group named `group`, from its header line up to
    // the next header; nullopt when there is no such group. Everything else is kept byte
    // for byte.
    static std::optional<std::string> withoutGroup(const std::string& text, const std::string& group);
    // True for "XX:XX:XX:XX:XX:XX" with hexadecimal digits in either case.
    static bool isAddress(const std::string& name);

    const std::string& root() const { return root_; }

private:
    void clearAdapter(int adapterFd, const std::string& adapter, Result& result) const;
    void clearFile(int cacheFd, const std::string& adapter, const std::string& device, Result& result) const;

    std::string root_;
};

}  // namespace tandril
