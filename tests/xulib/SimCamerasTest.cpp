// The description of the simulated cameras, and the simulated camera's answers
// at the driver's level (its command protocol is driven through the built
// library in the camera tests).

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "tests/support/Environment.h"
#include "xulib/XuGuids.h"
#include "xulib/sim/SimCameras.h"
#include "xulib/sim/SimDeviceAccess.h"

namespace {

using simcam::ParseSimCameras;
using simcam::SimCamera;
using simcam::SimFailure;

TEST(SimCameraDescription, ParsesNamesAndKnobs) {
    std::vector<SimCamera> cams;
    std::string error;
    ASSERT_TRUE(ParseSimCameras(" Desk Camera ; Door,set=2, nopic = 2000/5000 ;Broken,fail=refusing,len=4,"
                                "pattern=ball,fps=15,vanish=800,back=1200,format=mjpeg;Liar,fail=echo;Gone,fail=unplugged,set=0;",
                                cams, error))
        << error;
    ASSERT_EQ(cams.size(), 5u);
    EXPECT_EQ(cams[0].strName, "Desk Camera");
    EXPECT_EQ(cams[0].nGuidSet, 1);
    EXPECT_EQ(cams[0].failure, SimFailure::None);
    EXPECT_EQ(cams[0].wControlLength, 64);
    EXPECT_EQ(cams[0].strPattern, "smpte");
    EXPECT_EQ(cams[1].nGuidSet, 2);
    EXPECT_EQ(cams[1].dwNoPictureMs, 2000u);
    EXPECT_EQ(cams[1].dwPeriodMs, 5000u);
    EXPECT_EQ(cams[2].failure, SimFailure::Refusing);
    EXPECT_EQ(cams[2].wControlLength, 4);
    EXPECT_EQ(cams[2].strPattern, "ball");
    EXPECT_EQ(cams[2].nFrameRate, 15u);
    EXPECT_EQ(cams[2].dwVanishMs, 800u);
    EXPECT_EQ(cams[2].dwBackMs, 1200u);
    EXPECT_TRUE(cams[2].bMjpeg);
    EXPECT_FALSE(cams[0].bMjpeg);
    EXPECT_EQ(cams[0].dwBackMs, 0u);
    EXPECT_EQ(cams[0].nFrameRate, 30u);
    EXPECT_EQ(cams[0].dwVanishMs, 0u);
    EXPECT_EQ(cams[3].failure, SimFailure::WrongEcho);
    EXPECT_EQ(cams[4].failure, SimFailure::Unplugged);
    EXPECT_EQ(cams[4].nGuidSet, 0);

    ASSERT_TRUE(ParseSimCameras("none", cams, error));
    EXPECT_TRUE(cams.empty());
}

TEST(SimCameraDescription, MalformedListsAreRefusedWithTheReason) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "camera 1: the name is empty"},
        {"A;;B", "camera 2: the name is empty"},
        {",set=1", "camera 1: the name is empty"},
        {"A,set=3", "set must be 0, 1 or 2"},
        {"A,nopic=6/5", "nopic must be"},
        {"A,nopic=1/0", "nopic must be"},
        {"A,nopic=sometimes", "nopic must be"},
        {"A,fail=maybe", "fail must be"},
        {"A,len=0", "len must be"},
        {"A,len=2000", "len must be"},
        {"A,len=4x", "len must be"},
        {"A,pattern=Big Ball", "pattern must be"},
        {"A,fps=0", "fps must be"},
        {"A,fps=121", "fps must be"},
        {"A,vanish=0", "vanish must be"},
        {"A,vanish=soon", "vanish must be"},
        {"A,back=0", "back must be"},
        {"A,format=h264", "format must be"},
        {"A,colour=red", "unknown setting \"colour\""},
        {"A;B,set", "camera 2 (\"B\"): \"set\" is not of the form knob=value"},
    };
    for (const auto& [text, fault] : cases) {
        std::vector<SimCamera> cams(1);
        std::string error;
        EXPECT_FALSE(ParseSimCameras(text, cams, error)) << text;
        EXPECT_NE(error.find(fault), std::string::npos) << text << " -> " << error;
        EXPECT_TRUE(cams.empty()) << text;
    }
}

TEST(SimCameraDescription, NoPictureSchedule) {
    std::vector<SimCamera> cams;
    std::string error;
    ASSERT_TRUE(ParseSimCameras("A;B,nopic=always;C,nopic=2000/5000;D,nopic=0/100;E,nopic=100/100", cams, error));
    EXPECT_TRUE(cams[0].HasPicture(0));
    EXPECT_TRUE(cams[0].HasPicture(123456));
    EXPECT_FALSE(cams[1].HasPicture(0));
    EXPECT_FALSE(cams[1].HasPicture(99999));
    EXPECT_FALSE(cams[2].HasPicture(0));
    EXPECT_FALSE(cams[2].HasPicture(1999));
    EXPECT_TRUE(cams[2].HasPicture(2000));
    EXPECT_TRUE(cams[2].HasPicture(4999));
    EXPECT_FALSE(cams[2].HasPicture(5000));
    EXPECT_FALSE(cams[2].HasPicture(0xFFFFFFFFu - 1000));  // (2^32 - 1001) % 5000 = 1295: in the off part
    EXPECT_TRUE(cams[3].HasPicture(0));
    EXPECT_FALSE(cams[4].HasPicture(50));
}

TEST(SimCameraDescription, EnvironmentChoosesTheSource) {
    std::vector<SimCamera> cams;
    std::string error;
    testsupport::UnsetEnvironment(simcam::kSimCamerasVariable);
    EXPECT_EQ(simcam::SimCamerasFromEnvironment(cams, error), simcam::SimSource::Real);
    testsupport::SetEnvironment(simcam::kSimCamerasVariable, "");
    EXPECT_EQ(simcam::SimCamerasFromEnvironment(cams, error), simcam::SimSource::Real);
    testsupport::SetEnvironment(simcam::kSimCamerasVariable, "Cam");
    EXPECT_EQ(simcam::SimCamerasFromEnvironment(cams, error), simcam::SimSource::Simulated);
    EXPECT_EQ(cams.size(), 1u);
    testsupport::SetEnvironment(simcam::kSimCamerasVariable, "Cam,set=9");
    EXPECT_EQ(simcam::SimCamerasFromEnvironment(cams, error), simcam::SimSource::Invalid);
    EXPECT_EQ(error.rfind("ZELT2_SIM_CAMERAS: camera 1", 0), 0u) << error;
    testsupport::UnsetEnvironment(simcam::kSimCamerasVariable);
}

class SimCameraDevice : public ::testing::Test {
protected:
    std::shared_ptr<nodrik::IXuNode> Open(const std::string& description) {
        std::vector<SimCamera> cams;
        std::string error;
        EXPECT_TRUE(ParseSimCameras(description, cams, error)) << error;
        m_pAccess = std::make_unique<nodrik::CSimDeviceAccess>(cams);
        std::u16string name;
        std::shared_ptr<nodrik::IXuNode> node;
        EXPECT_TRUE(m_pAccess->FindDevice(0, name, node));
        return node;
    }
    static std::array<uint8_t, 64> Request(uint8_t code, uint8_t value) {
        std::array<uint8_t, 64> b{};
        b[0] = code;
        b[1] = value;
        return b;
    }
    std::unique_ptr<nodrik::CSimDeviceAccess> m_pAccess;
    static constexpr uint8_t kUnit2 = nodrik::kSimUnit2Id;
};

TEST_F(SimCameraDevice, PlaysTheDriversRefusals) {
    auto cam = Open("Cam,len=4");
    auto b = Request(20, 1);
    EXPECT_EQ(cam->XuQuery(kUnit2, 1, nodrik::kUvcSetCur, 64, b.data()), ENOBUFS);
    EXPECT_EQ(cam->XuQuery(kUnit2, 1, nodrik::kUvcSetCur, 4, b.data()), 0);
    EXPECT_EQ(cam->XuQuery(kUnit2, 2, nodrik::kUvcSetCur, 4, b.data()), ENOENT);
    EXPECT_EQ(cam->XuQuery(1, 1, nodrik::kUvcSetCur, 4, b.data()), ENOENT);
    EXPECT_EQ(cam->XuQuery(kUnit2, 1, 0x82 /* GET_MIN */, 4, b.data()), EINVAL);
    auto unknown = Request(77, 0);
    EXPECT_EQ(cam->XuQuery(kUnit2, 1, nodrik::kUvcSetCur, 4, unknown.data()), EPIPE);
    // Unit 1 keeps what it is sent.
    auto u1 = Request(7, 8);
    ASSERT_EQ(cam->XuQuery(nodrik::kSimUnit1Id, 1, nodrik::kUvcSetCur, 4, u1.data()), 0);
    std::array<uint8_t, 64> back{};
    ASSERT_EQ(cam->XuQuery(nodrik::kSimUnit1Id, 1, nodrik::kUvcGetCur, 4, back.data()), 0);
    EXPECT_EQ(back[0], 7);
    EXPECT_EQ(back[1], 8);
}

}  // namespace
