#include "platform/linux/cbcache/CBCacheStore.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace tandril {

namespace {

// Closes a descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};

// The names in the folder open as `fd`, sorted, without "." and "..".
std::vector<std::string> namesIn(int fd) {
    std::vector<std::string> names;
    const int copy = ::dup(fd);
    if (copy < 0) return names;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool readAll(int fd, std::string& text) {
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > CBCacheStore::kMaximumFileSize) {
            errno = EFBIG;
            return false;
        }
    }
}

bool writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool onlyWhitespace(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
}

std::string errorText(int error) { return std::strerror(error); }

}  // namespace

CBCacheStore::CBCacheStore(std::string root) : root_(std::move(root)) {}

bool CBCacheStore::isAddress(const std::string& name) {
    if (name.size() != 17) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (i % 3 == 2) {
            if (name[i] != ':') return false;
        } else if (!std::isxdigit(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> CBCacheStore::withoutGroup(const std::string& text, const std::string& group) {
    const std::string header = "[" + group + "]";
    std::string out;
    out.reserve(text.size());
    bool found = false;
    bool skipping = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        // A group header is a line starting with '['; trailing blanks and CR do not count.
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r' || trimmed.back() == ' ' ||
                                    trimmed.back() == '\t')) {
            trimmed.pop_back();
        }
        if (!trimmed.empty() && trimmed.front() == '[') {
            skipping = trimmed == header;
            found = found || skipping;
        }
        if (!skipping) out += line;
        start = end;
    }
    if (!found) return std::nullopt;
    return out;
}

CBCacheStore::Result CBCacheStore::clearAttributes() const {
    Result result;
    // The root is the one path that is followed as given (it may be a link on some systems).
    Descriptor rootFd(::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) {
        if (errno == ENOENT) {
            result.lines.push_back("No Bluetooth storage at " + root_ + ": nothing to clear.");
        } else {
            result.ok = false;
            result.lines.push_back("Could not open " + root_ + ": " + errorText(errno));
        }
        return result;
    }
    for (const auto& adapter : namesIn(rootFd.get())) {
        if (!isAddress(adapter)) continue;
        Descriptor adapterFd(::openat(rootFd.get(), adapter.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!adapterFd.valid()) {
            if (errno == ELOOP || errno == ENOTDIR) {
                result.lines.push_back("Skipped " + adapter + ": not a folder.");
            }
            continue;
        }
        clearAdapter(adapterFd.get(), adapter, result);
    }
    if (result.cleared == 0) {
        result.lines.push_back("No cached attributes to clear.");
    } else {
        result.lines.push_back("Cleared the cached attributes of " + std::to_string(result.cleared) +
                               (result.cleared == 1 ? " device." : " devices."));
    }
    return result;
}

void CBCacheStore::clearAdapter(int adapterFd, const std::string& adapter, Result& result) const {
    Descriptor cacheFd(::openat(adapterFd, "cache", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!cacheFd.valid()) {
        if (errno == ELOOP || errno == ENOTDIR) result.lines.push_back("Skipped " + adapter + "/cache: not a folder.");
        return;
    }
    for (const auto& device : namesIn(cacheFd.get())) {
        if (isAddress(device)) clearFile(cacheFd.get(), adapter, device, result);
    }
}

void CBCacheStore::clearFile(int cacheFd, const std::string& adapter, const std::string& device, Result& result) const {
    const std::string name = adapter + "/cache/" + device;
    // Only plain files are opened (a device node is not opened at all); O_NONBLOCK and
    // O_NOCTTY cover one swapped in between the look and the open, and the open file is
    // looked at again below.
    struct stat entry {};
    if (::fstatat(cacheFd, device.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(entry.st_mode)) {
        result.lines.push_back("Skipped " + name + (S_ISLNK(entry.st_mode) ? ": a symbolic link." : ": not a plain file."));
        return;
    }
    Descriptor fd(::openat(cacheFd, device.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ELOOP) {
            result.lines.push_back("Skipped " + name + ": a symbolic link.");
        } else {
            result.ok = false;
            result.lines.push_back("Could not read " + name + ": " + errorText(errno));
        }
        return;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        result.lines.push_back("Skipped " + name + ": not a plain file.");
        return;
    }
    if (static_cast<std::size_t>(info.st_size) > kMaximumFileSize) {
        result.lines.push_back("Skipped " + name + ": too large for a cache file.");
        return;
    }
    std::string text;
    if (!readAll(fd.get(), text)) {
        result.ok = false;
        result.lines.push_back("Could not read " + name + ": " + errorText(errno));
        return;
    }
    const auto rest = withoutGroup(text, kAttributesGroup);
    if (!rest) return;

    if (onlyWhitespace(*rest)) {
        // Nothing but the attributes: BlueZ makes the file again when it needs one.
        if (::unlinkat(cacheFd, device.c_str(), 0) != 0) {
            result.ok = false;
            result.lines.push_back("Could not remove " + name + ": " + errorText(errno));
            return;
        }
    } else {
        // The rest goes to a new file beside it, renamed over the old one: BlueZ finds the
        // old contents or the new, never a part.
        const std::string temporary = "." + device + ".tandril-new";
        ::unlinkat(cacheFd, temporary.c_str(), 0);
        Descriptor out(::openat(cacheFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        bool written = out.valid();
        if (written) {
            // Same owner and mode as the file it replaces (failures leave root's 0600).
            (void)::fchown(out.get(), info.st_uid, info.st_gid);
            (void)::fchmod(out.get(), info.st_mode & 07777);
            written = writeAll(out.get(), *rest) && ::fsync(out.get()) == 0;
        }
        if (!written || ::renameat(cacheFd, temporary.c_str(), cacheFd, device.c_str()) != 0) {
            const int error = errno;
            ::unlinkat(cacheFd, temporary.c_str(), 0);
            result.ok = false;
            result.lines.push_back("Could not rewrite " + name + ": " + errorText(error));
            return;
        }
    }
    ++result.cleared;
    result.lines.push_back("Cleared the cached attributes of " + device + " (adapter " + adapter + ").");
}

}  // namespace tandril
