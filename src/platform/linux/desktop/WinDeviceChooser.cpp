#include "platform/linux/desktop/WinDeviceChooser.hpp"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace tandril {

namespace {

QString qs(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// A label that never interprets its text: phone names are whatever a device nearby sends.
QLabel* plainLabel(const QString& text, QWidget* parent = nullptr) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

}  // namespace

WinDeviceChooser::WinDeviceChooser() = default;

void WinDeviceChooser::buildWindow() {
    if (window_) return;
    window_ = new QWidget(nullptr, Qt::Window);
    window_->setObjectName("deviceWindow");
    window_->setWindowTitle("Tandril");
    // The chooser comes and goes; closing it must never end the agent.
    window_->setAttribute(Qt::WA_QuitOnClose, false);
    window_->installEventFilter(this);

    auto* heading = plainLabel("Choose the iOS device to receive notifications from:");

    table_ = new QTableWidget(0, 1);
    table_->setObjectName("deviceTableView");
    table_->setProperty("columnIdentifier", kDeviceColumnIdentifier);
    table_->horizontalHeader()->hide();
    table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table_->verticalHeader()->hide();
    table_->setShowGrid(false);
    table_->setAlternatingRowColors(true);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setTabKeyNavigation(false);
    connect(table_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { selectionChanged(); });

    progress_ = new QProgressBar;
    progress_->setObjectName("progressIndicator");
    progress_->setRange(0, 0);
    progress_->setTextVisible(false);

    label_ = plainLabel(QString());
    label_->setObjectName("progressLabel");
    label_->setTextInteractionFlags(Qt::NoTextInteraction);

    connectButton_ = new QPushButton("Connect");
    connectButton_->setObjectName("connectButton");
    connectButton_->setEnabled(false);
    connectButton_->setDefault(true);
    connect(connectButton_, &QPushButton::clicked, this, [this] {
        if (const auto delegate = delegate_.lock()) delegate->connectDevice(this);
    });

    auto* status = new QVBoxLayout;
    status->addWidget(progress_);
    status->addWidget(label_);
    auto* bottom = new QHBoxLayout;
    bottom->addLayout(status, 1);
    bottom->addWidget(connectButton_, 0, Qt::AlignBottom);

    auto* layout = new QVBoxLayout(window_);
    layout->addWidget(heading);
    layout->addWidget(table_, 1);
    layout->addLayout(bottom);
    window_->resize(440, 320);

    // What was asked for before the window existed.
    connectButton_->setEnabled(connectButtonEnabled_);
    setProgressIndeterminate(progressIndeterminate_);
    if (progressValue_) progress_->setValue(*progressValue_);
    progress_->setHidden(progressHidden_);
    label_->setText(qs(progressLabel_));
    fillTable();
}

WinDeviceChooser::~WinDeviceChooser() {
    if (!window_) return;
    window_->removeEventFilter(this);
    delete window_;
}

QWidget* WinDeviceChooser::window() {
    buildWindow();
    return window_;
}

QTableWidget* WinDeviceChooser::tableView() {
    buildWindow();
    return table_;
}

QPushButton* WinDeviceChooser::connectButton() {
    buildWindow();
    return connectButton_;
}

QProgressBar* WinDeviceChooser::progressIndicator() {
    buildWindow();
    return progress_;
}

QLabel* WinDeviceChooser::progressLabel() {
    buildWindow();
    return label_;
}

void WinDeviceChooser::setDelegate(std::weak_ptr<TDRDeviceChooserDelegate> delegate) {
    delegate_ = std::move(delegate);
}

void WinDeviceChooser::makeKeyAndOrderFront() {
    buildWindow();
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void WinDeviceChooser::orderOut() {
    if (window_) window_->hide();
}

bool WinDeviceChooser::isVisible() const { return window_ && window_->isVisible(); }

void WinDeviceChooser::activateIgnoringOtherApps(bool flag) {
    if (!flag || !isVisible()) return;
    window_->raise();
    window_->activateWindow();
}

std::shared_ptr<TDRTableCellView> WinDeviceChooser::makeViewWithIdentifier(const std::string& identifier) {
    return std::make_shared<TDRTableCellView>(identifier);
}

QWidget* WinDeviceChooser::makeCell(const Row& row) {
    auto* cell = new QWidget;
    cell->setObjectName(kDeviceCellIdentifier);
    auto* layout = new QVBoxLayout(cell);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(1);
    auto* name = plainLabel(qs(row.name), cell);
    name->setObjectName("name");
    QFont font = name->font();
    font.setBold(true);
    name->setFont(font);
    layout->addWidget(name);
    if (row.detail) {
        auto* detail = plainLabel(qs(*row.detail), cell);
        detail->setObjectName("identifier");
        QFont small = detail->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        detail->setFont(small);
        layout->addWidget(detail);
    }
    return cell;
}

void WinDeviceChooser::reloadData() {
    const auto delegate = delegate_.lock();
    std::vector<Row> rows;
    if (delegate) {
        const auto count = std::max<std::int64_t>(0, delegate->numberOfRowsInTableView(this));
        for (std::int64_t row = 0; row < count; ++row) {
            const auto cell = delegate->tableViewViewForTableColumnRow(this, kDeviceColumnIdentifier, row);
            // The list shrank between the count and the cells: the rows before the gap stay, so
            // that a row's index still names the same phone when the user connects.
            if (!cell) break;
            rows.push_back(Row{cell->stringValue().value_or(""), detailForRow_ ? detailForRow_(row) : std::nullopt});
        }
    }
    // The table reloads every few seconds: redraw only when something changed, so that the
    // list does not flicker and the selection stays where the user put it.
    if (rows == rows_) return;
    rows_ = std::move(rows);
    if (selectedRow_ >= static_cast<std::int64_t>(rows_.size())) selectedRow_ = -1;
    fillTable();
}

void WinDeviceChooser::fillTable() {
    if (!table_) return;
    settingSelection_ = true;
    table_->clearSelection();
    table_->setRowCount(static_cast<int>(rows_.size()));
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        auto* cell = makeCell(rows_[i]);
        table_->setCellWidget(static_cast<int>(i), 0, cell);
        table_->setRowHeight(static_cast<int>(i), cell->sizeHint().height());
    }
    if (selectedRow_ >= 0) table_->selectRow(static_cast<int>(selectedRow_));
    settingSelection_ = false;
    updateCellColors();
}

std::int64_t WinDeviceChooser::selectedRow() const { return selectedRow_; }

void WinDeviceChooser::selectRow(std::int64_t row) {
    settingSelection_ = true;
    if (row < 0) {
        table_->clearSelection();
    } else {
        table_->selectRow(static_cast<int>(row));
    }
    settingSelection_ = false;
}

void WinDeviceChooser::updateCellColors() {
    // Cells are widgets over the table: they follow the selection's colours by hand.
    const QPalette palette = table_->palette();
    for (int row = 0; row < table_->rowCount(); ++row) {
        auto* cell = table_->cellWidget(row, 0);
        if (!cell) continue;
        const bool selected = table_->selectionModel()->isRowSelected(row, QModelIndex());
        const QColor text = palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        QColor grey = selected ? palette.color(QPalette::HighlightedText) : palette.color(QPalette::Disabled, QPalette::Text);
        if (selected) grey.setAlphaF(0.75);
        for (auto* label : cell->findChildren<QLabel*>()) {
            // Inside the table's viewport a label draws with the Text role, elsewhere with WindowText.
            QPalette colours = label->palette();
            const QColor& colour = label->objectName() == "identifier" ? grey : text;
            colours.setColor(QPalette::WindowText, colour);
            colours.setColor(QPalette::Text, colour);
            label->setPalette(colours);
        }
    }
}

void WinDeviceChooser::selectionChanged() {
    updateCellColors();
    if (settingSelection_) return;
    const auto selected = table_->selectionModel()->selectedRows();
    const std::int64_t row = selected.isEmpty() ? -1 : selected.first().row();
    if (row == selectedRow_) return;
    if (row < 0) {
        if (allowsEmptySelection_) {
            selectedRow_ = -1;
        } else {
            selectRow(selectedRow_);
        }
        return;
    }
    const auto delegate = delegate_.lock();
    if (delegate && delegate->tableViewShouldSelectRow(this, row)) {
        selectedRow_ = row;
    } else {
        selectRow(selectedRow_);
    }
}

void WinDeviceChooser::setConnectButtonEnabled(bool enabled) {
    connectButtonEnabled_ = enabled;
    if (connectButton_) connectButton_->setEnabled(enabled);
}

void WinDeviceChooser::setProgressIndeterminate(bool indeterminate) {
    progressIndeterminate_ = indeterminate;
    // As the bar does: a value outside the new range resets it.
    if (indeterminate && progressValue_ && *progressValue_ != 0) progressValue_.reset();
    if (!progress_) return;
    if (indeterminate) {
        progress_->setRange(0, 0);
    } else {
        progress_->setRange(0, 100);
    }
}

void WinDeviceChooser::setProgressValue(double value) {
    if (std::isnan(value)) return;
    const int clamped = static_cast<int>(std::lround(std::clamp(value, 0.0, 100.0)));
    progressValue_ = clamped;
    if (progress_) progress_->setValue(clamped);
}

void WinDeviceChooser::setProgressHidden(bool hidden) {
    progressHidden_ = hidden;
    if (progress_) progress_->setHidden(hidden);
}

// A busy bar animates by itself as long as its range is empty.
void WinDeviceChooser::startProgressAnimation() {}

void WinDeviceChooser::setProgressLabel(const std::string& text) {
    progressLabel_ = text;
    if (label_) label_->setText(qs(text));
}

void WinDeviceChooser::beginAlertSheet(const std::string& messageText, const std::string& buttonTitle,
                                       const std::string& informativeText) {
    // One sheet at a time, as on a window: a second one replaces the first without ending it twice.
    if (alert_) {
        alert_->disconnect(this);
        alert_->deleteLater();
        alert_ = nullptr;
    }
    buildWindow();
    auto* alert = new QMessageBox(window_);
    alert->setObjectName("alert");
    alert->setIcon(QMessageBox::Information);
    alert->setWindowTitle("Tandril");
    alert->setTextFormat(Qt::PlainText);
    alert->setText(qs(messageText));
    alert->setInformativeText(qs(informativeText));
    alert->addButton(qs(buttonTitle), QMessageBox::AcceptRole);
    // The informative text's label guesses its format from the text: make every label plain.
    for (auto* label : alert->findChildren<QLabel*>()) label->setTextFormat(Qt::PlainText);
    alert->setWindowModality(Qt::WindowModal);
    alert_ = alert;
    connect(alert, &QDialog::finished, this, [this, alert](int) {
        if (alert_ != alert) return;
        alert_ = nullptr;
        alert->deleteLater();
        if (const auto delegate = delegate_.lock()) {
            delegate->alertDidEndReturnCodeContextInfo(this, kAlertFirstButtonReturn, nullptr);
        }
    });
    alert->open();
}

bool WinDeviceChooser::eventFilter(QObject* watched, QEvent* event) {
    // Closing the window with its sheet open ends the sheet, as its only button would.
    if (watched == window_ && event->type() == QEvent::Close && alert_) alert_->done(QDialog::Accepted);
    return QObject::eventFilter(watched, event);
}

}  // namespace tandril
