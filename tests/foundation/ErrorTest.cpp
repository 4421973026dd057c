#include "foundation/Error.hpp"

#include <gtest/gtest.h>

namespace tandril {
namespace {

TEST(ErrorTest, GenericLocalizedDescriptionUsesTheTypographicApostrophe) {
    Error e("LGUtilsReadErrorDomain", 410);
    EXPECT_EQ(e.localizedDescription(), "The operation couldn\xE2\x80\x99t be completed. (LGUtilsReadErrorDomain error 410.)");
    EXPECT_EQ(e.description(),
              "Error Domain=LGUtilsReadErrorDomain Code=410 \"The operation couldn\xE2\x80\x99t be completed. "
              "(LGUtilsReadErrorDomain error 410.)\"");
}

TEST(ErrorTest, OwnDescriptionAndUserInfo) {
    auto e = Error::withDescription("CBErrorDomain", -3, "The specified device is not connected.");
    EXPECT_EQ(e->localizedDescription(), "The specified device is not connected.");
    EXPECT_EQ(e->description(),
              "Error Domain=CBErrorDomain Code=-3 \"The specified device is not connected.\" "
              "UserInfo={NSLocalizedDescription=The specified device is not connected.}");

    auto msg = Error::make("LGPeripheralConnectionErrorDomain", 408, {{"msg", "Time for connection is ended"}, {"n", 2}});
    EXPECT_EQ(msg->description(),
              "Error Domain=LGPeripheralConnectionErrorDomain Code=408 \"The operation couldn\xE2\x80\x99t be completed. "
              "(LGPeripheralConnectionErrorDomain error 408.)\" UserInfo={msg=Time for connection is ended, n=2}");

    // A non-text description falls back to the generic text.
    Error odd("D", 1, {{NSLocalizedDescriptionKey, 5}});
    EXPECT_EQ(odd.localizedDescription(), "The operation couldn\xE2\x80\x99t be completed. (D error 1.)");
}

}  // namespace
}  // namespace tandril
