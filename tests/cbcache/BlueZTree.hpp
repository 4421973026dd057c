#pragma once

#include <string>

#include "support/TempDir.hpp"

namespace tandril::test {

// A temporary copy of BlueZ's storage as a desktop with one adapter, a bonded phone and a
// watch seen once leaves it:
//   bluetooth/<adapter>/settings
//   bluetooth/<adapter>/cache/<phone>    [General] name, [Attributes] GATT database, [ServiceRecords]
//   bluetooth/<adapter>/cache/<watch>    [Attributes] only
//   bluetooth/<adapter>/<phone>/info     the bond: link key and long-term key
class BlueZTree {
public:
    static constexpr const char* kAdapter = "00:1A:7D:DA:71:13";
    static constexpr const char* kPhone = "4C:57:CA:12:34:56";
    static constexpr const char* kWatch = "f0:99:b6:aa:bb:cc";

    static const std::string kPhoneCache;
    // The phone's cache file once its [Attributes] group is gone.
    static const std::string kPhoneCacheCleared;
    static const std::string kWatchCache;
    static const std::string kPhoneInfo;
    static const std::string kSettings;

    BlueZTree();

    // BlueZ's storage root.
    std::string root() const { return dir_.file("bluetooth"); }
    // A path below the root ("<adapter>/cache/<phone>"), and below the temporary folder.
    std::string path(const std::string& relative) const { return root() + "/" + relative; }
    std::string outside(const std::string& relative) const { return dir_.file(relative); }
    std::string adapterPath(const std::string& relative) const { return path(std::string(kAdapter) + "/" + relative); }

    static void write(const std::string& path, const std::string& text, int mode = 0600);
    // The file's contents, or "<absent>".
    static std::string read(const std::string& path);

    // True when every file is exactly as the constructor wrote it.
    bool untouched() const;
    // True when the bond and the names are as written (whatever happened to the caches).
    bool keysAndNamesIntact() const;

private:
    TempDir dir_;
};

}  // namespace tandril::test
