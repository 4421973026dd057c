#include "foundation/UserDefaults.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"

namespace tandril {

namespace {
// PropertyList::readFile's code for a file that is not there.
constexpr std::int64_t kNoSuchFileCode = 260;
// How many unreadable files of a domain are kept beside it.
constexpr std::size_t kKeptDamagedFiles = 3;

struct Standard {
    std::mutex mutex;
    std::string domain;
    std::unique_ptr<UserDefaults> instance;
};

Standard& standard() {
    static Standard s;
    return s;
}

// An exclusive lock on `path` (created when missing) for as long as it lives, shared
// with every other process that locks the same file. Without the lock file (a folder
// that cannot be written) the write goes ahead unlocked, and fails or not on its own.
// A write holds the lock for a few milliseconds; one that is held for longer than
// kLockPatience (its holder stopped in a debugger, say) is not waited for any longer:
// the write goes ahead unlocked rather than hang the program.
class ExclusiveFileLock {
public:
    static constexpr std::chrono::milliseconds kLockPatience{1000};

    explicit ExclusiveFileLock(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ < 0) return;
        const auto giveUp = std::chrono::steady_clock::now() + kLockPatience;
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) return;
            if (std::chrono::steady_clock::now() >= giveUp) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~ExclusiveFileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    ExclusiveFileLock(const ExclusiveFileLock&) = delete;
    ExclusiveFileLock& operator=(const ExclusiveFileLock&) = delete;

private:
    int fd_;
};
}  // namespace

// A file that cannot be read or parsed reads as empty, and is left as it is: nothing is
// written until a value is set (so a file damaged by hand or by another program is not
// wiped just by starting up). The first set replaces it with the values in memory.
UserDefaults::UserDefaults(std::string domain) : domain_(std::move(domain)) { load(); }

UserDefaults& UserDefaults::standardUserDefaults() {
    Standard& s = standard();
    std::lock_guard lock(s.mutex);
    if (!s.instance) {
        std::string domain = s.domain;
        if (domain.empty()) {
            auto bundle = Bundle::mainBundle();
            domain = bundle && bundle->bundleIdentifier() ? *bundle->bundleIdentifier() : "Tandril";
        }
        s.instance = std::make_unique<UserDefaults>(domain);
    }
    return *s.instance;
}

void UserDefaults::setStandardDomain(const std::string& domain) {
    Standard& s = standard();
    std::lock_guard lock(s.mutex);
    s.domain = domain;
    s.instance.reset();
}

void UserDefaults::resetStandardUserDefaults() {
    Standard& s = standard();
    std::lock_guard lock(s.mutex);
    s.instance.reset();
}

std::string UserDefaults::path() const { return Paths::join(Paths::defaultsDirectory(), domain_ + ".plist"); }

Dictionary UserDefaults::readFile() {
    ErrorPtr error;
    auto value = PropertyList::readFile(path(), &error);
    if (value && value->asDictionary()) {
        unreadable_.reset();
        return *value->asDictionary();
    }
    if (value) {
        unreadable_ = "its root is not a dictionary";
    } else if (error && error->code() != kNoSuchFileCode) {
        unreadable_ = error->localizedDescription();
    } else {
        unreadable_.reset();
    }
    return {};
}

// Before the first write over a file that could not be read: what it holds may still be
// repaired by hand, so it is kept beside the new one.
bool UserDefaults::setAsideUnreadableFile() {
    if (!unreadable_) return true;
    int number = 0;
    if (auto aside = Paths::moveAside(path(), "damaged", kKeptDamagedFiles, &number)) {
        log("[DEFAULTS] Unreadable defaults moved aside to %s (%s)", *aside, *unreadable_);
    } else if (number != ENOENT) {
        log("[DEFAULTS] Unreadable defaults could not be moved aside (%s) and are left in place, unsaved: %s",
            Paths::errorText(number), *unreadable_);
        return false;
    }
    unreadable_.reset();
    return true;
}

void UserDefaults::load() {
    std::lock_guard lock(mutex_);
    values_ = readFile();
}

Value UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? Value() : it->second;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    Value value = objectForKey(key);
    if (const std::string* s = value.asString()) return *s;
    // Numbers read as their text, as the platform's defaults do.
    if (value.isInteger() || value.isReal()) return value.description();
    return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(const std::string& key) const {
    Value value = objectForKey(key);
    if (const Array* a = value.asArray()) return *a;
    return std::nullopt;
}

bool UserDefaults::boolForKey(const std::string& key) const {
    Value value = objectForKey(key);
    if (auto b = value.asBoolean()) return *b;
    if (const std::string* s = value.asString()) {
        return *s == "YES" || *s == "yes" || *s == "true" || *s == "TRUE" || *s == "1";
    }
    return false;
}

void UserDefaults::setObject(const Value& value, const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        if (value.isNull()) {
            values_.erase(key);
        } else {
            values_.insert_or_assign(key, value);
        }
        pending_.insert_or_assign(key, value);
    }
    synchronize();
}

void UserDefaults::removeObjectForKey(const std::string& key) { setObject(Value(), key); }

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) {
        // Read under the lock: a set on another thread meanwhile must not be undone by
        // values read before it was written.
        values_ = readFile();
        return true;
    }
    // Written under the lock, so two threads' writes cannot land out of order.
    if (!Paths::createDirectories(Paths::defaultsDirectory())) {
        log("[DEFAULTS] Defaults not saved: the folder %s could not be created", Paths::defaultsDirectory());
        return false;
    }
    // Another process may have written its own keys since this one read the file: read
    // it again under the file lock and change only the keys set here. A file that cannot
    // be read gives nothing to build on; the values in memory stand in for it.
    const ExclusiveFileLock fileLock(path() + ".lock");
    // (A folder in the file's place is no damaged file to keep aside: the write fails
    // below and says why.)
    const bool folderInTheWay = Paths::isDirectory(path());
    Dictionary merged = folderInTheWay ? Dictionary() : readFile();
    if (folderInTheWay || unreadable_) merged = values_;
    for (const auto& [key, value] : pending_) {
        if (value.isNull()) {
            merged.erase(key);
        } else {
            merged.insert_or_assign(key, value);
        }
    }
    if (!setAsideUnreadableFile()) return false;
    ErrorPtr error;
    if (!PropertyList::writeFile(Value(merged), path(), PropertyList::Format::XML, &error)) {
        log("[DEFAULTS] Defaults not saved: %s", error ? error->localizedDescription() : std::string());
        return false;
    }
    values_ = std::move(merged);
    pending_.clear();
    return true;
}

}  // namespace tandril
