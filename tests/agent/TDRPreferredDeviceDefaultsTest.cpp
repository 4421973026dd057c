// The agent's preferred-device store: the text in the agent's defaults domain, as the
// engine and earlier versions read and wrote it.

#include <gtest/gtest.h>

#include "agent/TDRPreferredDeviceDefaults.hpp"
#include "foundation/UserDefaults.hpp"
#include "support/LoopFixture.hpp"

namespace tandril::test {
namespace {

class TDRPreferredDeviceDefaultsTest : public LoopFixture {};

TEST_F(TDRPreferredDeviceDefaultsTest, KeepsTheIdentifierUnderTheAgentsKeyWhateverTheStandardDomain) {
    for (const char* standardDomain : {"com.Varn.Glimwick", "some.other.program"}) {
        SCOPED_TRACE(standardDomain);
        UserDefaults::setStandardDomain(standardDomain);
        UserDefaults::resetStandardUserDefaults();
        TDRPreferredDeviceDefaults store;
        EXPECT_EQ(store.preferredDeviceIdentifier(), std::nullopt);

        store.setPreferredDeviceIdentifier("5A1D0C3E-7B1F-4C2A-9E3D-0F6B8A4C2D10");
        EXPECT_EQ(UserDefaults("com.Varn.Glimwick").stringForKey("CNConsumerManagerPreferredUUID"),
                  "5A1D0C3E-7B1F-4C2A-9E3D-0F6B8A4C2D10");

        // Another process's change is seen on the next read.
        UserDefaults("com.Varn.Glimwick").setObject(Value("00000000-0000-0000-0000-000000000001"),
                                                   "CNConsumerManagerPreferredUUID");
        EXPECT_EQ(store.preferredDeviceIdentifier(), "00000000-0000-0000-0000-000000000001");

        store.setPreferredDeviceIdentifier(std::nullopt);
        EXPECT_EQ(UserDefaults("com.Varn.Glimwick").objectForKey("CNConsumerManagerPreferredUUID"), Value());
        EXPECT_EQ(store.preferredDeviceIdentifier(), std::nullopt);
    }
}

// The settings application writes "Allow iPhones to connect" into the same file while the
// agent runs; the agent's next choice of phone must not put the old value back.
TEST_F(TDRPreferredDeviceDefaultsTest, KeepsWhatTheSettingsApplicationWroteMeanwhile) {
    UserDefaults::setStandardDomain("com.Varn.Glimwick");
    UserDefaults::resetStandardUserDefaults();
    UserDefaults::standardUserDefaults().setObject(Value(Array{Value("1.0")}), "prevStartupVersions");
    TDRPreferredDeviceDefaults store;
    EXPECT_EQ(store.preferredDeviceIdentifier(), std::nullopt);

    UserDefaults("com.Varn.Glimwick").setObject(Value(false), "TDRAllowIPhonesToConnect");
    store.setPreferredDeviceIdentifier("5A1D0C3E-7B1F-4C2A-9E3D-0F6B8A4C2D10");
    UserDefaults("com.Varn.Glimwick").setObject(Value(true), "TDRAllowIPhonesToConnect");
    store.setPreferredDeviceIdentifier(std::nullopt);

    UserDefaults file("com.Varn.Glimwick");
    EXPECT_EQ(file.objectForKey("TDRAllowIPhonesToConnect"), Value(true));
    EXPECT_EQ(file.objectForKey("prevStartupVersions"), Value(Array{Value("1.0")}));
    EXPECT_EQ(file.objectForKey("CNConsumerManagerPreferredUUID"), Value());
    UserDefaults::setStandardDomain("");
}

}  // namespace
}  // namespace tandril::test
