#include "foundation/Log.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "support/LogCapture.hpp"

namespace tandril {
namespace {

class Widget : public Object {};
class Named : public Object {
public:
    std::string description() const override { return "named thing"; }
};

TEST(LogTest, FormatsEveryConversion) {
    auto widget = std::make_shared<Named>();
    std::shared_ptr<Named> absent;
    EXPECT_EQ(formatLine("[CONSUMER] %@ and %@", {widget, absent}), "[CONSUMER] named thing and (null)");
    EXPECT_EQ(formatLine("%lu apps, %i, %d, %s, 100%%", {std::size_t{3}, -1, 42, "text"}), "3 apps, -1, 42, text, 100%");
    EXPECT_EQ(formatLine("%lu", {-1}), "18446744073709551615");
    EXPECT_EQ(formatLine("%@", {Value(Array{1})}), "(\n    1\n)");
    EXPECT_EQ(formatLine("%@", {Value()}), "(null)");
    EXPECT_EQ(formatLine("%@", {UUID::from16(0x180A)}), "180A");
    EXPECT_EQ(formatLine("%@", {Bytes{1, 2}}), "<0102>");
    EXPECT_EQ(formatLine("%@", {std::optional<std::string>()}), "(null)");
    EXPECT_EQ(formatLine("%@", {ErrorPtr()}), "(null)");
    EXPECT_EQ(formatLine("%s", {static_cast<const char*>(nullptr)}), "(null)");
    EXPECT_EQ(formatLine("%@", {Error::make("D", 2)}).rfind("Error Domain=D Code=2 ", 0), 0u);
}

TEST(LogTest, HostileFormatsNeverCrash) {
    EXPECT_EQ(formatLine("50%", {}), "50%");
    EXPECT_EQ(formatLine("%l", {1}), "%l");
    EXPECT_EQ(formatLine("%q %y", {1}), "%q %y");   // unknown conversions pass through, use no argument
    EXPECT_EQ(formatLine("%y %d", {7}), "%y 7");
    EXPECT_EQ(formatLine("%@ %@ %d %lu %s", {"one"}), "one (null) 0 0 (null)");
    EXPECT_EQ(formatLine("no conversions", {1, 2, 3}), "no conversions");
    EXPECT_EQ(formatLine("%d", {"text"}), "text");
    EXPECT_EQ(formatLine("%x", {255}), "ff");
}

TEST(LogTest, DefaultObjectDescription) {
    Widget w;
    std::string d = w.description();
    EXPECT_EQ(w.className(), "Widget");
    EXPECT_EQ(d.rfind("<Widget: 0x", 0), 0u) << d;
    EXPECT_EQ(d.back(), '>');
    EXPECT_EQ(d.find_first_of("ABCDEF"), std::string::npos) << d;  // lower-case address
    Named n;
    EXPECT_EQ(n.description(), "named thing");
    EXPECT_EQ(n.defaultDescription().rfind("<Named: 0x", 0), 0u);
}

TEST(LogTest, CaptureSeesWholeLinesFromEveryThread) {
    test::LogCapture capture;
    log("[MAIN] %@ %d", "phone", 1);
    std::thread t([] {
        for (int i = 0; i < 100; ++i) log("[ANCS] %d", i);
    });
    t.join();
    EXPECT_TRUE(capture.contains("[MAIN] phone 1"));
    EXPECT_EQ(capture.lines().size(), 101u);
    EXPECT_EQ(capture.count("[ANCS] 99"), 1u);
    capture.clear();
    EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
}  // namespace tandril
