#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tandril {

// The per-user folders, following the XDG base directories. Every one can be redirected
// (tests, the simulator's separate data) with the set… calls; an empty text restores the default.
class Paths {
public:
    // $XDG_DATA_HOME, default ~/.local/share: the Application Support counterpart.
    static std::string applicationSupportDirectory();
    static void setApplicationSupportDirectory(const std::string& path);

    // $XDG_CONFIG_HOME, default ~/.config.
    static std::string configDirectory();
    static void setConfigDirectory(const std::string& path);

    // Where user defaults live: configDirectory()/Tandril.
    static std::string defaultsDirectory();
    static void setDefaultsDirectory(const std::string& path);

    // $XDG_CONFIG_HOME/autostart.
    static std::string autostartDirectory();

    static std::string homeDirectory();

    // Joins with one "/" between parts.
    static std::string join(const std::string& a, const std::string& b);
    // Creates the folder and its parents when nothing exists at `path`. True when a folder is there.
    static bool createDirectories(const std::string& path);
    static bool fileExists(const std::string& path);
    // The names in a folder (not "." or ".."), in no particular order; empty when it cannot be read.
    static std::vector<std::string> contentsOfDirectory(const std::string& path);
    static bool isDirectory(const std::string& path);
    // Reads a whole file; nullopt when it cannot be read (a folder cannot), with the
    // system's error number in *errorNumber when given.
    static std::optional<std::string> readFile(const std::string& path, int* errorNumber = nullptr);
    // Writes to a temporary file in the same folder, then renames it over `path`: readers
    // see the old contents or the new, never a part. The two-argument form also flushes the
    // file to disk before the rename; pass syncToDisk = false to skip that (scratch files).
    static bool writeFileAtomically(const std::string& path, const std::string& contents);
    // On failure *errorNumber, when given, holds the system's error number.
    static bool writeFileAtomically(const std::string& path, const std::string& contents, bool syncToDisk,
                                    int* errorNumber = nullptr);
    // Whether the two-argument form flushes to disk (default true). Test fixtures turn it
    // off: a flush protects against power loss, which tests do not simulate.
    static void setSyncWrites(bool enabled);
    static bool syncWrites();

    // Renames whatever is at `path` to "<path>.<tag>-<UTC time>" (with "-2", "-3"... when
    // that name is taken, so nothing is ever replaced), then removes the oldest such files
    // beyond the newest `keep`. The new path; nullopt and *errorNumber when the rename fails.
    static std::optional<std::string> moveAside(const std::string& path, const std::string& tag, std::size_t keep,
                                                int* errorNumber = nullptr);

    // The temporary files writeFileAtomically leaves when its process dies between creating
    // one and renaming it: "." + the target's name + "." + six letters or digits, in the
    // target's folder. Removes those in `folder` (regular files only) whose target name
    // `isOurs` accepts and that were last written more than `olderThan` ago (a younger one
    // may be another process's write in progress). Returns the paths it removed.
    static std::vector<std::string> removeStaleTemporaryFiles(const std::string& folder,
                                                              const std::function<bool(std::string_view)>& isOurs,
                                                              std::chrono::seconds olderThan);

    // The system's text for an error number (strerror).
    static std::string errorText(int errorNumber);
};

}  // namespace tandril
