#include <gtest/gtest.h>

#include "bluez/BluezFixture.hpp"

namespace tandril::test {
namespace {

class BluezStandInTest : public BluezFixture {};

TEST_F(BluezStandInTest, ServesTheAdapter) {
    EXPECT_EQ(describeValue(property("/org/bluez/hci0", "org.bluez.Adapter1", "Powered")), "true");
}

}  // namespace
}  // namespace tandril::test
