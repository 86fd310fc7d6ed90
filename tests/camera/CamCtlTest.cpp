// ZELT2CamCtl as a user runs it: each way a run ends has its exit status.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string kBin = ZELT_BIN_DIR;

// Runs `program` with `args` and ZELT2_SIM_CAMERAS set to `cameras` (unset
// when null), output discarded; its exit status, or -1.
int RunProgram(const std::string& program, std::vector<std::string> args, const char* cameras) {
    std::vector<std::string> env;
    if (cameras) env.push_back(std::string("ZELT2_SIM_CAMERAS=") + cameras);
    std::vector<char*> argv, envp;
    args.insert(args.begin(), program);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
