#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <string>

#include "agent/TDRPairingConfirmer.hpp"
#include "foundation/RunLoop.hpp"

class QDialog;
class QLabel;
class QPushButton;

namespace tandril {

// Asks the user to confirm a pairing: the phone's name and the six-digit code both devices
// show, and the buttons Confirm and Reject. BlueZ's pairing agent calls it through its
// confirmer (RequestConfirmation). The answer comes exactly once: Confirm gives true;
// Reject, closing the dialog, a newer request, cancel() and the time-out give false.
//
// BlueZ gives an agent request 60 seconds (REQUEST_TIMEOUT in its src/agent.c) before it
// gives up on the pairing; the dialog gives up at the same moment, so that a dialog left
// open never confirms a pairing that BlueZ has already abandoned.
class WinPairingDialog : public QObject, public TDRPairingConfirmer {
    Q_OBJECT

public:
    using Answer = std::function<void(bool confirmed)>;

    static constexpr double kTimeoutSeconds = 60.0;

    WinPairingDialog();
    ~WinPairingDialog() override;

    // Shows the request; a request still open is answered false first. The time-out runs on
    // the main run loop.
    void ask(const std::string& name, std::uint32_t passkey, Answer answer);
    // The agent's form of ask(): `code` as the six digits the phone shows. Anything else
    // than six digits is refused at once (logged), without showing the dialog.
    void confirmPairing(const std::string& name, const std::string& code, Answer answer) override;
    // BlueZ cancelled the request (Agent1.Cancel): closes the dialog, answering false.
    void cancel();
    bool isAsking() const { return static_cast<bool>(answer_); }

    // The passkey as the six digits the phone shows ("004711").
    static std::string formatPasskey(std::uint32_t passkey);

    // The widgets, for tests.
    QDialog* dialog() const { return dialog_; }
    QLabel* nameLabel() const { return name_; }
    QLabel* codeLabel() const { return code_; }
    QPushButton* confirmButton() const { return confirm_; }
    QPushButton* rejectButton() const { return reject_; }

private:
    void present(const std::string& name, const std::string& code, Answer answer);
    void finish(bool confirmed);

    QDialog* dialog_ = nullptr;
    QLabel* name_ = nullptr;
    QLabel* code_ = nullptr;
    QPushButton* confirm_ = nullptr;
    QPushButton* reject_ = nullptr;
    Answer answer_;
    RunLoop::TimerId timeout_ = 0;
    bool hasTimeout_ = false;
};

}  // namespace tandril
