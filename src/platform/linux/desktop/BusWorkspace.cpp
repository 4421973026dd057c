#include "platform/linux/desktop/BusWorkspace.hpp"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QTextStream>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "platform/linux/desktop/BusRunningApplication.hpp"
#include "platform/linux/desktop/BusSleepMonitor.hpp"

namespace tandril {

namespace {

// A well-known bus name: dot-separated elements of [A-Za-z0-9_-], not starting with a digit.
bool isWellKnownName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name[0] == ':' || name[0] == '.') return false;
    bool sawDot = false;
    bool elementStart = true;
    for (const char c : name) {
        if (c == '.') {
            if (elementStart) return false;
            sawDot = true;
            elementStart = true;
            continue;
        }
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit) return false;
        if (elementStart && digit) return false;
        elementStart = false;
    }
    return sawDot && !elementStart;
}

// The value of `key` in the [Desktop Entry] group of a desktop file.
std::optional<QString> desktopEntryValue(const std::string& path, const QString& key) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return std::nullopt;
    QTextStream in(&file);
    bool inEntry = false;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inEntry || line.startsWith(QLatin1Char('#'))) continue;
        const auto equals = line.indexOf(QLatin1Char('='));
        if (equals < 0 || line.left(equals).trimmed() != key) continue;
        return line.mid(equals + 1).trimmed();
    }
    return std::nullopt;
}

bool startDetached(const QStringList& command) {
    if (command.isEmpty()) return false;
    return QProcess::startDetached(command.first(), command.mid(1), QString::fromStdString(Paths::homeDirectory()));
}

}  // namespace

BusWorkspace::BusWorkspace(const QDBusConnection& sessionBus) : bus_(sessionBus) {
    bus_.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                 QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                 SLOT(onNameOwnerChanged(QString, QString, QString)));
}

BusWorkspace::~BusWorkspace() = default;

void BusWorkspace::followSleep(const QDBusConnection& systemBus) {
    sleepMonitor_ = std::make_unique<BusSleepMonitor>(
        systemBus, [this] { post(NSWorkspaceWillSleepNotification); }, [this] { post(NSWorkspaceDidWakeNotification); });
    sleepMonitor_->start();
}

void BusWorkspace::addObserver(const std::string& name, Handler handler) { handlers_.emplace_back(name, std::move(handler)); }

void BusWorkspace::post(const std::string& name) {
    const auto current = handlers_;
    for (const auto& [observed, handler] : current) {
        if (observed == name && handler) handler();
    }
}

std::vector<std::shared_ptr<TDRRunningApplication>> BusWorkspace::runningApplicationsWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    if (!isWellKnownName(bundleIdentifier) || !bus_.isConnected()) return {};
    const QString name = QString::fromStdString(bundleIdentifier);
    const auto registered = bus_.interface()->isServiceRegistered(name);
    if (!registered.isValid() || !registered.value()) return {};
    return {std::make_shared<BusRunningApplication>(bus_, name)};
}

std::optional<std::string> BusWorkspace::desktopEntryPath(const std::string& identifier) {
    if (identifier.empty() || identifier.find('/') != std::string::npos) return std::nullopt;
    std::vector<std::string> folders{Paths::applicationSupportDirectory()};
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    const std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    std::size_t start = 0;
    while (start <= list.size()) {
        const std::size_t end = std::min(list.find(':', start), list.size());
        if (end > start && list[start] == '/') folders.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    for (const auto& folder : folders) {
        const std::string path = Paths::join(Paths::join(folder, "applications"), identifier + ".desktop");
        if (!Paths::fileExists(path)) continue;
        // A hidden entry counts as deleted, and hides the ones after it.
        if (desktopEntryValue(path, QStringLiteral("Hidden")).value_or(QString()) == QLatin1String("true")) return std::nullopt;
        return path;
    }
    return std::nullopt;
}

QStringList BusWorkspace::execArguments(const QString& exec) {
    QStringList arguments;
    QString current;
    bool inArgument = false;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (quoted) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                current += exec.at(++i);
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                current += c;
            }
            continue;
        }
        if (c == QLatin1Char('"')) {
            quoted = true;
            inArgument = true;
        } else if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inArgument) arguments << current;
            current.clear();
            inArgument = false;
        } else if (c == QLatin1Char('%') && i + 1 < exec.size()) {
            const QChar code = exec.at(++i);
            if (code == QLatin1Char('%')) current += code;  // "%%" is a percent sign
            inArgument = true;  // other field codes stand for what no launch here supplies
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (quoted) return {};
    if (inArgument) arguments << current;
    arguments.removeAll(QString());
    return arguments;
}

bool BusWorkspace::launchAppWithBundleIdentifier(const std::string& bundleIdentifier, std::uint32_t) {
    // Launches are always asynchronous here: the program starts detached.
    const auto entry = desktopEntryPath(bundleIdentifier);
    if (!entry) {
        log("[BusWorkspace] No desktop entry for %s", bundleIdentifier);
        return false;
    }
    const auto exec = desktopEntryValue(*entry, QStringLiteral("Exec"));
    const QStringList command = exec ? execArguments(*exec) : QStringList();
    if (command.isEmpty()) {
        log("[BusWorkspace] The desktop entry %s has no usable Exec line", *entry);
        return false;
    }
    if (!startDetached(command)) {
        log("[BusWorkspace] Could not start %s", command.first().toStdString());
        return false;
    }
    return true;
}

bool BusWorkspace::openFile(const std::string& path) {
    if (path.empty()) return false;
    const std::string infoPlist = Paths::join(path, "Contents/Info.plist");
    if (Paths::isDirectory(path) && Paths::fileExists(infoPlist)) {
        const auto info = PropertyList::readFile(infoPlist);
        const std::string* identifier = info ? (*info)["CFBundleIdentifier"].asString() : nullptr;
        const auto running = identifier ? runningApplicationsWithBundleIdentifier(*identifier)
                                        : std::vector<std::shared_ptr<TDRRunningApplication>>();
        if (!running.empty()) return static_cast<BusRunningApplication&>(*running.front()).activate();
        if (identifier && desktopEntryPath(*identifier)) return launchAppWithBundleIdentifier(*identifier, NSWorkspaceLaunchDefault);
        if (info && (*info)["CFBundleExecutable"].isString()) return launchApplicationAtPath(path);
    }
    if (!Paths::fileExists(path)) return false;
    return openURL(path);
}

bool BusWorkspace::launchApplicationAtPath(const std::string& bundlePath) {
    const auto info = PropertyList::readFile(Paths::join(bundlePath, "Contents/Info.plist"));
    const std::string* executable = info ? (*info)["CFBundleExecutable"].asString() : nullptr;
    // The executable's name must stay inside Contents/MacOS.
    if (!executable || executable->empty() || executable->find('/') != std::string::npos || *executable == "..") {
        log("[BusWorkspace] %s names no executable", bundlePath);
        return false;
    }
    const std::string program = Paths::join(bundlePath, "Contents/MacOS/" + *executable);
    if (::access(program.c_str(), X_OK) != 0 || !startDetached({QString::fromStdString(program)})) {
        log("[BusWorkspace] Could not start %s", program);
        return false;
    }
    return true;
}

bool BusWorkspace::openURL(const std::string& url) {
    // A text that starts with a dash would be read as an option.
    if (url.empty() || url[0] == '-') return false;
    const bool started = startDetached({QStringLiteral("xdg-open"), QString::fromStdString(url)});
    if (!started) log("[BusWorkspace] Could not run xdg-open for %s", url);
    return started;
}

void BusWorkspace::addRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) {
    if (observer) observers_.emplace_back(observer, context);
}

void BusWorkspace::removeRunningApplicationsObserver(TDRKeyValueObserver* observer, const void* context) {
    const auto match = std::make_pair(observer, context);
    observers_.erase(std::remove(observers_.begin(), observers_.end(), match), observers_.end());
}

void BusWorkspace::onNameOwnerChanged(const QString& name, const QString&, const QString&) {
    if (name.startsWith(QLatin1Char(':'))) return;  // a connection, not an application
    const auto current = observers_;
    for (const auto& entry : current) {
        // An observer removed by an earlier one in this round is not called.
        if (std::find(observers_.begin(), observers_.end(), entry) == observers_.end()) continue;
        entry.first->observeValueForKeyPath(TDRRunningApplicationsKeyPath, this, entry.second);
    }
}

}  // namespace tandril
