#include <gtest/gtest.h>

#include "model/CNNotificationApplication.hpp"

namespace tandril {
namespace {

TEST(CNNotificationApplication, DictionaryRepresentationHoldsOnlyWhatIsKnown) {
    CNNotificationApplication application;
    EXPECT_FALSE(application.isEnabled());
    EXPECT_EQ(application.dictionaryRepresentation(), (Dictionary{{"enabled", Value("0")}}));

    application.setBundleIdentifier("com.example.app");
    EXPECT_EQ(application.dictionaryRepresentation(),
              (Dictionary{{"bundle_identifier", Value("com.example.app")}, {"enabled", Value("0")}}));

    application.setDisplayName("");
    application.setEnabled(true);
    application.setIcon(Image::create(1, 1, Bytes{0, 0, 0, 255}));
    EXPECT_EQ(application.dictionaryRepresentation(),
              (Dictionary{{"bundle_identifier", Value("com.example.app")},
                          {"display_name", Value("")},
                          {"enabled", Value("1")}}));
}

}  // namespace
}  // namespace tandril
