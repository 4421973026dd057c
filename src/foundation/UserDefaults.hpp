#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/Value.hpp"

namespace tandril {

// User defaults: one property-list file per domain, Paths::defaultsDirectory()/<domain>.plist.
// Values are kept in memory; synchronize() writes the file atomically. Setters record the
// change and synchronize at once, so a crash loses nothing. Several processes write the
// same file (the agent and the settings application share the agent's domain): a write
// re-reads the file and applies only the keys this instance changed, under an exclusive
// lock on <domain>.plist.lock beside it, so a key another process wrote meanwhile is kept.
// A file that cannot be
// read or parsed reads as empty and is left untouched until the next set, which first
// moves it aside (<domain>.plist.damaged-<UTC time>) and then writes the values in memory;
// when it cannot be moved, nothing is written. Failed writes are logged with their cause.
// standardUserDefaults() hands out a reference that resetStandardUserDefaults() and
// setStandardDomain() invalidate: look it up again rather than keeping it.
class UserDefaults {
public:
    explicit UserDefaults(std::string domain);

    // The program's own domain (set with setStandardDomain at start-up).
    static UserDefaults& standardUserDefaults();
    static void setStandardDomain(const std::string& domain);
    // Forgets the shared instance (tests, after redirecting Paths).
    static void resetStandardUserDefaults();

    const std::string& domain() const { return domain_; }
    std::string path() const;

    Value objectForKey(const std::string& key) const;  // null when absent
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<Array> arrayForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;

    void setObject(const Value& value, const std::string& key);  // a null value removes
    void removeObjectForKey(const std::string& key);

    // Re-reads the file (when not dirty) and writes pending changes. True on success.
    bool synchronize();

private:
    void load();
    Dictionary readFile();  // the file's values; empty when it cannot be read
    bool setAsideUnreadableFile();
    std::string domain_;
    mutable std::mutex mutex_;
    Dictionary values_;
    // Keys set (a null value: removed) but not yet written, e.g. because the last write failed.
    Dictionary pending_;
    // Why the file on disk could not be read, while it is still there to be kept.
    std::optional<std::string> unreadable_;
};

}  // namespace tandril
