#include "foundation/Paths.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string_view>
#include <vector>

namespace tandril {

namespace {
struct Overrides {
    std::mutex mutex;
    std::string applicationSupport;
    std::string config;
    std::string defaults;
};

std::atomic<bool> gSyncWrites{true};

Overrides& overrides() {
    static Overrides o;
    return o;
}

std::string overrideOf(std::string Overrides::*member) {
    std::lock_guard lock(overrides().mutex);
    return overrides().*member;
}

void setOverride(std::string Overrides::*member, const std::string& value) {
    std::lock_guard lock(overrides().mutex);
    overrides().*member = value;
}

// An XDG variable counts only when it holds an absolute path.
std::string xdgDirectory(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return value;
    return Paths::join(Paths::homeDirectory(), fallback);
}

std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string fileNameOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAll(int fd, const std::string& contents) {
    const char* p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}
}  // namespace

std::string Paths::applicationSupportDirectory() {
    std::string o = overrideOf(&Overrides::applicationSupport);
    return o.empty() ? xdgDirectory("XDG_DATA_HOME", ".local/share") : o;
}

void Paths::setApplicationSupportDirectory(const std::string& path) {
    setOverride(&Overrides::applicationSupport, path);
}

std::string Paths::configDirectory() {
    std::string o = overrideOf(&Overrides::config);
    return o.empty() ? xdgDirectory("XDG_CONFIG_HOME", ".config") : o;
}

void Paths::setConfigDirectory(const std::string& path) { setOverride(&Overrides::config, path); }

std::string Paths::defaultsDirectory() {
    std::string o = overrideOf(&Overrides::defaults);
    return o.empty() ? join(configDirectory(), "Tandril") : o;
}

void Paths::setDefaultsDirectory(const std::string& path) { setOverride(&Overrides::defaults, path); }

std::string Paths::autostartDirectory() { return join(configDirectory(), "autostart"); }

std::string Paths::homeDirectory() {
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0') return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir) {
        return result->pw_dir;
    }
    return "/";
}

std::string Paths::join(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    bool aSlash = a.back() == '/';
    bool bSlash = b.front() == '/';
    if (aSlash && bSlash) return a + b.substr(1);
    if (aSlash || bSlash) return a + b;
    return a + "/" + b;
}

bool Paths::createDirectories(const std::string& path) {
    if (path.empty()) return false;
    if (isDirectory(path)) return true;
    if (fileExists(path)) return false;  // something else is in the way
    std::string parent = parentOf(path);
    if (parent != path && !isDirectory(parent) && !createDirectories(parent)) return false;
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    return errno == EEXIST && isDirectory(path);  // another process may have made it
}

bool Paths::fileExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

std::vector<std::string> Paths::contentsOfDirectory(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* directory = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(directory)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") names.emplace_back(name);
        }
        ::closedir(directory);
    }
    return names;
}

bool Paths::isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> Paths::readFile(const std::string& path, int* errorNumber) {
    auto failed = [errorNumber](int number) -> std::optional<std::string> {
        if (errorNumber) *errorNumber = number;
        return std::nullopt;
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return failed(errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int number = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd);
        return failed(number);
    }
    std::string contents;
    if (S_ISREG(info.st_mode) && info.st_size > 0) contents.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int number = errno;
            ::close(fd);
            return failed(number);
        }
        contents.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return contents;
}

bool Paths::writeFileAtomically(const std::string& path, const std::string& contents) {
    return writeFileAtomically(path, contents, gSyncWrites.load());
}

void Paths::setSyncWrites(bool enabled) { gSyncWrites.store(enabled); }

bool Paths::syncWrites() { return gSyncWrites.load(); }

bool Paths::writeFileAtomically(const std::string& path, const std::string& contents, bool syncToDisk,
                                int* errorNumber) {
    auto failed = [errorNumber](int number) {
        if (errorNumber) *errorNumber = number;
        return false;
    };
    if (path.empty() || path.back() == '/') return failed(EISDIR);
    std::string folder = parentOf(path);
    // The temporary file sits in the same folder, so rename(2) replaces `path` in one step.
    std::string temporary = join(folder, "." + fileNameOf(path) + ".XXXXXX");
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return failed(errno);
    // Keep the mode of the file being replaced; a new file is readable by everyone, as
    // the platform's files are (the owner alone may write).
    struct stat existing {};
    mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, contents) && (!syncToDisk || ::fsync(fd) == 0);
    int number = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        number = errno;
    }
    if (ok && ::rename(name.data(), path.c_str()) == 0) return true;
    if (ok) number = errno;
    ::unlink(name.data());
    return failed(number);
}

std::vector<std::string> Paths::removeStaleTemporaryFiles(const std::string& folder,
                                                          const std::function<bool(std::string_view)>& isOurs,
                                                          std::chrono::seconds olderThan) {
    // mkstemp's six characters.
    constexpr std::size_t kSuffixLength = 6;
    auto isSuffixCharacter = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    };
    std::vector<std::string> removed;
    const auto now = std::chrono::system_clock::now();
    for (const std::string& name : contentsOfDirectory(folder)) {
        // ".", at least one character of target name, ".", six characters.
        if (name.size() < kSuffixLength + 3 || name.front() != '.') continue;
        const std::size_t dot = name.size() - kSuffixLength - 1;
        if (name[dot] != '.') continue;
        if (!std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(), isSuffixCharacter)) continue;
        const std::string_view target = std::string_view(name).substr(1, dot - 1);
        if (!isOurs || !isOurs(target)) continue;
        const std::string path = join(folder, name);
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        const auto written = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
        if (now - written <= olderThan) continue;
        if (::unlink(path.c_str()) == 0) removed.push_back(path);
    }
    return removed;
}

std::optional<std::string> Paths::moveAside(const std::string& path, const std::string& tag, std::size_t keep,
                                            int* errorNumber) {
    const std::string folder = parentOf(path);
    const std::string prefix = fileNameOf(path) + "." + tag + "-";
    // Earlier copies, ordered by when they were moved aside: by time stamp, then by the
    // number that tells apart copies made within one second (none counts as 1).
    struct Copy {
        std::string stamp;
        unsigned long number;
        std::string name;
    };
    auto listCopies = [&] {
        std::vector<Copy> copies;
        for (const std::string& name : contentsOfDirectory(folder)) {
            if (name.compare(0, prefix.size(), prefix) != 0) continue;
            const std::string rest = name.substr(prefix.size());
            const auto dash = rest.find('-');
            const std::string number = dash == std::string::npos ? "" : rest.substr(dash + 1);
            const bool numeric = !number.empty() && number.size() < 10 &&
                                 number.find_first_not_of("0123456789") == std::string::npos;
            copies.push_back({rest.substr(0, dash), numeric ? std::stoul(number) : 1, name});
        }
        std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) {
            return a.stamp != b.stamp ? a.stamp < b.stamp : a.number < b.number;
        });
        return copies;
    };

    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    unsigned long number = 0;
    for (const Copy& copy : listCopies()) {
        if (copy.stamp == stamp) number = std::max(number, copy.number);
    }
    std::string target = path + "." + tag + "-" + stamp;
    if (number > 0) target += "-" + std::to_string(number + 1);
    struct stat taken {};
    if (::lstat(target.c_str(), &taken) == 0) {  // a name this scheme did not make
        if (errorNumber) *errorNumber = EEXIST;
        return std::nullopt;
    }
    if (::rename(path.c_str(), target.c_str()) != 0) {
        if (errorNumber) *errorNumber = errno;
        return std::nullopt;
    }
    const std::vector<Copy> copies = listCopies();
    for (std::size_t i = 0; i + keep < copies.size(); ++i) {
        ::unlink(join(folder, copies[i].name).c_str());  // a folder stays: only files are removed
    }
    return target;
}

std::string Paths::errorText(int errorNumber) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in the buffer.
    return strerror_r(errorNumber, buffer, sizeof buffer);
}

}  // namespace tandril
