#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>

#include <filesystem>
#include <memory>
#include <string>

#include "desktop/DesktopFixture.hpp"
#include "foundation/Bundle.hpp"
#include "foundation/Paths.hpp"
#include "foundation/PropertyList.hpp"
#include "pane/ApplicationView.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {
namespace {

class ApplicationViewTest : public ::testing::Test {
protected:
    ApplicationViewTest() {
        DesktopFixture::ensureApplication();
        Paths::createDirectories(dir.file("Pane.bundle/Contents/Resources"));
        PropertyList::writeFile(Value(Dictionary{{"CFBundleVersion", "1"}}), dir.file("Pane.bundle/Contents/Info.plist"));
        std::filesystem::copy_file(std::string(TANDRIL_PANE_RESOURCES) + "/ApplicationView.ui", resource("ApplicationView.ui"));
        bundle = Bundle::bundleWithPath(dir.file("Pane.bundle"));
    }
    std::string resource(const std::string& name) const { return dir.file("Pane.bundle/Contents/Resources/" + name); }

    TempDir dir;
    std::shared_ptr<Bundle> bundle;
};

TEST_F(ApplicationViewTest, LoadsAFreshRowWithItsOutletsFromTheInterfaceFile) {
    QObject owner;
    std::unique_ptr<ApplicationView> first(ApplicationView::tableCellViewWithNibNamed("ApplicationView", *bundle, &owner));
    std::unique_ptr<ApplicationView> second(ApplicationView::tableCellViewWithNibNamed("ApplicationView", *bundle, &owner));
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_EQ(first->parent(), nullptr);
    ASSERT_NE(first->textField(), nullptr);
    ASSERT_NE(first->imageView(), nullptr);
    ASSERT_NE(first->checkButton(), nullptr);
    EXPECT_EQ(first->textField()->textFormat(), Qt::PlainText);
    // The base class's operation finds the subclass too.
    std::unique_ptr<TableCellView> base(TableCellView::tableCellViewWithNibNamed("ApplicationView", *bundle, &owner));
    EXPECT_NE(qobject_cast<ApplicationView*>(base.get()), nullptr);
}

TEST_F(ApplicationViewTest, IsAbsentWhenTheFileIsMissingUnreadableOrHoldsNoSuchView) {
    EXPECT_EQ(ApplicationView::tableCellViewWithNibNamed("Missing", *bundle, nullptr), nullptr);
    EXPECT_EQ(ApplicationView::tableCellViewWithNibNamed("../ApplicationView", *bundle, nullptr), nullptr);

    Paths::writeFileAtomically(resource("Broken.ui"), "<ui version=\"4.0\"><widget class=");
    EXPECT_EQ(ApplicationView::tableCellViewWithNibNamed("Broken", *bundle, nullptr), nullptr);

    Paths::writeFileAtomically(resource("Plain.ui"),
                               "<ui version=\"4.0\"><widget class=\"QWidget\" name=\"w\">"
                               "<widget class=\"QLabel\" name=\"textField\"/></widget></ui>");
    EXPECT_EQ(ApplicationView::tableCellViewWithNibNamed("Plain", *bundle, nullptr), nullptr);

    // A plain table cell is not an ApplicationView, though it is a TableCellView.
    Paths::writeFileAtomically(resource("Cell.ui"),
                               "<ui version=\"4.0\"><widget class=\"TableCellView\" name=\"c\"/></ui>");
    EXPECT_EQ(ApplicationView::tableCellViewWithNibNamed("Cell", *bundle, nullptr), nullptr);
    std::unique_ptr<TableCellView> cell(TableCellView::tableCellViewWithNibNamed("Cell", *bundle, nullptr));
    EXPECT_NE(cell, nullptr);
}

TEST_F(ApplicationViewTest, DrawsTheIconWithRoundedCornersOfRadiusThree) {
    QImage red(60, 60, QImage::Format_ARGB32);
    red.fill(Qt::red);
    for (const double ratio : {1.0, 2.0}) {
        const QImage rounded = ApplicationView::roundedImage(red, QSize(28, 28), ratio);
        ASSERT_EQ(rounded.width(), static_cast<int>(28 * ratio));
        const int last = rounded.width() - 1;
        for (const QPoint corner : {QPoint(0, 0), QPoint(last, 0), QPoint(0, last), QPoint(last, last)}) {
            EXPECT_LT(qAlpha(rounded.pixel(corner)), 16) << corner.x() << "," << corner.y() << " at " << ratio;
        }
        // Just inside the radius along the edge, and the middle, are the icon.
        EXPECT_EQ(rounded.pixelColor(static_cast<int>(4 * ratio), 0).alpha(), 255);
        EXPECT_EQ(rounded.pixelColor(last / 2, last / 2), QColor(Qt::red));
    }

    std::unique_ptr<ApplicationView> row(ApplicationView::tableCellViewWithNibNamed("ApplicationView", *bundle, nullptr));
    row->setImage(red);
    row->resize(400, 40);
    row->show();
    const QImage shown = row->imageView()->pixmap().toImage();
    EXPECT_LT(qAlpha(shown.pixel(0, 0)), 16);
    EXPECT_EQ(shown.pixelColor(shown.width() / 2, shown.height() / 2), QColor(Qt::red));
}

}  // namespace
}  // namespace tandril::test
