#include "detection/AppGenuineness.h"

#include "detection/DetectionFakes.h"
#include "detection/HostProcess.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using tallyvox::testing::FakeProcessInfo;

namespace {

struct Genuineness : ::testing::Test {
    FakeProcessInfo info;
    TrustList vendors = AppGenuineness::vendors();

    void SetUp() override {
        info.addSystemFile("/opt/zoom/zoom");
        info.packages["/opt/zoom/zoom"] = {"zoom"};
    }
    bool genuine(std::int32_t pid, Platform platform = Platform::zoom) {
        return AppGenuineness::check(pid, platform, vendors, info).genuine;
    }
};

} // namespace

TEST_F(Genuineness, SystemInstallOwnedByTheMakersPackage) {
    info.run(812, "/opt/zoom/zoom");
    EXPECT_TRUE(genuine(812));
    EXPECT_FALSE(genuine(812, Platform::teams)) << "Zoom's package does not vouch for Teams";

    info.packages["/opt/zoom/zoom"] = {"zoom-lookalike"};
    EXPECT_FALSE(genuine(812));
    info.packages["/opt/zoom/zoom"] = {"other", "zoom"};
    EXPECT_TRUE(genuine(812));
}

TEST_F(Genuineness, SystemInstallMustBeLockedDown) {
    info.run(812, "/opt/zoom/zoom");
    info.files["/opt/zoom"].mode |= 0002; // world-writable folder: anyone could swap the file
    EXPECT_FALSE(genuine(812));
    info.files["/opt/zoom"].mode &= ~0002u;
    info.files["/opt/zoom/zoom"].mode |= 0020;
    EXPECT_FALSE(genuine(812));
    info.files["/opt/zoom/zoom"].mode &= ~0020u;
    info.files["/opt"].owner = 1000;
    EXPECT_FALSE(genuine(812));
    info.files["/opt"].owner = 0;
    EXPECT_TRUE(genuine(812));
}

TEST_F(Genuineness, ImpostorsAreRefused) {
    info.addUserFile("/home/ada/zoom");
    info.run(1, "/home/ada/zoom");
    EXPECT_FALSE(genuine(1)) << "a copy in a user folder";

    info.addSystemFile("/usr/local/bin/zoom");
    info.run(2, "/usr/local/bin/zoom");
    EXPECT_FALSE(genuine(2)) << "locked down but no package of the maker's";

    info.run(3, "/opt/zoom/zoom (deleted)");
    info.processes[3].runningFile = info.files["/opt/zoom/zoom"];
    EXPECT_FALSE(genuine(3));

    // A sandbox shows its own file under the same path.
    info.run(4, "/opt/zoom/zoom").runningFile = ProcessInfo::FileFacts{9, 9, 1000, 0100755};
    EXPECT_FALSE(genuine(4));

    EXPECT_FALSE(genuine(99)) << "no such process";
    EXPECT_EQ(AppGenuineness::check(99, Platform::zoom, vendors, info).reason,
              "its executable cannot be read");
}

TEST_F(Genuineness, SnapOfTheMaker) {
    info.addSystemFile("/snap/zoom-client/225/zoom/zoom");
    auto& p = info.run(812, "/snap/zoom-client/225/zoom/zoom");
    p.cgroup = "0::/user.slice/user-1000.slice/user@1000.service/app.slice/"
               "snap.zoom-client.zoom-client-1b2c.scope\n";
    EXPECT_TRUE(genuine(812));

    p.cgroup = "0::/user.slice/user-1000.slice/session-2.scope\n";
    EXPECT_FALSE(genuine(812)) << "not confined as that snap";

    info.addSystemFile("/snap/zoom-clone/1/zoom");
    info.run(813, "/snap/zoom-clone/1/zoom").cgroup = "0::/app.slice/snap.zoom-clone.x.scope\n";
    EXPECT_FALSE(genuine(813));
}

TEST_F(Genuineness, FlatpakCountsOnlyForAFileOfTheMakersSystemDeployment) {
    const std::string files = "/var/lib/flatpak/app/us.zoom.Zoom/x86_64/stable/c0ffee/files";
    auto instance = [](const std::string& appPath) {
        return "[Application]\nname=us.zoom.Zoom\n\n[Instance]\napp-path=" + appPath + "\n";
    };
    info.addSystemFile(files + "/zoom/zoom");
    auto& real = info.run(4711, "/app/zoom/zoom");
    real.runningFile = info.files[files + "/zoom/zoom"];
    real.flatpakInfo = instance(files);
    EXPECT_TRUE(genuine(4711));

    // Anyone can write a .flatpak-info in a mount namespace of their own, naming the maker's
    // app id and even its deployment; what runs is still their own file.
    info.addUserFile("/home/ada/fake/zoom");
    auto& fake = info.run(4712, "/app/zoom/zoom");
    fake.runningFile = info.files["/home/ada/fake/zoom"];
    fake.flatpakInfo = "[Application]\nname=us.zoom.Zoom\n";
    EXPECT_FALSE(genuine(4712));
    fake.flatpakInfo = instance(files);
    EXPECT_FALSE(genuine(4712));
    fake.flatpakInfo = instance("/var/lib/flatpak/app/us.zoom.Zoom/../../../../home/ada/fake");
    EXPECT_FALSE(genuine(4712));

    const std::string mine =
        "/home/ada/.local/share/flatpak/app/us.zoom.Zoom/x86_64/stable/1/files";
    info.addUserFile(mine + "/zoom/zoom");
    fake.runningFile = info.files[mine + "/zoom/zoom"];
    fake.flatpakInfo = instance(mine);
    auto verdict = AppGenuineness::check(4712, Platform::zoom, vendors, info);
    EXPECT_FALSE(verdict.genuine);
    EXPECT_EQ(verdict.reason, "a flatpak of a user installation (" + mine +
                                  "), which any program of the user can change");

    // The maker's deployment does not vouch for another platform.
    EXPECT_FALSE(genuine(4711, Platform::teams));
}

TEST_F(Genuineness, ExplicitPathTrustsThatFileOnly) {
    info.addUserFile("/tmp/t/zoom");
    info.run(5, "/tmp/t/zoom");
    TrustList trust{{.platform = Platform::zoom,
                     .packages = {},
                     .snaps = {},
                     .flatpaks = {},
                     .exactPaths = {"/tmp/t/zoom"}}};
    EXPECT_TRUE(AppGenuineness::check(5, Platform::zoom, trust, info).genuine);
    EXPECT_FALSE(AppGenuineness::check(5, Platform::teams, trust, info).genuine);
    EXPECT_FALSE(genuine(5)) << "the makers' list does not know it";

    info.run(812, "/opt/zoom/zoom");
    EXPECT_FALSE(AppGenuineness::check(812, Platform::zoom, trust, info).genuine)
        << "an explicit list replaces the makers'";
}

TEST(GenuinenessParsing, DpkgOwners) {
    EXPECT_EQ(AppGenuineness::dpkgOwners("zoom: /opt/zoom/zoom\n"),
              std::vector<std::string>{"zoom"});
    EXPECT_EQ(AppGenuineness::dpkgOwners("libfoo:amd64, foo-bin: /usr/bin/foo\n"),
              (std::vector<std::string>{"libfoo", "foo-bin"}));
    EXPECT_EQ(AppGenuineness::dpkgOwners("diversion by zoom from: /usr/bin/x\n"
                                         "diversion by zoom to: /usr/bin/x.real\n"
                                         "coreutils: /usr/bin/x\n"),
              std::vector<std::string>{"coreutils"});
    EXPECT_TRUE(AppGenuineness::dpkgOwners("").empty());
    EXPECT_TRUE(AppGenuineness::dpkgOwners("garbage").empty());
}

TEST(GenuinenessParsing, SnapsAndFlatpaks) {
    EXPECT_EQ(AppGenuineness::snapOfPath("/snap/zoom-client/225/zoom"), "zoom-client");
    EXPECT_FALSE(AppGenuineness::snapOfPath("/snapshots/zoom/x"));
    EXPECT_FALSE(AppGenuineness::snapOfPath("/snap/zoom-client"));
    EXPECT_FALSE(AppGenuineness::snapOfPath("/snap//x"));

    EXPECT_TRUE(
        AppGenuineness::cgroupNamesSnap("0::/a/snap.zoom-client.zoom.scope", "zoom-client"));
    EXPECT_FALSE(
        AppGenuineness::cgroupNamesSnap("0::/a/mysnap.zoom-client.x.scope", "zoom-client"));
    EXPECT_FALSE(AppGenuineness::cgroupNamesSnap("0::/a/snap.zoom-clientx.y", "zoom-client"));

    EXPECT_EQ(AppGenuineness::flatpakAppID("[Application]\n name = us.zoom.Zoom \n"),
              "us.zoom.Zoom");
    EXPECT_FALSE(AppGenuineness::flatpakAppID("[Runtime]\nname=org.x\n"));
}

TEST(ProcessTree, MainProcessIsTheTopOfTheSameExecutable) {
    FakeProcessInfo info;
    info.run(100, "/usr/bin/bash", 1);
    info.run(812, "/opt/zoom/zoom", 100);
    info.run(900, "/opt/zoom/zoom", 812);
    info.run(901, "/opt/zoom/zoom", 900);
    info.run(950, "/usr/bin/helper", 901);
    EXPECT_EQ(ProcessTree::mainProcess(901, info), 812);
    EXPECT_EQ(ProcessTree::mainProcess(812, info), 812);
    EXPECT_EQ(ProcessTree::mainProcess(950, info), 950);
    EXPECT_EQ(ProcessTree::mainProcess(4242, info), 4242) << "unknown: itself";

    info.run(7, "/x", 8);
    info.run(8, "/x", 7); // a cycle cannot hang the walk
    auto top = ProcessTree::mainProcess(7, info);
    EXPECT_TRUE(top == 7 || top == 8);
}

TEST(HostProcess, ASandboxedClientIsTheProcessRunningItsBinaryUnderThatPidThere) {
    FakeProcessInfo info;
    info.run(2, "/usr/lib/systemd/systemd-journald");
    info.run(812, "/opt/zoom/zoom");
    info.run(7297, "/app/zoom/zoom").namespacePids = {7297, 2};
    info.run(7300, "/app/other/tool").namespacePids = {7300, 2};
    EXPECT_EQ(HostProcess::find(812, "zoom", info), 812);
    EXPECT_EQ(HostProcess::find(2, "zoom", info), 7297);
    EXPECT_FALSE(HostProcess::find(3, "zoom", info));

    info.run(8000, "/app/zoom/zoom (deleted)").namespacePids = {8000, 2};
    EXPECT_FALSE(HostProcess::find(2, "zoom", info)) << "two sandboxes alike";
}
