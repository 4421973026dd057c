#include "foundation/Paths.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
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

bool Paths::isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<std::string> Paths::readFile(const std::string& path) {
    if (isDirectory(path)) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream contents;
    contents << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return contents.str();
}

bool Paths::writeFileAtomically(const std::string& path, const std::string& contents) {
    return writeFileAtomically(path, contents, gSyncWrites.load());
}

void Paths::setSyncWrites(bool enabled) { gSyncWrites.store(enabled); }

bool Paths::writeFileAtomically(const std::string& path, const std::string& contents, bool syncToDisk) {
    if (path.empty() || path.back() == '/') return false;
    std::string folder = parentOf(path);
    // The temporary file sits in the same folder, so rename(2) replaces `path` in one step.
    std::string temporary = join(folder, "." + fileNameOf(path) + ".XXXXXX");
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) return false;
    // Keep the mode of the file being replaced; a new file is readable by everyone, as
    // the platform's files are (the owner alone may write).
    struct stat existing {};
    mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, contents) && (!syncToDisk || ::fsync(fd) == 0);
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(name.data(), path.c_str()) == 0) return true;
    ::unlink(name.data());
    return false;
}

}  // namespace tandril
