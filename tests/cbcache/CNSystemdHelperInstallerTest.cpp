// The agent's installer for the helper's socket unit, against stand-ins for systemctl and
// pkexec that keep the unit's state in files.

#include "platform/linux/CNSystemdHelperInstaller.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "cbcache/BlueZTree.hpp"
#include "engine/CNCacheConsent.hpp"
#include "support/TempDir.hpp"

namespace tandril::test {
namespace {

class CNSystemdHelperInstallerTest : public ::testing::Test {
protected:
    CNSystemdHelperInstallerTest() {
        script("systemctl",
               "echo \"$@\" >> '" + dir.file("systemctl.log") +
                   "'\n"
                   "case \"$1\" in\n"
                   "  show)\n"
                   "    if [ -f '" + dir.file("down") + "' ]; then\n"
                   "      echo \"System has not been booted with systemd as init system (PID 1). Can't operate.\" >&2\n"
                   "      exit 1\n"
                   "    fi\n"
                   "    echo \"LoadState=$(cat '" + dir.file("load") + "')\"\n"
                   "    echo \"UnitFileState=$(cat '" + dir.file("file") + "')\";;\n"
                   "  enable) echo enabled > '" + dir.file("file") + "';;\n"
                   "esac\n");
        // Runs the command as a consenting administrator would, or exits as told.
        script("pkexec", "echo \"$@\" >> '" + dir.file("pkexec.log") +
                             "'\n"
                             "status=$(cat '" + dir.file("pkexec-status") + "' 2>/dev/null || echo 0)\n"
                             "[ \"$status\" = 0 ] || exit \"$status\"\n"
                             "shift\n"
                             "exec \"$@\"\n");
        state("loaded", "disabled");
    }
    void script(const std::string& name, const std::string& body) {
        std::ofstream(dir.file(name)) << "#!/bin/sh\n" << body;
        ::chmod(dir.file(name).c_str(), 0755);
    }
    void state(const std::string& load, const std::string& file) {
        BlueZTree::write(dir.file("load"), load + "\n");
        BlueZTree::write(dir.file("file"), file + "\n");
    }
    std::string log(const std::string& name) { return BlueZTree::read(dir.file(name + ".log")); }

    TempDir dir;
    CNSystemdHelperInstaller installer{dir.file("systemctl"), dir.file("pkexec")};
};

TEST_F(CNSystemdHelperInstallerTest, InstalledMeansPresentAndEnabled) {
    struct Case {
        const char* load;
        const char* file;
        bool installed;
    };
    for (const auto& c : {Case{"loaded", "enabled", true}, Case{"loaded", "enabled-runtime", true},
                          Case{"loaded", "disabled", false}, Case{"not-found", "", false},
                          Case{"masked", "masked", false}}) {
        SCOPED_TRACE(std::string(c.load) + " " + c.file);
        state(c.load, c.file);
        EXPECT_EQ(installer.isJobInstalled("com.Varn.cbcache"), c.installed);
    }
    EXPECT_EQ(log("systemctl").substr(0, log("systemctl").find('\n')),
              "show --property=LoadState --property=UnitFileState com.Varn.cbcache.socket");
    // No systemd to ask (a container, a chroot): not installed.
    BlueZTree::write(dir.file("down"), "");
    state("loaded", "enabled");
    EXPECT_FALSE(installer.isJobInstalled("com.Varn.cbcache"));
}

TEST_F(CNSystemdHelperInstallerTest, APresentUnitIsEnabledAndStartedThroughPkexec) {
    EXPECT_EQ(installer.authorizeInstallation(), CNCacheConsent::StatusSuccess);
    EXPECT_EQ(installer.installJob("com.Varn.cbcache"), nullptr);
    EXPECT_EQ(log("pkexec"), "--disable-internal-agent " + dir.file("systemctl") + " enable --now com.Varn.cbcache.socket\n");
    EXPECT_TRUE(installer.isJobInstalled("com.Varn.cbcache"));
}

TEST_F(CNSystemdHelperInstallerTest, RefusedConsentAndMissingOrMaskedUnitsEnableNothing) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string description;
        bool asked;
    };
    const std::string unit = "com.Varn.cbcache.socket";
    const std::vector<Case> cases{
        {"dismissed", [&] { BlueZTree::write(dir.file("pkexec-status"), "126"); },
         "the administrator's consent to enable " + unit + " was not given", true},
        {"not authorized", [&] { BlueZTree::write(dir.file("pkexec-status"), "127"); },
         "not authorized to enable " + unit, true},
        {"missing", [&] { state("not-found", ""); },
         unit + " is not on this system; install the Tandril package, or install the build as root", false},
        {"masked", [&] { state("masked", "masked"); },
         unit + " is masked; an administrator can allow it with \"systemctl unmask " + unit + "\"", false},
        {"no systemd", [&] { BlueZTree::write(dir.file("down"), ""); },
         "systemd could not be asked about " + unit +
             ": System has not been booted with systemd as init system (PID 1). Can't operate.",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(dir.file("pkexec-status").c_str());
        ::unlink(dir.file("down").c_str());
        ::unlink(dir.file("pkexec.log").c_str());
        state("loaded", "disabled");
        c.arrange();
        const auto error = installer.installJob("com.Varn.cbcache");
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->localizedDescription(), c.description);
        EXPECT_EQ(log("pkexec") != "<absent>", c.asked);
        // Nothing was enabled.
        EXPECT_FALSE(installer.isJobInstalled("com.Varn.cbcache"));
        EXPECT_NE(BlueZTree::read(dir.file("file")), "enabled\n");
    }

    // Without pkexec nobody can be asked: that shows before the install step.
    CNSystemdHelperInstaller without{dir.file("systemctl"), dir.file("no-pkexec")};
    EXPECT_EQ(without.authorizeInstallation(), CNCacheConsent::StatusInternal);
}

}  // namespace
}  // namespace tandril::test
