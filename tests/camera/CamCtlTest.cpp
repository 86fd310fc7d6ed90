// ZELT2CamCtl as a user runs it: each way a run ends has its exit status.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace {

const std::string kBin = ZELT_BIN_DIR;

// Runs `program` with `args` and ZELT2_SIM_CAMERAS set to `cameras` (unset
// when null), output discarded; its exit status, or -1.
int RunProgram(const std::string& program, std::vector<std::string> args, const char* cameras) {
    testsupport::ChildOptions options;
    if (cameras) options.environment.push_back(std::string("ZELT2_SIM_CAMERAS=") + cameras);
    options.inheritEnvironment = false;
    options.log = "/dev/null";
    testsupport::CChildProcess child(program, std::move(args), options);
    return child.Wait(60000);
}

int CamCtl(std::vector<std::string> args, const char* cameras = "Desk Camera;Broken,fail=refusing;No Unit,set=0") {
    return RunProgram(kBin + "/ZELT2CamCtl", std::move(args), cameras);
}

TEST(CamCtl, EachWayARunEndsHasItsExitStatus) {
    EXPECT_EQ(CamCtl({"help"}), 0);
    EXPECT_EQ(CamCtl({"list"}), 0);
    EXPECT_EQ(CamCtl({"mode", "0", "2"}), 0);
    EXPECT_EQ(CamCtl({"status", "Desk Camera"}), 0);

    // 2: the command line, or the simulation's description, is wrong.
    EXPECT_EQ(CamCtl({}), 2);
    EXPECT_EQ(CamCtl({"mode", "0", "4"}), 2);
    EXPECT_EQ(CamCtl({"status", "0", "1", "2"}), 2);
    EXPECT_EQ(CamCtl({"zoom"}), 2);
    EXPECT_EQ(CamCtl({"list"}, "Desk,knob=1"), 2);

    // 3: no such camera.
    EXPECT_EQ(CamCtl({"mode", "Door Camera", "1"}), 3);
    EXPECT_EQ(CamCtl({"list"}, "none"), 3);
    // 4: the camera refuses; 5: its extension unit cannot be reached.
    EXPECT_EQ(CamCtl({"mode", "1", "1"}), 4);
    EXPECT_EQ(CamCtl({"status", "1"}), 4);
    EXPECT_EQ(CamCtl({"mode", "No Unit", "1"}), 5);
}

TEST(CamCtl, WithoutTheLibraryBesideItTheRunFailsWithStatusOne) {
    const std::string dir = ::testing::TempDir() + "camctl-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(kBin + "/ZELT2CamCtl", dir + "/ZELT2CamCtl",
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(RunProgram(dir + "/ZELT2CamCtl", {"list"}, "Desk Camera"), 1);
    std::filesystem::remove_all(dir);
}

}  // namespace
