// ZELT2FileDevice and ZELT2Viewer as a user runs them: separate processes
// on this host, what the viewer writes, and each way a run ends with its own
// exit status and message.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "service/demo/AnnexB.h"
#include "transport/PPPP_API.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Wait.h"
#include "viewer/ViewerClient.h"

namespace {

const std::string kBin = ZELT_BIN_DIR;
const std::string kSample = std::string(ZELT_TEST_DATA_DIR) + "/sample-320x240-high.h264";

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// One of the programs built here as a child process, its standard output and
// error going to a file; with `closedOutput`, its standard output is a pipe
// nobody reads (closed at once).
class CProcess : public testsupport::CChildProcess {
public:
    CProcess(const std::string& program, std::vector<std::string> args, const std::string& log,
             bool closedOutput = false)
        : CChildProcess(kBin + "/" + program, std::move(args), Options(log, closedOutput)) {}

private:
    static testsupport::ChildOptions Options(const std::string& log, bool closedOutput) {
        testsupport::ChildOptions options;
        options.log = log;
        if (closedOutput) options.output = testsupport::ChildOptions::Output::ClosedPipe;
        return options;
    }
};

std::string Contents(const std::string& path) {
    const auto bytes = ReadAll(path);
    return std::string(bytes.begin(), bytes.end());
}

class ProgramsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Both programs find each other on this host only, on this test's own discovery port.
        PPPP_InitOptions options{};
        options.discoveryPort = 41470;
        options.flags = PPPP_INIT_LOOPBACK_ONLY | PPPP_INIT_NO_PROBE;
        char init[PPPP_INIT_STRING_LENGTH + 1];
        ASSERT_EQ(PPPP_MakeInitString(&options, init, sizeof init), PPPP_INIT_STRING_LENGTH);
        setenv(PPPP_INIT_ENV_VARIABLE, init, 1);
    }

    ProgramsTest() : dir("/tmp/zelt2-programs-" + std::to_string(getpid())), did("PROG" + std::to_string(getpid())) {
        mkdir(dir.c_str(), 0700);
    }
    ~ProgramsTest() override {
        for (const char* f : {"device.log", "viewer.log", "video.h264", "other.log"}) std::remove((dir + "/" + f).c_str());
        rmdir(dir.c_str());
    }
    std::vector<std::string> ViewerArgs(const std::string& password) {
        return {"--did", did, "--password", password, "--timeout", "5", "--quiet"};
    }

    const std::string dir;
    const std::string did;
};

TEST_F(ProgramsTest, TheViewerRecordsWholeFramesOfTheSampleFromAKeyFrameOn) {
    CProcess device("ZELT2FileDevice", {"--did", did, "--password", "pw", "--video", kSample, "--fps", "50"},
                    dir + "/device.log");
    auto args = ViewerArgs("pw");
    for (const std::string& a : {std::string("--frames"), std::string("30"), std::string("--output"), dir + "/video.h264",
                                 std::string("--mark-set"), std::string("--mark-clear"), std::string("--video-stop"),
                                 std::string("--mode"), std::string("1")})
        args.push_back(a);
    CProcess viewer("ZELT2Viewer", args, dir + "/viewer.log");
    ASSERT_EQ(viewer.Wait(), viewer::kViewerDone) << Contents(dir + "/viewer.log");
    const std::string report = Contents(dir + "/viewer.log");
    EXPECT_NE(report.find("Recorded 30 frames"), std::string::npos) << report;
    EXPECT_NE(report.find("ModeReport: camera mode 1"), std::string::npos) << report;

    // Each frame written is one of the sample's, whole; the first a key frame.
    const auto sample = ReadAll(kSample);
    const auto video = ReadAll(dir + "/video.h264");
    const auto sampleFrames = demo::SplitAccessUnits(sample.data(), sample.size());
    const auto frames = demo::SplitAccessUnits(video.data(), video.size());
    ASSERT_EQ(frames.size(), 30u);
    EXPECT_TRUE(frames[0].key);
    for (const auto& f : frames) {
        bool found = false;
        for (const auto& s : sampleFrames)
            found = found || (s.length == f.length &&
                              std::memcmp(sample.data() + s.offset, video.data() + f.offset, f.length) == 0);
        EXPECT_TRUE(found) << "a frame at byte " << f.offset << " is not one of the sample's";
    }

    device.Signal(SIGTERM);
    EXPECT_EQ(device.Wait(), 0);
    const std::string log = Contents(dir + "/device.log");
    EXPECT_NE(log.find("Camera mode 1 asked for"), std::string::npos) << log;
    EXPECT_NE(log.find("Still-frame poll stopped"), std::string::npos) << log;
}

TEST_F(ProgramsTest, EachWayARunEndsHasItsOwnExitStatusAndMessage) {
    CProcess device("ZELT2FileDevice", {"--did", did, "--password", "pw", "--video", kSample}, dir + "/device.log");

    CProcess wrong("ZELT2Viewer", ViewerArgs("PW"), dir + "/viewer.log");
    EXPECT_EQ(wrong.Wait(), viewer::kViewerWrongPassword);
    EXPECT_NE(Contents(dir + "/viewer.log").find("Wrong password for device " + did), std::string::npos);

    auto nobody = ViewerArgs("pw");
    nobody[1] = did + "-NOBODY";
    nobody[5] = "1";
    CProcess unknown("ZELT2Viewer", nobody, dir + "/viewer.log");
    EXPECT_EQ(unknown.Wait(), viewer::kViewerDeviceNotFound);
    EXPECT_NE(Contents(dir + "/viewer.log").find("No device answers for DID " + did + "-NOBODY"), std::string::npos);

    CProcess usage("ZELT2Viewer", {"--did", did, "--mode", "4"}, dir + "/viewer.log");
    EXPECT_EQ(usage.Wait(), viewer::kViewerUsage);
    EXPECT_NE(Contents(dir + "/viewer.log").find("--mode needs a whole number from 0 to 3"), std::string::npos);

    auto toNowhere = ViewerArgs("pw");
    toNowhere.insert(toNowhere.end(), {"--output", dir + "/no/such/folder/video.h264"});
    CProcess unwritable("ZELT2Viewer", toNowhere, dir + "/viewer.log");
    EXPECT_EQ(unwritable.Wait(), viewer::kViewerOutputFailed);
    EXPECT_NE(Contents(dir + "/viewer.log").find("cannot create"), std::string::npos);

    // An invalid DID and a duration past 32-bit milliseconds are command-line errors.
    CProcess badDid("ZELT2Viewer", {"--did", "CAM 1"}, dir + "/viewer.log");
    EXPECT_EQ(badDid.Wait(), viewer::kViewerUsage);
    EXPECT_NE(Contents(dir + "/viewer.log").find("--did needs a device identifier"), std::string::npos);
    CProcess tooLong("ZELT2Viewer", {"--did", did, "--duration", "4294968"}, dir + "/viewer.log");
    EXPECT_EQ(tooLong.Wait(), viewer::kViewerUsage);

    // A run that never logs in leaves an existing recording as it was.
    {
        std::ofstream keep(dir + "/video.h264", std::ios::binary);
        keep << "an earlier recording";
    }
    auto wrongToFile = ViewerArgs("PW");
    wrongToFile.insert(wrongToFile.end(), {"--output", dir + "/video.h264"});
    CProcess refused("ZELT2Viewer", wrongToFile, dir + "/viewer.log");
    EXPECT_EQ(refused.Wait(), viewer::kViewerWrongPassword);
    EXPECT_EQ(Contents(dir + "/video.h264"), "an earlier recording");

    // The device goes away under a watching viewer, once that viewer is in
    // (its login may wait: the refusals above came from this host).
    auto watchArgs = ViewerArgs("pw");
    watchArgs.pop_back();  // not quiet: it says when it has asked for video
    CProcess watching("ZELT2Viewer", watchArgs, dir + "/viewer.log");
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return Contents(dir + "/viewer.log").find("VideoStart sent") != std::string::npos; }, 20000));
    device.Signal(SIGTERM);
    EXPECT_EQ(device.Wait(), 0);
    EXPECT_EQ(watching.Wait(), viewer::kViewerSessionLost);
    EXPECT_NE(Contents(dir + "/viewer.log").find("The session was lost"), std::string::npos) << Contents(dir + "/viewer.log");
}

TEST_F(ProgramsTest, ADeviceTheTransportWillNotListenForSaysWrongDid) {
    CProcess device("ZELT2FileDevice", {"--did", "BAD DID", "--video", kSample}, dir + "/device.log");
    EXPECT_EQ(device.Wait(), 3);
    const std::string log = Contents(dir + "/device.log");
    EXPECT_NE(log.find("Wrong DID"), std::string::npos) << log;

    CProcess missing("ZELT2FileDevice", {"--did", did, "--video", dir + "/none.h264"}, dir + "/other.log");
    EXPECT_EQ(missing.Wait(), 2);
    EXPECT_NE(Contents(dir + "/other.log").find("Cannot open the video file"), std::string::npos);
}

TEST_F(ProgramsTest, ADeviceWhoseOutputReaderWentAwayGoesOnServing) {
    CProcess device("ZELT2FileDevice", {"--did", did, "--password", "pw", "--video", kSample}, dir + "/device.log",
                    /*closedOutput=*/true);
    auto args = ViewerArgs("pw");
    args.insert(args.end(), {"--frames", "5"});
    CProcess viewer("ZELT2Viewer", args, dir + "/viewer.log");
    EXPECT_EQ(viewer.Wait(), viewer::kViewerDone) << Contents(dir + "/viewer.log");
    device.Signal(SIGTERM);
    EXPECT_EQ(device.Wait(), 0) << Contents(dir + "/device.log");
}

}  // namespace
