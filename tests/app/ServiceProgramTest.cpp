// ZELT2Service --headless as a user runs it: its own process on a simulated
// camera with a registry folder of the test's own, real viewers (ZELT2Viewer)
// on loopback, and each way a run ends with its exit status and message.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/app/ServiceApp.h"
#include "transport/PPPP_API.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

namespace {

using testsupport::ReadBytes;

const std::string kBin = ZELT_BIN_DIR;

// A child process whose standard output and error go to a file.
class CProcess : public testsupport::CChildProcess {
public:
    CProcess(const std::string& program, std::vector<std::string> args, const std::string& log,
             const std::string& workDir = "")
        : CChildProcess(program, std::move(args), Options(log, workDir)) {}

private:
    static testsupport::ChildOptions Options(const std::string& log, const std::string& workDir) {
        testsupport::ChildOptions options;
        options.log = log;
        options.workDir = workDir;
        return options;
    }
};

bool Contains(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }

// Whether GStreamer decodes the H.264 file from start to end.
bool Decodes(const std::string& file, const std::string& log) {
    CProcess gst("/usr/bin/gst-launch-1.0",
                 {"-q", "filesrc", "location=" + file, "!", "h264parse", "!", "avdec_h264", "!", "fakesink"}, log);
    return gst.Wait(60000) == 0;
}

class ServiceProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Service and viewers find each other on this host only, on this test's own discovery port.
        PPPP_InitOptions options{};
        options.discoveryPort = 41490;
        options.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
        char init[PPPP_INIT_STRING_LENGTH + 1];
        ASSERT_EQ(PPPP_MakeInitString(&options, init, sizeof init), PPPP_INIT_STRING_LENGTH);
        setenv(PPPP_INIT_ENV_VARIABLE, init, 1);
    }
    ServiceProgramTest() : did("SVC" + std::to_string(getpid())) {
        setenv("ZELT2_REGISTRY_DIR", dir.File("registry").c_str(), 1);
        unsetenv("ZELT2_TRACE");
        unsetenv("ZELT2_TEST_CRASH");
    }
    std::vector<std::string> ServiceArgs(std::vector<std::string> more = {}) {
        std::vector<std::string> args = {"--headless", "--this-host-only", "--did", did, "--password", "pw"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    std::vector<std::string> ViewerArgs(const std::string& output, const std::string& seconds) {
        return {"--did", did, "--password", "pw", "--this-host-only", "--quiet", "--timeout", "10",
                "--duration", seconds, "--output", output};
    }
    // Runs the service to its end on `cameras`; its exit status, its output in `log`.
    int RunService(const std::string& cameras, std::vector<std::string> args, std::string& log) {
        setenv("ZELT2_SIM_CAMERAS", cameras.c_str(), 1);
        CProcess service(kBin + "/ZELT2Service", std::move(args), dir.File("service.log"));
        const int status = service.Wait();
        log = ReadBytes(dir.File("service.log"));
        return status;
    }
    std::string Registry() { return ReadBytes(dir.File("registry/HKEY_CURRENT_USER.reg")); }

    testsupport::CTempDir dir;
    const std::string did;
};

TEST_F(ServiceProgramTest, TwoViewersReceiveDecodableLiveVideoAndSigtermSavesTheSettings) {
    setenv("ZELT2_SIM_CAMERAS", "Desk Camera,pattern=ball", 1);
    setenv("ZELT2_TRACE", "1", 1);
    CProcess service(kBin + "/ZELT2Service", ServiceArgs({"--camera", "desk"}), dir.File("service.log"));
    unsetenv("ZELT2_TRACE");
    auto second = ViewerArgs(dir.File("two.h264"), "4");
    second.insert(second.end(), {"--mode", "2"});
    CProcess one(kBin + "/ZELT2Viewer", ViewerArgs(dir.File("one.h264"), "4"), dir.File("one.log"));
    CProcess two(kBin + "/ZELT2Viewer", second, dir.File("two.log"));
    EXPECT_EQ(one.Wait(), 0) << ReadBytes(dir.File("one.log"));
    EXPECT_EQ(two.Wait(), 0) << ReadBytes(dir.File("two.log"));
    EXPECT_TRUE(Decodes(dir.File("one.h264"), dir.File("gst.log"))) << ReadBytes(dir.File("gst.log"));
    EXPECT_TRUE(Decodes(dir.File("two.h264"), dir.File("gst.log"))) << ReadBytes(dir.File("gst.log"));
    EXPECT_GT(ReadBytes(dir.File("one.h264")).size(), 1000u);

    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), app::kExitDone);
    const std::string log = ReadBytes(dir.File("service.log"));
    EXPECT_TRUE(Contains(log, "Status: Running")) << log;
    EXPECT_TRUE(Contains(log, "command 20 value 2: 1")) << log;  // the mode reached the camera
    const std::string registry = Registry();
    EXPECT_TRUE(Contains(registry, "\"DID\"=\"" + did + "\"")) << registry;
    EXPECT_TRUE(Contains(registry, "\"Password\"=\"pw\"")) << registry;
    EXPECT_TRUE(Contains(registry, "\"CamDriveName\"=\"Desk Camera\"")) << registry;
    EXPECT_TRUE(Contains(registry, "\"Language\"=\"English\"")) << registry;
    EXPECT_TRUE(Contains(registry, "\"Mode\"=\"2\"")) << registry;
}

TEST_F(ServiceProgramTest, AStillFrameIsSentWhileTheCameraHasNoPicture) {
    setenv("ZELT2_SIM_CAMERAS", "Dark Camera,nopic=always", 1);
    CProcess service(kBin + "/ZELT2Service", ServiceArgs(), dir.File("service.log"));
    CProcess viewer(kBin + "/ZELT2Viewer", ViewerArgs(dir.File("dark.h264"), "6"), dir.File("viewer.log"));
    ASSERT_EQ(viewer.Wait(), 0) << ReadBytes(dir.File("viewer.log"));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), app::kExitDone);
    const std::string still = ReadBytes(ZELT_STILL_NORMAL);
    ASSERT_FALSE(still.empty());
    EXPECT_TRUE(Contains(ReadBytes(dir.File("dark.h264")), still));
}

// Where a live key frame (an SPS not inside a copy of the still frame)
// begins at or after `from`; any profile, as a hardware encoder may choose.
size_t FindLiveKeyFrame(const std::string& bytes, size_t from) {
    static const std::string still = ReadBytes(ZELT_STILL_NORMAL);
    const std::string sps("\x00\x00\x00\x01\x67", 5);
    const size_t inStill = still.find(sps);
    for (size_t at = bytes.find(sps, from); at != std::string::npos; at = bytes.find(sps, at + 1)) {
        if (inStill == std::string::npos || at < inStill) return at;
        // A still cut short by the recording's end counts as the still.
        const size_t begin = at - inStill, length = std::min(still.size(), bytes.size() - begin);
        if (bytes.compare(begin, length, still, 0, length) != 0) return at;
    }
    return std::string::npos;
}

TEST_F(ServiceProgramTest, ALostCameraIsWaitedForWithTheStillAndLiveVideoComesBackToTheSameSession) {
    setenv("ZELT2_SIM_CAMERAS", "Loose Camera,vanish=2500,back=2000", 1);
    CProcess service(kBin + "/ZELT2Service", ServiceArgs(), dir.File("service.log"));
    CProcess viewer(kBin + "/ZELT2Viewer", ViewerArgs(dir.File("gap.h264"), "11"), dir.File("viewer.log"));
    // The session lasts the whole time: the viewer records to its end.
    ASSERT_EQ(viewer.Wait(), 0) << ReadBytes(dir.File("viewer.log"));
    const std::string recording = ReadBytes(dir.File("gap.h264"));
    const std::string still = ReadBytes(ZELT_STILL_NORMAL);
    ASSERT_FALSE(still.empty());
    const size_t firstStill = recording.find(still);
    const size_t lastStill = recording.rfind(still);
    ASSERT_NE(firstStill, std::string::npos) << "no still frame while the camera was away";
    EXPECT_LT(FindLiveKeyFrame(recording, 0), firstStill) << "no live video before the camera went";
    EXPECT_NE(FindLiveKeyFrame(recording, lastStill + still.size()), std::string::npos)
        << "no live video after the camera came back";
    EXPECT_TRUE(Decodes(dir.File("gap.h264"), dir.File("gst.log"))) << ReadBytes(dir.File("gst.log"));

    // Still serving: the status says so, and SIGTERM ends it as ever.
    CProcess status(kBin + "/ZELT2Service", {"--headless", "--status"}, dir.File("status.log"));
    EXPECT_EQ(status.Wait(), app::kExitDone) << ReadBytes(dir.File("status.log"));
    const std::string report = ReadBytes(dir.File("status.log"));
    EXPECT_TRUE(Contains(report, "serving: yes")) << report;
    EXPECT_TRUE(Contains(report, "camera: Loose Camera (present)")) << report;
    EXPECT_TRUE(Contains(report, "encoder: ")) << report;
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), app::kExitDone);
    const std::string log = ReadBytes(dir.File("service.log"));
    EXPECT_TRUE(Contains(log, "\"Loose Camera\" is gone")) << log;
    EXPECT_TRUE(Contains(log, "\"Loose Camera\" is back")) << log;
    CProcess after(kBin + "/ZELT2Service", {"--headless", "--status"}, dir.File("after.log"));
    EXPECT_EQ(after.Wait(), app::kExitServiceStopped);
    EXPECT_TRUE(Contains(ReadBytes(dir.File("after.log")), "serving: no")) << ReadBytes(dir.File("after.log"));
}

TEST_F(ServiceProgramTest, ACameraPluggedInAfterTheStartIsWaitedForOnlyWhenAsked) {
    // Without the option: no camera, status 3, as a terminal user expects.
    std::string log;
    EXPECT_EQ(RunService("Late Camera,arrive=60000", ServiceArgs({"--camera", "late"}), log), app::kExitNoCamera) << log;

    // With it (as the system service runs): the still until the camera is plugged in, then live video.
    setenv("ZELT2_SIM_CAMERAS", "Other Camera,arrive=60000;Late Camera,arrive=4000", 1);
    CProcess service(kBin + "/ZELT2Service", ServiceArgs({"--camera", "late", "--wait-for-camera"}),
                     dir.File("service.log"));
    CProcess viewer(kBin + "/ZELT2Viewer", ViewerArgs(dir.File("late.h264"), "9"), dir.File("viewer.log"));
    ASSERT_EQ(viewer.Wait(), 0) << ReadBytes(dir.File("viewer.log")) << ReadBytes(dir.File("service.log"));
    const std::string recording = ReadBytes(dir.File("late.h264"));
    const size_t still = recording.find(ReadBytes(ZELT_STILL_NORMAL));
    ASSERT_NE(still, std::string::npos) << "no still frame before the camera came";
    EXPECT_NE(FindLiveKeyFrame(recording, still), std::string::npos) << "no live video once the camera came";
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), app::kExitDone);
    log = ReadBytes(dir.File("service.log"));
    EXPECT_TRUE(Contains(log, "\"late\" is not plugged in")) << log;
    EXPECT_TRUE(Contains(log, "\"Late Camera\" is back")) << log;
    // The camera found is the one stored, by its whole name.
    EXPECT_TRUE(Contains(Registry(), "Late Camera")) << Registry();
}

TEST_F(ServiceProgramTest, ASimulatedMjpegCameraIsServedAsDecodableH264) {
    setenv("ZELT2_SIM_CAMERAS", "Cheap Camera,format=mjpeg,pattern=ball", 1);
    CProcess service(kBin + "/ZELT2Service", ServiceArgs(), dir.File("service.log"));
    CProcess viewer(kBin + "/ZELT2Viewer", ViewerArgs(dir.File("mjpeg.h264"), "6"), dir.File("viewer.log"));
    ASSERT_EQ(viewer.Wait(), 0) << ReadBytes(dir.File("viewer.log"));
    EXPECT_NE(FindLiveKeyFrame(ReadBytes(dir.File("mjpeg.h264")), 0), std::string::npos);
    EXPECT_TRUE(Decodes(dir.File("mjpeg.h264"), dir.File("gst.log"))) << ReadBytes(dir.File("gst.log"));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), app::kExitDone);
    EXPECT_TRUE(Contains(ReadBytes(dir.File("service.log")), "H.264 encoder: ")) << ReadBytes(dir.File("service.log"));
}

TEST_F(ServiceProgramTest, AConfigurationFileOpenToOthersIsRefusedAndAPrivateOneIsUsed) {
    const std::string config = dir.File("zelt2.conf");
    ASSERT_TRUE(testsupport::WriteBytes(config, "# test\ndid = " + did + "\npassword = pw\ncamera = desk\n"));
    chmod(config.c_str(), 0640);
    std::string log;
    EXPECT_EQ(RunService("Desk Camera", {"--headless", "--this-host-only", "--config", config}, log), app::kExitUsage);
    EXPECT_TRUE(Contains(log, "is open to other users (mode 0640)")) << log;
    EXPECT_TRUE(Contains(log, "chmod 600")) << log;
    ASSERT_TRUE(testsupport::WriteBytes(dir.File("bad.conf"), "did = X\ncolour = red\n"));
    chmod(dir.File("bad.conf").c_str(), 0600);
    EXPECT_EQ(RunService("Desk Camera", {"--headless", "--config", dir.File("bad.conf")}, log), app::kExitUsage);
    EXPECT_TRUE(Contains(log, "line 2: unknown key \"colour\"")) << log;

    // Private, it serves; SIGHUP with a changed password starts the service again under it.
    chmod(config.c_str(), 0600);
    setenv("ZELT2_SIM_CAMERAS", "Desk Camera", 1);
    CProcess service(kBin + "/ZELT2Service", {"--headless", "--this-host-only", "--config", config},
                     dir.File("service.log"));
    CProcess viewer(kBin + "/ZELT2Viewer", ViewerArgs(dir.File("conf.h264"), "2"), dir.File("viewer.log"));
    ASSERT_EQ(viewer.Wait(), 0) << ReadBytes(dir.File("viewer.log"));
    ASSERT_TRUE(testsupport::WriteBytes(config, "did = " + did + "\npassword = changed\n"));
    service.Signal(SIGHUP);
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return Contains(ReadBytes(dir.File("service.log")), "the service starts again"); }, 20000))
        << ReadBytes(dir.File("service.log"));
    auto args = ViewerArgs(dir.File("conf2.h264"), "2");
    args[3] = "changed";
    CProcess again(kBin + "/ZELT2Viewer", args, dir.File("again.log"));
    EXPECT_EQ(again.Wait(), 0) << ReadBytes(dir.File("again.log"));
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(), app::kExitDone) << ReadBytes(dir.File("service.log"));
    EXPECT_TRUE(Contains(Registry(), "\"Password\"=\"changed\"")) << Registry();
}

TEST_F(ServiceProgramTest, TheCameraVanishingStopsTheService) {
    std::string log;
    // The window's way, which the settings can choose for headless mode too.
    mkdir(dir.File("registry").c_str(), 0700);
    ASSERT_TRUE(testsupport::WriteBytes(dir.File("registry/HKEY_CURRENT_USER.reg"),
                                        "Windows Registry Editor Version 5.00\n\n"
                                        "[HKEY_CURRENT_USER\\Software\\ZELT2\\ZELT2Service]\n"
                                        "\"WaitForCamera\"=dword:00000000\n"));
    setenv("ZELT2_SIM_CAMERAS", "Loose Camera,vanish=1500", 1);
    CProcess service(kBin + "/ZELT2Service", ServiceArgs(), dir.File("service.log"));
    EXPECT_EQ(service.Wait(20000), app::kExitServiceStopped);
    log = ReadBytes(dir.File("service.log"));
    EXPECT_TRUE(Contains(log, "the service has stopped")) << log;
    EXPECT_TRUE(Contains(Registry(), "\"CamDriveName\"=\"Loose Camera\""));
}

TEST_F(ServiceProgramTest, RefusalsEndWithTheirMessageAndStatus) {
    std::string log;
    EXPECT_EQ(RunService("none", ServiceArgs(), log), app::kExitNoCamera);
    EXPECT_TRUE(Contains(log, "ZELT2 Service: Please select one USB video device")) << log;
    EXPECT_EQ(RunService("Mute Camera,set=0", ServiceArgs(), log), app::kExitCameraNotAnswering);
    EXPECT_TRUE(Contains(log, "The camera does not answer")) << log;
    EXPECT_EQ(RunService("Desk Camera", ServiceArgs({"--camera", "7"}), log), app::kExitNoCamera);
    EXPECT_TRUE(Contains(log, "0: Desk Camera")) << log;
    EXPECT_EQ(RunService("Desk Camera", {"--headless", "--this-host-only", "--did", "   "}, log), app::kExitBadDid);
    EXPECT_TRUE(Contains(log, "Please enter the DID")) << log;
    // Eleven characters, 22 bytes.
    EXPECT_EQ(RunService("Desk Camera", {"--headless", "--this-host-only", "--did", "\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9"}, log),
              app::kExitBadDid);
    // The limit is in bytes, and the message says so, with the rule; the stored DID stays.
    EXPECT_TRUE(Contains(log, "the DID is longer than 20 bytes")) << log;
    EXPECT_TRUE(Contains(log, "1 to 20 letters (A to Z), digits, '-' or '_'")) << log;
    EXPECT_EQ(RunService("Desk Camera", {"--headless", "--this-host-only", "--did", std::string(40, 'A')}, log),
              app::kExitBadDid);
    EXPECT_TRUE(Contains(log, "the DID is longer than 20 bytes")) << log;
    // A DID the transport will not listen under: the listener's status, then the end, with the rule.
    EXPECT_EQ(RunService("Desk Camera", {"--headless", "--this-host-only", "--did", "A B"}, log), app::kExitDidRefused);
    EXPECT_TRUE(Contains(log, "Status: Wrong DID")) << log;
    EXPECT_TRUE(Contains(log, "1 to 20 letters (A to Z), digits, '-' or '_'")) << log;
    EXPECT_EQ(RunService("Desk Camera", {"--headless", "--frobnicate"}, log), app::kExitUsage);
}

TEST_F(ServiceProgramTest, ASecondServiceOnTheSameSettingsEndsAndTheClaimGoesWithTheFirst) {
    setenv("ZELT2_SIM_CAMERAS", "Desk Camera", 1);
    CProcess first(kBin + "/ZELT2Service", ServiceArgs(), dir.File("first.log"));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return Contains(ReadBytes(dir.File("first.log")), "Status: Running"); }, 30000))
        << ReadBytes(dir.File("first.log"));
    std::string log;
    EXPECT_EQ(RunService("Desk Camera", ServiceArgs(), log), app::kExitAlreadyServing);
    EXPECT_TRUE(Contains(log, "Another ZELT2Service is already running on the settings in " + dir.File("registry")))
        << log;
    EXPECT_FALSE(Contains(log, "Status:")) << log;

    // Killed, the first lets the settings go: the next start gets as far as the camera list.
    first.Signal(SIGKILL);
    first.Wait();
    EXPECT_EQ(RunService("none", ServiceArgs(), log), app::kExitNoCamera) << log;
}

TEST_F(ServiceProgramTest, WithoutTheLibraryTheProgramSaysSoAndEnds) {
    const std::string program = dir.File("ZELT2Service");
    ASSERT_TRUE(testsupport::WriteBytes(program, ReadBytes(kBin + "/ZELT2Service")));
    ASSERT_TRUE(testsupport::WriteBytes(dir.File("libpppp.so"), ReadBytes(kBin + "/libpppp.so")));
    chmod(program.c_str(), 0755);
    CProcess service(program, {"--headless"}, dir.File("service.log"));
    EXPECT_EQ(service.Wait(), app::kExitNoLibrary);
    EXPECT_TRUE(Contains(ReadBytes(dir.File("service.log")), "Tips: Failed to load libNodrik.so."));
}

TEST_F(ServiceProgramTest, ACrashLeavesItsReportInTheWorkingDirectory) {
    setenv("ZELT2_TEST_CRASH", "1", 1);
    CProcess service(kBin + "/ZELT2Service", {"--headless"}, dir.File("service.log"), dir.Path());
    unsetenv("ZELT2_TEST_CRASH");
    EXPECT_EQ(service.Wait(), 128 + SIGSEGV);
    const std::string report = ReadBytes(dir.File(app::kCrashReportFile));
    EXPECT_TRUE(Contains(report, "signal: 11")) << report;
    EXPECT_TRUE(Contains(report, "thread: ")) << report;
    EXPECT_TRUE(Contains(report, "backtrace:\n")) << report;
    EXPECT_TRUE(Contains(report, "ZELT2Service")) << report;
    EXPECT_TRUE(Contains(report, "memory map:\n")) << report;
}

}  // namespace
