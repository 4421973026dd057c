#include "platform/linux/desktop/WinPairingDialog.hpp"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

#include "foundation/Log.hpp"

namespace tandril {

WinPairingDialog::WinPairingDialog() {
    dialog_ = new QDialog(nullptr, Qt::Dialog);
    dialog_->setObjectName("pairingDialog");
    dialog_->setWindowTitle("Tandril: Bluetooth pairing");
    dialog_->setAttribute(Qt::WA_QuitOnClose, false);

    auto* intro = new QLabel("Confirm that this code is shown on your iOS device:");
    intro->setTextFormat(Qt::PlainText);
    // Both the name (sent by the phone) and the code are shown as plain text.
    name_ = new QLabel;
    name_->setObjectName("name");
    name_->setTextFormat(Qt::PlainText);
    QFont nameFont = name_->font();
    nameFont.setBold(true);
    name_->setFont(nameFont);
    code_ = new QLabel;
    code_->setObjectName("code");
    code_->setTextFormat(Qt::PlainText);
    code_->setAlignment(Qt::AlignCenter);
    QFont codeFont = code_->font();
    codeFont.setPointSizeF(codeFont.pointSizeF() * 2.2);
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    code_->setFont(codeFont);
    code_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* buttons = new QDialogButtonBox;
    confirm_ = buttons->addButton("Confirm", QDialogButtonBox::AcceptRole);
    reject_ = buttons->addButton("Reject", QDialogButtonBox::RejectRole);
    // A stray Return must not pair a device: nothing is the default button.
    confirm_->setAutoDefault(false);
    reject_->setAutoDefault(false);
    connect(buttons, &QDialogButtonBox::accepted, dialog_, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog_, &QDialog::reject);
    connect(dialog_, &QDialog::finished, this, [this](int result) { finish(result == QDialog::Accepted); });

    auto* layout = new QVBoxLayout(dialog_);
    layout->addWidget(name_);
    layout->addWidget(intro);
    layout->addWidget(code_);
    layout->addWidget(buttons);
}

WinPairingDialog::~WinPairingDialog() {
    // An open request is refused, so that BlueZ hears an answer before its own time-out.
    dialog_->disconnect(this);
    finish(false);
    delete dialog_;
}

std::string WinPairingDialog::formatPasskey(std::uint32_t passkey) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%06u", static_cast<unsigned>(passkey % 1000000));
    return digits;
}

void WinPairingDialog::ask(const std::string& name, std::uint32_t passkey, Answer answer) {
    present(name, formatPasskey(passkey), std::move(answer));
}

void WinPairingDialog::confirmPairing(const std::string& name, const std::string& code, Answer answer) {
    const bool sixDigits =
        code.size() == 6 && std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!sixDigits) {
        log("[Pairing] Pairing request with a code that is not six digits, refused.");
        if (answer) answer(false);
        return;
    }
    present(name, code, std::move(answer));
}

void WinPairingDialog::present(const std::string& name, const std::string& code, Answer answer) {
    finish(false);
    answer_ = std::move(answer);
    name_->setText(QString::fromStdString(name));
    code_->setText(QString::fromStdString(code));
    hasTimeout_ = true;
    timeout_ = RunLoop::main().schedule(seconds(kTimeoutSeconds), [this] {
        hasTimeout_ = false;
        if (!answer_) return;
        log("[Pairing] No answer within %d seconds, pairing refused.", static_cast<int>(kTimeoutSeconds));
        finish(false);
    });
    dialog_->show();
    dialog_->raise();
    dialog_->activateWindow();
}

void WinPairingDialog::cancel() { finish(false); }

void WinPairingDialog::finish(bool confirmed) {
    if (hasTimeout_ && RunLoop::hasMain()) RunLoop::main().cancel(timeout_);
    hasTimeout_ = false;
    if (dialog_->isVisible()) {
        // hide() does not emit finished(): the answer is given here once.
        dialog_->hide();
    }
    auto answer = std::move(answer_);
    answer_ = nullptr;
    if (answer) answer(confirmed);
}

}  // namespace tandril
