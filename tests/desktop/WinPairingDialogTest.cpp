#include <gtest/gtest.h>

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include "desktop/DesktopFixture.hpp"
#include "platform/linux/desktop/WinPairingDialog.hpp"
#include "support/LoopFixture.hpp"

namespace tandril {
namespace {

class WinPairingDialogTest : public test::LoopFixture {
protected:
    WinPairingDialog::Answer record() {
        return [this](bool confirmed) { answers.push_back(confirmed); };
    }

    bool application_ = (test::DesktopFixture::ensureApplication(), true);
    WinPairingDialog dialog;
    std::vector<bool> answers;
};

TEST_F(WinPairingDialogTest, ShowsNameAndSixDigitsAsPlainTextAndAnswersOnce) {
    dialog.ask("<b>Sam</b>'s iPhone", 4711, record());
    EXPECT_TRUE(dialog.dialog()->isVisible());
    EXPECT_EQ(dialog.nameLabel()->text(), "<b>Sam</b>'s iPhone");
    EXPECT_EQ(dialog.nameLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(dialog.codeLabel()->text(), "004711");
    EXPECT_EQ(dialog.codeLabel()->textFormat(), Qt::PlainText);

    dialog.confirmButton()->click();
    EXPECT_EQ(answers, std::vector<bool>{true});
    EXPECT_FALSE(dialog.dialog()->isVisible());
    // The time-out of an answered request says nothing more.
    advance(WinPairingDialog::kTimeoutSeconds + 1);
    EXPECT_EQ(answers, std::vector<bool>{true});

    dialog.ask("x", 999999, record());
    dialog.rejectButton()->click();
    dialog.ask("x", 1, record());
    dialog.dialog()->close();
    EXPECT_EQ(answers, (std::vector<bool>{true, false, false}));
}

TEST_F(WinPairingDialogTest, TimesOutWithBlueZAndANewerRequestOrCancelRefuses) {
    EXPECT_EQ(WinPairingDialog::formatPasskey(123456), "123456");
    EXPECT_EQ(WinPairingDialog::formatPasskey(0), "000000");

    dialog.ask("Phone", 1, record());
    advance(WinPairingDialog::kTimeoutSeconds - 0.5);
    EXPECT_TRUE(answers.empty());
    advance(0.5);
    EXPECT_EQ(answers, std::vector<bool>{false});
    EXPECT_FALSE(dialog.dialog()->isVisible());
    EXPECT_TRUE(logs.contains("[Pairing] No answer within 60 seconds, pairing refused."));

    dialog.ask("First", 1, record());
    dialog.ask("Second", 2, record());
    EXPECT_EQ(answers, (std::vector<bool>{false, false}));
    EXPECT_EQ(dialog.nameLabel()->text(), "Second");
    dialog.cancel();
    EXPECT_EQ(answers, (std::vector<bool>{false, false, false}));
    EXPECT_FALSE(dialog.isAsking());
    advance(120);
    EXPECT_EQ(answers.size(), 3u);
}

TEST_F(WinPairingDialogTest, AnOpenRequestIsRefusedWhenTheDialogGoesAway) {
    auto owned = std::make_unique<WinPairingDialog>();
    owned->ask("Phone", 1, record());
    owned.reset();
    EXPECT_EQ(answers, std::vector<bool>{false});
    advance(120);
    EXPECT_EQ(answers.size(), 1u);
}

}  // namespace
TEST_F(WinPairingDialogTest, AgentRequestsShowTheirCodeAndMalformedCodesAreRefusedUnseen) {
    TDRPairingConfirmer& confirmer = dialog;
    confirmer.confirmPairing("Anna's iPhone", "004711", record());
    EXPECT_TRUE(dialog.dialog()->isVisible());
    EXPECT_EQ(dialog.codeLabel()->text(), "004711");
    dialog.confirmButton()->click();

    for (const char* code : {"", "12345", "1234567", "12a456", "<b>1</b>"}) {
        confirmer.confirmPairing("Phone", code, record());
        EXPECT_FALSE(dialog.dialog()->isVisible()) << code;
    }
    EXPECT_EQ(answers, (std::vector<bool>{true, false, false, false, false, false}));
    EXPECT_EQ(logs.count("[Pairing] Pairing request with a code that is not six digits, refused."), 5u);
}

}  // namespace tandril
