#include "cbcache/BlueZTree.hpp"

#include <sys/stat.h>

#include <fstream>

namespace tandril::test {

const std::string BlueZTree::kPhoneCache =
    "[General]\n"
    "Name=Anna's iPhone\n"
    "\n"
    "[Attributes]\n"
    "0x0001=2800:0x0005:1800\n"
    "0x0003=2803:0x0004:02:2a00\n"
    "0x0030=2800:0x0038:7905f431-b5ce-4e99-a40f-4b1e122d00d0\n"
    "\n"
    "[ServiceRecords]\n"
    "0x00010000=35083A1910021200\n";
const std::string BlueZTree::kPhoneCacheCleared =
    "[General]\n"
    "Name=Anna's iPhone\n"
    "\n"
    "[ServiceRecords]\n"
    "0x00010000=35083A1910021200\n";
const std::string BlueZTree::kWatchCache =
    "[Attributes]\n"
    "0x0001=2800:0x0007:1800\n";
const std::string BlueZTree::kPhoneInfo =
    "[General]\n"
    "Name=Anna's iPhone\n"
    "AddressType=public\n"
    "SupportedTechnologies=BR/EDR;LE;\n"
    "Trusted=true\n"
    "\n"
    "[LinkKey]\n"
    "Key=9A1B2C3D4E5F60718293A4B5C6D7E8F9\n"
    "Type=4\n"
    "PINLength=0\n"
    "\n"
    "[LongTermKey]\n"
    "Key=0F1E2D3C4B5A69788796A5B4C3D2E1F0\n"
    "Authenticated=1\n"
    "EncSize=16\n"
    "EDiv=0\n"
    "Rand=0\n"
    "\n"
    "[Attributes]\n"
    "0x0001=not a cache: info files are never rewritten\n";
const std::string BlueZTree::kSettings = "[General]\nDiscoverable=false\n";

BlueZTree::BlueZTree() {
    const std::string adapter = path(kAdapter);
    ::mkdir(root().c_str(), 0700);
    ::mkdir(adapter.c_str(), 0700);
    ::mkdir((adapter + "/cache").c_str(), 0700);
    ::mkdir((adapter + "/" + kPhone).c_str(), 0700);
    write(adapter + "/settings", kSettings);
    write(adapter + "/cache/" + kPhone, kPhoneCache, 0640);
    write(adapter + "/cache/" + kWatch, kWatchCache);
    write(adapter + "/" + kPhone + "/info", kPhoneInfo);
}

void BlueZTree::write(const std::string& path, const std::string& text, int mode) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string BlueZTree::read(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return "<absent>";
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

bool BlueZTree::keysAndNamesIntact() const {
    return read(adapterPath(std::string(kPhone) + "/info")) == kPhoneInfo &&
           read(adapterPath("settings")) == kSettings &&
           read(adapterPath(std::string("cache/") + kPhone)).rfind("[General]\nName=Anna's iPhone\n", 0) == 0;
}

bool BlueZTree::untouched() const {
    return keysAndNamesIntact() && read(adapterPath(std::string("cache/") + kPhone)) == kPhoneCache &&
           read(adapterPath(std::string("cache/") + kWatch)) == kWatchCache;
}

}  // namespace tandril::test
