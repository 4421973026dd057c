#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include "desktop/DesktopFixture.hpp"
#include "platform/linux/pane/WinAlert.hpp"

namespace tandril::test {
namespace {

TEST(WinAlertTest, ShowsAWindowModalPlainTextSheetThatEndsWithItsButton) {
    DesktopFixture::ensureApplication();
    QWidget window;
    auto* child = new QWidget(&window);
    window.show();
    WinAlert alert;
    alert.beginSheet({"Tandril is not supported on <b>this</b> Mac.", "OK", "Needs Bluetooth 4.0.",
                      std::string(TANDRIL_PANE_RESOURCES) + "/BluetoothIcon.svg"},
                     child);
    QMessageBox* box = alert.currentBox();
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->parentWidget(), &window);
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    EXPECT_EQ(box->textFormat(), Qt::PlainText);
    EXPECT_EQ(box->text(), "Tandril is not supported on <b>this</b> Mac.");
    EXPECT_EQ(box->informativeText(), "Needs Bluetooth 4.0.");
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->buttons()[0]->text(), "OK");
    EXPECT_FALSE(box->iconPixmap().isNull());

    box->buttons()[0]->click();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(alert.currentBox(), nullptr);
}

}  // namespace
}  // namespace tandril::test
