#include "platform/linux/pane/WinAlert.hpp"

#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QString>

namespace tandril {

namespace {

QPointer<QMessageBox>& current() {
    static QPointer<QMessageBox> box;
    return box;
}

}  // namespace

void WinAlert::beginSheet(const Content& content, QWidget* parent) {
    auto* box = new QMessageBox(parent ? parent->window() : nullptr);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromStdString(content.messageText));
    box->setInformativeText(QString::fromStdString(content.informativeText));
    box->addButton(QString::fromStdString(content.buttonTitle), QMessageBox::AcceptRole);
    box->setIcon(QMessageBox::Warning);
    if (content.iconPath) {
        const QIcon icon(QString::fromStdString(*content.iconPath));
        const QPixmap pixmap = icon.pixmap(64, 64);
        if (!pixmap.isNull()) box->setIconPixmap(pixmap);
    }
    current() = box;
    box->open();
}

QMessageBox* WinAlert::currentBox() const { return current().data(); }

}  // namespace tandril
