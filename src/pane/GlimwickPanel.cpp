#include "pane/GlimwickPanel.hpp"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QVariant>

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

#include "foundation/Bundle.hpp"
#include "foundation/Log.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "foundation/UserDefaults.hpp"
#include "pane/APSwitch.hpp"
#include "pane/ApplicationView.hpp"
#include "pane/PaneAlert.hpp"
#include "pane/PaneCommandRunner.hpp"
#include "pane/PaneLoginItems.hpp"
#include "pane/PaneRunningApplication.hpp"
#include "pane/PaneWorkspace.hpp"
#include "shared/CatalogueFlag.hpp"
#include "shared/CatalogueKeys.hpp"
#include "shared/CataloguePaths.hpp"
#include "shared/TDRAgentDefaults.hpp"
#include "shared/TDRControlChannel.hpp"
#include "shared/UnicodeWhitespace.hpp"

namespace tandril {

namespace {

constexpr const char* kNotRunningText = "Tandril is not running.";
constexpr const char* kNotConnectedText = "Tandril is not connected to an iOS device.";
constexpr const char* kDisconnectTitle = "Disconnect";
constexpr const char* kSelectDeviceTitle = "Select Device";
constexpr const char* kUnsupportedTitle = "Tandril is not supported on this Mac.";
constexpr const char* kUnsupportedButton = "OK";
constexpr const char* kUnsupportedText = "Tandril requires Bluetooth 4.0, which is not supported on this Mac.";
// Check boxes remember which row and which application they were drawn for.
constexpr const char* kTagProperty = "tag";
constexpr const char* kBundleIdentifierProperty = "bundleIdentifier";

std::string replaceAll(std::string text, const std::string& what) {
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, what.size());
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> stringValue(const Dictionary& map, const char* key) {
    const auto it = map.find(key);
    if (it == map.end() || !it->second.isString()) return std::nullopt;
    return *it->second.asString();
}

// The catalogue file's elements, or nullopt when it is missing, unreadable or not an array.
std::optional<Array> readCatalogue(const std::string& path) {
    if (!Paths::fileExists(path)) return std::nullopt;
    const auto value = PropertyList::readFile(path);
    if (!value || !value->isArray()) return std::nullopt;
    return *value->asArray();
}

QPushButton* makeButton(const char* title, QWidget* parent) {
    auto* button = new QPushButton(QString::fromUtf8(title), parent);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

GlimwickPanel::GlimwickPanel(std::shared_ptr<Bundle> bundle, Platform platform)
    : GlimwickPanel(std::move(bundle), std::move(platform), Options{}) {}

GlimwickPanel::GlimwickPanel(std::shared_ptr<Bundle> bundle, Platform platform, Options options)
    : bundle_(std::move(bundle)),
      platform_(std::move(platform)),
      options_(std::move(options)),
      self_(std::make_shared<GlimwickPanel*>(this)) {
    buildView();
}

GlimwickPanel::~GlimwickPanel() {
    self_.reset();
    delete mainView_.data();
}

void GlimwickPanel::buildView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("GlimwickPanel"));
    auto* outer = new QVBoxLayout(view);
    outer->setContentsMargins(20, 20, 20, 16);
    outer->setSpacing(14);

    // The agent: switch, name and connection, device button.
    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    statusSwitch_ = new APSwitch(view);
    statusSwitch_->setObjectName(QStringLiteral("statusSwitch"));
    statusSwitch_->setAccessibleName(QStringLiteral("Tandril"));
    header->addWidget(statusSwitch_, 0, Qt::AlignVCenter);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* title = new QLabel(QStringLiteral("Tandril"), view);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.25);
    titleFont.setBold(true);
    title->setFont(titleFont);
    texts->addWidget(title);
    deviceLabel_ = new QLabel(view);
    deviceLabel_->setObjectName(QStringLiteral("deviceLabel"));
    // The phone's name comes from the phone: never markup.
    deviceLabel_->setTextFormat(Qt::PlainText);
    deviceLabel_->setWordWrap(true);
    texts->addWidget(deviceLabel_);
    allowIPhonesCheckBox_ = new QCheckBox(QStringLiteral("Allow iPhones to connect"), view);
    allowIPhonesCheckBox_->setObjectName(QStringLiteral("allowIPhonesCheckBox"));
    allowIPhonesCheckBox_->setToolTip(
        QStringLiteral("Lets an iPhone without the Tandril app connect: pick this computer in the iPhone's "
                       "Bluetooth settings."));
    allowIPhonesCheckBox_->setEnabled(false);
    texts->addWidget(allowIPhonesCheckBox_);
    header->addLayout(texts, 1);
    deviceButton_ = makeButton(kSelectDeviceTitle, view);
    deviceButton_->setObjectName(QStringLiteral("deviceButton"));
    header->addWidget(deviceButton_, 0, Qt::AlignVCenter);
    outer->addLayout(header);

    auto* line = new QFrame(view);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    outer->addWidget(line);

    auto* listTitle = new QLabel(QStringLiteral("Show notifications from these iPhone applications:"), view);
    outer->addWidget(listTitle);
    applicationsTableView_ = new QTableWidget(0, 1, view);
    applicationsTableView_->setObjectName(QStringLiteral("applicationsTableView"));
    applicationsTableView_->horizontalHeader()->hide();
    applicationsTableView_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    applicationsTableView_->verticalHeader()->hide();
    applicationsTableView_->setSelectionMode(QAbstractItemView::NoSelection);
    applicationsTableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    applicationsTableView_->setFocusPolicy(Qt::NoFocus);
    applicationsTableView_->setShowGrid(false);
    applicationsTableView_->setAlternatingRowColors(true);
    applicationsTableView_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    applicationsTableView_->setMinimumHeight(180);
    outer->addWidget(applicationsTableView_, 1);

    auto* footer = new QHBoxLayout;
    footer->setSpacing(8);
    auto* versionTitle = new QLabel(QStringLiteral("Version"), view);
    footer->addWidget(versionTitle);
    versionLabel_ = new QLabel(view);
    versionLabel_->setObjectName(QStringLiteral("versionLabel"));
    versionLabel_->setTextFormat(Qt::PlainText);
    versionLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    footer->addWidget(versionLabel_, 1);
    websiteButton_ = makeButton("FAQ", view);
    websiteButton_->setObjectName(QStringLiteral("websiteButton"));
    websiteButton_->setToolTip(QString::fromUtf8(options_.faqURL.c_str()));
    footer->addWidget(websiteButton_);
    updateButton_ = makeButton("Check for Updates", view);
    updateButton_->setObjectName(QStringLiteral("updateButton"));
    footer->addWidget(updateButton_);
    outer->addLayout(footer);

    connect(deviceButton_, &QPushButton::clicked, this, [this] { toggleDevice(); });
    connect(allowIPhonesCheckBox_, &QCheckBox::clicked, this, [this] { allowIPhonesChecked(); });
    connect(updateButton_, &QPushButton::clicked, this, [this] { checkForUpdates(); });
    connect(websiteButton_, &QPushButton::clicked, this, [this] { visitWebsite(); });
    mainView_ = view;
}

void GlimwickPanel::mainViewDidLoad() {
    if (loaded_) return;
    loaded_ = true;
    const std::weak_ptr<GlimwickPanel*> weak = self_;
    // 1. The control channel.
    if (platform_.notificationCenter) {
        platform_.notificationCenter->addObserver(TDRReceivedDeviceInformationNotification,
                                                  [weak](const TDRMessage& message) {
                                                      if (const auto self = weak.lock()) (*self)->receivedDeviceInformation(message);
                                                  });
        platform_.notificationCenter->addObserver(TDRUpdatedApplicationsNotification, [weak](const TDRMessage&) {
            if (const auto self = weak.lock()) (*self)->loadApplications();
        });
    }
    // 2. The version.
    versionLabel_->setText(QString::fromStdString(bundleVersion()));
    // 3. Off, before anything observes the switch.
    statusSwitch_->setOn(false, false);
    // 4. Observe the running applications and the switch.
    if (platform_.workspace) {
        platform_.workspace->addRunningApplicationsObserver([weak] {
            if (const auto self = weak.lock()) (*self)->observeValueForKeyPath("runningApplications");
        });
    }
    connect(statusSwitch_, &APSwitch::onChanged, this, [this](bool) { observeValueForKeyPath("on"); });
    // 5.
    updateStatusLabel();
}

void GlimwickPanel::willSelect() {
    requestDeviceInformation();
    loadApplications();
}

void GlimwickPanel::didSelect() { checkBluetoothVersion(); }

void GlimwickPanel::toggleDevice() {
    if (platform_.notificationCenter) {
        platform_.notificationCenter->postNotificationName(TDRToggleDeviceNotification, std::nullopt, true);
    }
}

void GlimwickPanel::checkForUpdates() {
    if (platform_.notificationCenter) {
        platform_.notificationCenter->postNotificationName(TDRCheckForUpdatesNotification, std::nullopt, true);
    }
}

void GlimwickPanel::visitWebsite() {
    if (platform_.workspace) platform_.workspace->openURL(options_.faqURL);
}

void GlimwickPanel::applicationChecked(QCheckBox* sender) {
    if (!sender) return;
    // The list may have been re-read since the row was drawn (the agent announces every phone
    // notification): the tag must still name the application the row showed.
    bool ok = false;
    const qlonglong tag = sender->property(kTagProperty).toLongLong(&ok);
    const std::string drawn = sender->property(kBundleIdentifierProperty).toString().toStdString();
    if (!ok || tag < 0 || static_cast<std::size_t>(tag) >= applications_.size() ||
        stringValue(applications_[static_cast<std::size_t>(tag)], kCatalogueBundleIdentifierKey) != drawn) {
        loadApplications();
        return;
    }
    const bool enabled = sender->checkState() == Qt::Checked;
    applications_[static_cast<std::size_t>(tag)][kCatalogueEnabledKey] = Value(CatalogueFlag::text(enabled));
    saveApplications(drawn, enabled);
}

std::int64_t GlimwickPanel::parseBluetoothVersion(const std::string& output) {
    std::string text = replaceAll(output, "LMP Version: ");
    text = replaceAll(std::move(text), "0x");
    const std::string_view rest = UnicodeWhitespace::trim(text);
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    for (char c : rest) {
        const int digit = hexDigit(c);
        if (digit < 0) break;
        value = std::min<std::uint64_t>(value * 16 + static_cast<std::uint64_t>(digit), kMax);
    }
    return static_cast<std::int64_t>(value);
}

std::int64_t GlimwickPanel::bluetoothVersion() {
    if (!platform_.commandRunner) return 0;
    const auto output =
        platform_.commandRunner->run("/bin/sh", {"-c", options_.bluetoothVersionCommand}, options_.bluetoothVersionLimit);
    if (!output) return 0;
    return parseBluetoothVersion(*output);
}

void GlimwickPanel::checkBluetoothVersion() {
    if (bluetoothVersion() >= kMinimumBluetoothVersion) {
        autoStartNotify();
        return;
    }
    if (!platform_.alert) return;
    PaneAlert::Content content;
    content.messageText = kUnsupportedTitle;
    content.buttonTitle = kUnsupportedButton;
    content.informativeText = kUnsupportedText;
    if (bundle_) {
        content.iconPath = bundle_->pathForResource("BluetoothIcon", "icns");
        if (!content.iconPath) content.iconPath = bundle_->pathForResource("BluetoothIcon", "svg");
        if (!content.iconPath) content.iconPath = bundle_->pathForResource("BluetoothIcon", "png");
    }
    platform_.alert->beginSheet(content, mainView_);
}

void GlimwickPanel::alertDidEndReturnCodeContextInfo(int) {}

void GlimwickPanel::autoStartNotify() {
    if (!platform_.hostDefaults) return;
    auto& defaults = *platform_.hostDefaults;
    const Value version(bundleVersion());
    const auto previous = defaults.arrayForKey(kPrevStartupVersionsKey);
    if (!previous) {
        startNotify();
        defaults.setObject(Value(Array{version}), kPrevStartupVersionsKey);
    } else if (std::find(previous->begin(), previous->end(), version) == previous->end()) {
        Array versions = *previous;
        versions.push_back(version);
        defaults.setObject(Value(std::move(versions)), kPrevStartupVersionsKey);
    }
    defaults.synchronize();
}

void GlimwickPanel::updateStatusLabel() {
    loadAllowIPhones();
    if (notifyApplication()) {
        statusSwitch_->setOn(true, false);
        updateButton_->setEnabled(true);
        allowIPhonesCheckBox_->setEnabled(true);
        requestDeviceInformation();
    } else {
        statusSwitch_->setOn(false, false);
        // The agent applies the choice; without it running there is nobody to tell.
        allowIPhonesCheckBox_->setEnabled(false);
        deviceButton_->setText(QString::fromUtf8(kSelectDeviceTitle));
        deviceButton_->setEnabled(false);
        deviceLabel_->setText(QString::fromUtf8(kNotRunningText));
        updateButton_->setEnabled(false);
    }
}

void GlimwickPanel::startNotify() {
    if (notifyApplication()) return;
    addAppAsLoginItem();
    const auto path = agentPath();
    if (path && platform_.workspace) platform_.workspace->launchApplicationAtURL(*path, PaneWorkspace::kLaunchWithoutActivation);
}

void GlimwickPanel::stopNotify() {
    deleteAppFromLoginItem();
    if (const auto app = notifyApplication()) app->terminate();
}

std::shared_ptr<PaneRunningApplication> GlimwickPanel::notifyApplication() {
    if (!platform_.workspace) return nullptr;
    const auto apps = platform_.workspace->runningApplicationsWithBundleIdentifier(options_.agentBundleIdentifier);
    for (const auto& app : apps) {
        if (app) return app;
    }
    return nullptr;
}

void GlimwickPanel::addAppAsLoginItem() {
    const auto path = agentPath();
    if (!path || !platform_.loginItems || !platform_.loginItems->open()) return;
    platform_.loginItems->insertItemLast(*path);
}

void GlimwickPanel::deleteAppFromLoginItem() {
    const auto path = agentPath();
    if (!path || !platform_.loginItems || !platform_.loginItems->open()) return;
    auto& items = *platform_.loginItems;
    const std::string wanted = items.resolvedPathFor(*path);
    for (const auto& item : items.snapshot()) {
        const auto resolved = items.resolve(item);
        if (resolved && *resolved == wanted) items.removeItem(item);
    }
}

std::string GlimwickPanel::applicationsPath() {
    const std::string folder = CataloguePaths::catalogueFolder();
    if (!Paths::isDirectory(folder)) Paths::createDirectories(folder);
    return Paths::join(folder, kCatalogueFileName);
}

std::string GlimwickPanel::iconsPath() {
    const std::string folder = CataloguePaths::iconsFolder();
    if (!Paths::isDirectory(folder)) Paths::createDirectories(folder);
    return folder;
}

void GlimwickPanel::loadApplications() {
    std::vector<Dictionary> applications;
    if (const auto elements = readCatalogue(applicationsPath())) {
        for (const auto& element : *elements) {
            // Elements that are not maps are not applications; the file keeps them.
            if (element.isDictionary()) applications.push_back(*element.asDictionary());
        }
    }
    applications_ = std::move(applications);
    reloadTable();
}

void GlimwickPanel::saveApplications(const std::string& bundleIdentifier, bool enabled) {
    // The agent may have rewritten the file since it was read (a new application, a new
    // name): only this application's flag changes, everything else stays as the file has it.
    const std::string path = applicationsPath();
    auto elements = readCatalogue(path);
    bool changed = false;
    if (elements) {
        for (auto& element : *elements) {
            if (!element.isDictionary()) continue;
            auto entry = *element.asDictionary();
            if (stringValue(entry, kCatalogueBundleIdentifierKey) != bundleIdentifier) continue;
            entry[kCatalogueEnabledKey] = Value(CatalogueFlag::text(enabled));
            element = Value(std::move(entry));
            changed = true;
        }
    }
    if (changed) PropertyList::writeFile(Value(std::move(*elements)), path);
    if (platform_.notificationCenter) {
        platform_.notificationCenter->postNotificationName(TDREditedApplicationsNotification, std::nullopt, true);
    }
}

void GlimwickPanel::requestDeviceInformation() {
    if (platform_.notificationCenter) {
        platform_.notificationCenter->postNotificationName(TDRRequestDeviceInformationNotification, std::nullopt, true);
    }
}

void GlimwickPanel::receivedDeviceInformation(const TDRMessage& message) {
    const Value payload = message.userInfo ? Value(*message.userInfo) : Value();
    log("Received: %@", "{name = " + message.name + "; userInfo = " + payload.description() + "}");
    std::optional<std::string> state;
    std::optional<std::string> name;
    if (message.userInfo) {
        const auto it = message.userInfo->find(TDRConnectedDeviceKey);
        if (it != message.userInfo->end() && it->second.isDictionary()) {
            const auto& device = *it->second.asDictionary();
            state = stringValue(device, TDRDeviceStateKey);
            name = stringValue(device, TDRDeviceNameKey);
        }
    }
    if (state && name) {
        deviceLabel_->setText(QString::fromStdString(deviceText(*state, *name)));
        deviceButton_->setText(QString::fromUtf8(kDisconnectTitle));
    } else {
        deviceLabel_->setText(QString::fromUtf8(kNotConnectedText));
        deviceButton_->setText(QString::fromUtf8(kSelectDeviceTitle));
    }
    deviceButton_->setEnabled(true);
    // The agent may have changed the choice (the user's disconnect turns it off).
    loadAllowIPhones();
}

void GlimwickPanel::loadAllowIPhones() {
    UserDefaults agent(TDRAgentDefaultsDomain);
    bool allow = !agent.stringForKey(TDRPreferredDeviceKey).has_value();
    if (const auto stored = agent.objectForKey(TDRAllowIPhonesToConnectKey).asBoolean()) allow = *stored;
    allowIPhonesCheckBox_->setChecked(allow);
}

void GlimwickPanel::allowIPhonesChecked() {
    const bool allow = allowIPhonesCheckBox_->isChecked();
    UserDefaults agent(TDRAgentDefaultsDomain);
    agent.setObject(Value(allow), TDRAllowIPhonesToConnectKey);
    if (!agent.synchronize()) {
        log("Could not write the agent's defaults: \"Allow iPhones to connect\" is unchanged.");
        loadAllowIPhones();
        return;
    }
    requestDeviceInformation();
}

std::string GlimwickPanel::deviceText(const std::string& state, const std::string& name) {
    // Capitalized: the first letter of each word upper case, the rest lower case.
    QString capitalized = QString::fromStdString(state).toLower();
    bool wordStart = true;
    for (auto& c : capitalized) {
        if (c.isSpace()) {
            wordStart = true;
        } else if (wordStart) {
            c = c.toUpper();
            wordStart = false;
        }
    }
    return capitalized.toStdString() + " to " + name + ".";
}

void GlimwickPanel::observeValueForKeyPath(const std::string& keyPath) {
    if (keyPath == "runningApplications") {
        updateStatusLabel();
    } else if (keyPath == "on") {
        if (statusSwitch_->isOn()) {
            startNotify();
        } else {
            stopNotify();
        }
    }
}

std::size_t GlimwickPanel::numberOfRowsInTableView() const { return applications_.size(); }

ApplicationView* GlimwickPanel::tableViewViewForTableColumnRow(std::size_t row) {
    if (row >= applications_.size() || !bundle_) return nullptr;
    const Dictionary& application = applications_[row];
    auto* view = ApplicationView::tableCellViewWithNibNamed("ApplicationView", *bundle_, this);
    if (!view) return nullptr;
    const auto displayName = stringValue(application, kCatalogueDisplayNameKey);
    if (auto* text = view->textField()) text->setText(QString::fromStdString(displayName.value_or("")));
    const auto identifier = stringValue(application, kCatalogueBundleIdentifierKey).value_or("");
    if (auto* check = view->checkButton()) {
        const auto enabled = application.find(kCatalogueEnabledKey);
        check->setChecked(enabled != application.end() && CatalogueFlag::read(enabled->second));
        check->setProperty(kTagProperty, QVariant::fromValue<qlonglong>(static_cast<qlonglong>(row)));
        check->setProperty(kBundleIdentifierProperty, QString::fromStdString(identifier));
        check->setAccessibleName(QString::fromStdString(displayName.value_or(identifier)));
        connect(check, &QCheckBox::clicked, this, [this, check] { applicationChecked(check); });
    }
    if (const auto file = CataloguePaths::iconFileName(identifier)) {
        const std::string iconFile = Paths::join(iconsPath(), *file);
        if (Paths::fileExists(iconFile)) {
            QImage icon(QString::fromStdString(iconFile));
            if (!icon.isNull()) view->setImage(icon);
        }
    }
    return view;
}

bool GlimwickPanel::tableViewShouldSelectRow(std::size_t) const { return false; }

std::optional<std::string> GlimwickPanel::agentPath() const {
    if (options_.agentPath) return options_.agentPath;
    if (!bundle_) return std::nullopt;
    return bundle_->pathForResource("Tandril", "app");
}

void GlimwickPanel::reloadTable() {
    auto* table = applicationsTableView_;
    table->clearContents();
    const auto rows = numberOfRowsInTableView();
    table->setRowCount(static_cast<int>(rows));
    for (std::size_t row = 0; row < rows; ++row) {
        auto* view = tableViewViewForTableColumnRow(row);
        if (!view) continue;
        const int r = static_cast<int>(row);
        table->setRowHeight(r, std::max(view->sizeHint().height(), 32));
        table->setCellWidget(r, 0, view);
    }
}

std::string GlimwickPanel::bundleVersion() const {
    if (!bundle_) return "";
    const Value version = bundle_->objectForInfoDictionaryKey("CFBundleVersion");
    return version.isString() ? *version.asString() : version.description();
}

}  // namespace tandril
