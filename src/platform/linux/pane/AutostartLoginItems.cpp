#include "platform/linux/pane/AutostartLoginItems.hpp"

#include <QDir>
#include <QString>

#include <algorithm>
#include <cstdio>

#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"

namespace tandril {

namespace {

constexpr const char* kSuffix = ".desktop";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A desktop-entry string value: "\s", "\n", "\t", "\r" and "\\" escapes.
std::string unescapeValue(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char c = value[++i];
        switch (c) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            default: out += c; break;
        }
    }
    return out;
}

// The value of `key` in the [Desktop Entry] group of `contents`.
std::optional<std::string> entryValue(const std::string& contents, const std::string& key) {
    bool inEntry = false;
    std::size_t start = 0;
    while (start <= contents.size()) {
        auto end = contents.find('\n', start);
        if (end == std::string::npos) end = contents.size();
        std::string line = contents.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry || line.empty() || line.front() == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string name = line.substr(0, equals);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        if (name != key) continue;
        std::size_t valueStart = equals + 1;
        while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
        return unescapeValue(line.substr(valueStart));
    }
    return std::nullopt;
}

// The program of an Exec value: its first argument, unquoted. "%%" is a percent sign wherever
// it stands (desktops expand it before unquoting); other field codes are dropped outside quotes.
std::optional<std::string> execProgram(const std::string& exec) {
    std::string current;
    bool inArgument = false;
    bool quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
            current += '%';
            inArgument = true;
            ++i;
        } else if (quoted) {
            if (c == '\\' && i + 1 < exec.size()) {
                current += exec[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = true;
            inArgument = true;
        } else if (c == ' ' || c == '\t') {
            if (inArgument && !current.empty()) return current;
            current.clear();
            inArgument = false;
        } else if (c == '%' && i + 1 < exec.size()) {
            ++i;
            inArgument = true;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (quoted || current.empty()) return std::nullopt;
    return current;
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

AutostartLoginItems::AutostartLoginItems(std::string folder)
    : folder_(folder.empty() ? Paths::autostartDirectory() : std::move(folder)) {}

bool AutostartLoginItems::open() { return Paths::isDirectory(folder_) || Paths::createDirectories(folder_); }

std::string AutostartLoginItems::resolvedPathFor(const std::string& path) {
    if (Paths::isDirectory(path)) {
        if (const auto bundle = Bundle::bundleWithPath(path)) {
            const auto executable = bundle->objectForInfoDictionaryKey("CFBundleExecutable");
            if (executable.isString()) return bundle->executablePath();
        }
    }
    return path;
}

std::string AutostartLoginItems::execValueForProgram(const std::string& program) {
    // Exec quoting: an argument with reserved characters goes in double quotes, in which
    // '"', '`', '$' and '\' take a backslash; a percent sign is doubled (field codes).
    static const std::string reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string argument;
    if (program.find_first_of(reserved) != std::string::npos) {
        argument = "\"";
        for (char c : program) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
            argument += c;
        }
        argument += '"';
    } else {
        argument = program;
    }
    std::string doubled;
    for (char c : argument) {
        doubled += c;
        if (c == '%') doubled += '%';
    }
    // Then the string value's own escapes.
    std::string value;
    for (char c : doubled) {
        if (c == '\\') {
            value += "\\\\";
        } else if (c == '\n') {
            value += "\\n";
        } else if (c == '\t') {
            value += "\\t";
        } else if (c == '\r') {
            value += "\\r";
        } else {
            value += c;
        }
    }
    return value;
}

bool AutostartLoginItems::insertItemLast(const std::string& path) {
    if (path.empty() || !open()) return false;
    const std::string program = resolvedPathFor(path);
    std::string stem = baseName(program);
    std::string name = stem;
    if (Paths::isDirectory(path)) {
        if (const auto bundle = Bundle::bundleWithPath(path)) {
            if (const auto identifier = bundle->bundleIdentifier(); identifier && !identifier->empty()) {
                stem = *identifier;
            }
            const auto bundleName = bundle->objectForInfoDictionaryKey("CFBundleName");
            if (bundleName.isString()) name = *bundleName.asString();
        }
    }
    if (stem.empty() || stem[0] == '.' || stem.find('/') != std::string::npos) stem = "login-item";
    // The first file of that name that is free or already starts this program.
    std::string item;
    for (int n = 1; n < 1000 && item.empty(); ++n) {
        const std::string candidate = n == 1 ? stem + kSuffix : stem + "-" + std::to_string(n) + kSuffix;
        const std::string file = Paths::join(folder_, candidate);
        if (!Paths::fileExists(file) || resolve(candidate) == program) item = candidate;
    }
    if (item.empty()) return false;
    std::string displayName;
    for (char c : name) displayName += (c == '\n' || c == '\r') ? ' ' : c;
    const std::string contents = "[Desktop Entry]\n"
                                 "Type=Application\n"
                                 "Name=" + displayName + "\n"
                                 "Exec=" + execValueForProgram(program) + "\n"
                                 "NoDisplay=true\n"
                                 "X-GNOME-Autostart-enabled=true\n";
    return Paths::writeFileAtomically(Paths::join(folder_, item), contents);
}

std::vector<std::string> AutostartLoginItems::snapshot() {
    std::vector<std::string> items;
    const QDir dir(QString::fromStdString(folder_));
    const auto names = dir.entryList({QStringLiteral("*.desktop")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const auto& name : names) items.push_back(name.toStdString());
    return items;
}

bool AutostartLoginItems::isPlainItemName(const std::string& item) const {
    return !item.empty() && item.find('/') == std::string::npos && item != "." && item != ".." &&
           endsWith(item, kSuffix);
}

std::optional<std::string> AutostartLoginItems::resolve(const std::string& item) {
    if (!isPlainItemName(item)) return std::nullopt;
    const auto contents = Paths::readFile(Paths::join(folder_, item));
    if (!contents) return std::nullopt;
    const auto exec = entryValue(*contents, "Exec");
    if (!exec) return std::nullopt;
    return execProgram(*exec);
}

bool AutostartLoginItems::removeItem(const std::string& item) {
    if (!isPlainItemName(item)) return false;
    return std::remove(Paths::join(folder_, item).c_str()) == 0;
}

}  // namespace tandril
