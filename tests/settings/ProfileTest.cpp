#include "settings/Profile.h"

#include <csignal>
#include <filesystem>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

const std::string kOld = "; kept\r\n[S]\r\nK=old\r\n";

TEST(ProfileTest, AbsentFileGivesTheDefault) {
    TempDir dir;
    EXPECT_EQ(CProfile(dir.File("none.stp")).GetIniString("S", "K", "d"), "d");
}

TEST(ProfileTest, FirstWriteCreatesACrlfFileOnlyItsOwnerCanRead) {
    TempDir dir;
    CProfile profile(dir.File("new.stp"));
    ASSERT_TRUE(profile.WriteIniString("S", "K", "v"));
    ASSERT_TRUE(profile.WriteIniInt("S", "N", -5));
    EXPECT_EQ(ReadBytes(profile.Path()), "[S]\r\nK=v\r\nN=-5\r\n");
    EXPECT_EQ(fs::status(profile.Path()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(dir.Snapshot().size(), 1u);  // no temporary file left
}

TEST(ProfileTest, ReplacedFileKeepsItsPermissionsAndOtherLines) {
    TempDir dir;
    CProfile profile(dir.File("old.stp"));
    WriteBytes(profile.Path(), kOld);
    chmod(profile.Path().c_str(), 0644);
    ASSERT_TRUE(profile.WriteIniString("s", "k", "new"));
    EXPECT_EQ(ReadBytes(profile.Path()), "; kept\r\n[S]\r\nk=new\r\n");
    EXPECT_EQ(fs::status(profile.Path()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
}

TEST(ProfileTest, WriteThroughASymbolicLinkKeepsTheLink) {
    TempDir dir;
    WriteBytes(dir.File("real.stp"), kOld);
    fs::create_symlink("real.stp", dir.File("link.stp"));
    CProfile profile(dir.File("link.stp"));
    ASSERT_TRUE(profile.WriteIniString("S", "K", "new"));
    EXPECT_TRUE(fs::is_symlink(dir.File("link.stp")));
    EXPECT_EQ(profile.GetIniString("S", "K", ""), "new");
}

// Runs the write in a child process whose files may not grow beyond 16 bytes, as on
// a full disk. The child's exit code tells the write's result: 0 written, 1 refused.
bool WriteOnFullDisk(CProfile& profile) {
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(profile.WriteIniString("S", "K", std::string(200, 'x')) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << "child ended with " << status;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Failure {
    const char* name;
    // Prepares dir and returns the path of the settings file to write.
    std::string (*arrange)(const TempDir& dir);
    bool fullDisk = false;
};
void PrintTo(const Failure& row, std::ostream* os) {
    *os << row.name;
}

class ProfileFailureTest : public testing::TestWithParam<Failure> {};

TEST_P(ProfileFailureTest, IsReportedAndLeavesEverythingAsItWas) {
    TempDir dir;
    CProfile profile(GetParam().arrange(dir));
    const auto before = dir.Snapshot();
    const bool written =
        GetParam().fullDisk ? WriteOnFullDisk(profile) : profile.WriteIniString("S", "K", "new");
    EXPECT_FALSE(written);
    EXPECT_EQ(dir.Snapshot(), before);  // old file intact, no temporary file
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ProfileFailureTest,
    testing::Values(Failure{"DirectoryWhereTheTemporaryFileGoes",
                            [](const TempDir& dir) {
                                WriteBytes(dir.File("a.stp"), kOld);
                                fs::create_directory(CProfile::TemporaryPath(dir.File("a.stp")));
                                return dir.File("a.stp");
                            }},
                    Failure{"FullDisk",
                            [](const TempDir& dir) {
                                WriteBytes(dir.File("a.stp"), kOld);
                                return dir.File("a.stp");
                            },
                            true},
                    Failure{"FileIsADirectory",
                            [](const TempDir& dir) {
                                fs::create_directory(dir.File("a.stp"));
                                return dir.File("a.stp");
                            }},
                    Failure{"DirectoryIsAFile",
                            [](const TempDir& dir) {
                                WriteBytes(dir.File("plain"), kOld);
                                return dir.File("plain/a.stp");
                            }},
                    Failure{"MissingDirectory",
                            [](const TempDir& dir) { return dir.File("none/a.stp"); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProfileTest, ExecutableDirIsTheDirectoryOfThisTest) {
    const std::string dir = ExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fs::equivalent(dir + "settings_tests", "/proc/self/exe"));
}

}  // namespace
