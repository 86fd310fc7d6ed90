// The built library (libNodrik.so, Nodrik.dll), loaded from the program directory and
// driven through the camera command channel, with simulated cameras.

#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/Clock.h"
#include "platform/ProgramDir.h"
#include "service/camera/CameraXU.h"
#include "service/camera/XuBinding.h"
#include "service/camera/XuModule.h"
#include "tests/support/Environment.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TempDir.h"
#include "xulib/sim/SimCameras.h"

namespace {

using camera::CCameraXU;

class NodrikLibrary : public ::testing::Test {
protected:
    // The library reads the simulated cameras when it loads.
    void Load(const char* cameras) {
        testsupport::SetEnvironment(simcam::kSimCamerasVariable, cameras);
        ASSERT_EQ(camera::LoadXuLibrary(platform::GetProgramDirectory()), camera::kXuLoaded)
            << camera::XuLibraryLoadError();
        m_bLoaded = true;
    }
    void TearDown() override {
        if (m_bLoaded) camera::UnloadXuLibrary();
        testsupport::UnsetEnvironment(simcam::kSimCamerasVariable);
    }

    // Reads control 1 of unit 2 straight from the library, as the channel's requests leave it.
    std::array<uint8_t, 64> ReadCommandControl() {
        std::array<uint8_t, 64> b;
        b.fill(0xEE);
        const camera::XuEntryPoints& xu = camera::XuEntries();
        xu.pOnSetUnitId(2);
        xu.pOnSetCtrlId(1);
        EXPECT_TRUE(xu.pOnUVC_GetCur(b.data()));
        return b;
    }

    testsupport::CManualClock m_clock;
    platform::CScopedClock m_useClock{m_clock};
    bool m_bLoaded = false;
    CCameraXU m_camXU;
};

TEST_F(NodrikLibrary, LoadFailures) {
    EXPECT_EQ(camera::LoadXuLibrary(""), camera::kXuNoDirectory);
    EXPECT_EQ(camera::XuEntries().pOnInitializeXU, nullptr);

    const testsupport::CTempDir empty;
    EXPECT_EQ(camera::LoadXuLibrary(empty.Path() + "/"), camera::kXuCannotLoad);
    EXPECT_NE(camera::XuLibraryLoadError().find(camera::kXuLibraryFileName), std::string::npos)
        << camera::XuLibraryLoadError();

    std::ofstream(empty.File(camera::kXuLibraryFileName)) << "not a library";
    EXPECT_EQ(camera::LoadXuLibrary(empty.Path() + "/"), camera::kXuCannotLoad);
    EXPECT_FALSE(camera::XuLibraryLoadError().empty());
    EXPECT_EQ(camera::XuEntries().pOnInitializeXU, nullptr);
}

TEST_F(NodrikLibrary, ALibraryLackingExportsBindsButDoesNotOpen) {
    ASSERT_EQ(camera::LoadXuLibrary(platform::GetProgramDirectory() + "partial/"), camera::kXuLoaded);
    m_bLoaded = true;
    EXPECT_EQ(m_camXU.GetDeviceList(), (std::vector<std::u16string>{u"P"}));
    auto sequence = m_camXU.BeginSequence();
    EXPECT_FALSE(m_camXU.Open(0));
    EXPECT_FALSE(m_camXU.SendCommand(20, 1));
}

TEST_F(NodrikLibrary, EveryExportIsBoundByItsPlainName) {
    Load("Desk Camera");
    const camera::XuEntryPoints& e = camera::XuEntries();
    const void* const entries[] = {
        reinterpret_cast<const void*>(e.pOnUVC_SetCur),   reinterpret_cast<const void*>(e.pOnUVC_GetCur),
        reinterpret_cast<const void*>(e.pGetUnitIdRange), reinterpret_cast<const void*>(e.pGetCtrlIdRange),
        reinterpret_cast<const void*>(e.pGetReqLenRange), reinterpret_cast<const void*>(e.pOnUVC_SetGUID),
        reinterpret_cast<const void*>(e.pGetReqLen),      reinterpret_cast<const void*>(e.pGetCurReqLen),
        reinterpret_cast<const void*>(e.pOnSetUnitId),    reinterpret_cast<const void*>(e.pOnSetCtrlId),
        reinterpret_cast<const void*>(e.pOnSetReqLen),    reinterpret_cast<const void*>(e.pGetDeviceNameEnum),
        reinterpret_cast<const void*>(e.pOnInitializeXU), reinterpret_cast<const void*>(e.pOnUnInitializeXU)};
    for (size_t i = 0; i < std::size(entries); ++i) EXPECT_NE(entries[i], nullptr) << "export " << i;
    int maximum = 0, minimum = 0;
    e.pGetReqLenRange(&maximum, &minimum);
    EXPECT_EQ(maximum, 64);
    EXPECT_EQ(minimum, 1);
    EXPECT_EQ(e.pGetReqLen(), 11);
}

TEST_F(NodrikLibrary, ListsTheSimulatedCameras) {
    Load("Desk Camera;Door Camera,set=2;Caf\xc3\xa9 Cam");
    EXPECT_EQ(m_camXU.GetDeviceList(), (std::vector<std::u16string>{u"Desk Camera", u"Door Camera", u"Caf\u00e9 Cam"}));
}

TEST_F(NodrikLibrary, NoCamera) {
    Load("none");
    EXPECT_TRUE(m_camXU.GetDeviceList().empty());
    auto sequence = m_camXU.BeginSequence();
    EXPECT_FALSE(m_camXU.Open(0));
    EXPECT_FALSE(m_camXU.SendCommand(48, 0));
}

TEST_F(NodrikLibrary, WithoutTheSystemsCamerasEveryRequestIsRefused) {
    Load("");  // the system's own cameras: none on a build machine or under Wine
    if (!m_camXU.GetDeviceList().empty()) GTEST_SKIP() << "this machine has cameras";
    m_clock.SetAdvanceOnSleep(true);
    auto sequence = m_camXU.BeginSequence();
    EXPECT_FALSE(m_camXU.Open(0));
    EXPECT_FALSE(m_camXU.SendCommand(48, 0));
    uint8_t b = 0x25;
    EXPECT_FALSE(m_camXU.Query(26, &b));
    EXPECT_EQ(b, 0x25);
    const camera::XuEntryPoints& xu = camera::XuEntries();
    std::array<uint8_t, 64> buffer{};
    EXPECT_FALSE(xu.pOnInitializeXU(0));
    EXPECT_FALSE(xu.pOnUVC_GetCur(buffer.data()));
    EXPECT_TRUE(xu.pOnUnInitializeXU());
}

TEST_F(NodrikLibrary, AMalformedDescriptionShowsNoCamera) {
    Load("Cam,set=7");
    EXPECT_TRUE(m_camXU.GetDeviceList().empty());
}

TEST_F(NodrikLibrary, CommandsAndStatusQueryUnderEitherGuidSet) {
    Load("One;Two,set=2");
    m_clock.SetAdvanceOnSleep(true);
    for (int index : {0, 1}) {
        auto sequence = m_camXU.BeginSequence();
        ASSERT_TRUE(m_camXU.Open(index));
        ASSERT_TRUE(m_camXU.SendCommand(48, 0));
        ASSERT_TRUE(m_camXU.SendCommand(20, 3));
        std::array<uint8_t, 64> expected{};
        expected[0] = 20;
        expected[1] = 3;
        EXPECT_EQ(ReadCommandControl(), expected);  // 20, 3 and 62 zeros

        uint8_t b = 0x25;
        const uint64_t slept = m_clock.SleptMs();
        ASSERT_TRUE(m_camXU.Query(26, &b));
        EXPECT_EQ(b, 0x31);  // mode 3, a picture
        EXPECT_EQ(m_clock.SleptMs() - slept, 500u);
        uint8_t unchanged = 0x25;
        EXPECT_TRUE(m_camXU.Query(48, &unchanged));
        EXPECT_EQ(unchanged, 0x25);
        m_camXU.Close();
        EXPECT_FALSE(m_camXU.SendCommand(20, 1));  // closed: the library refuses
    }
}

// A host that unloads the library while a camera is bound, without
// OnUnInitializeXU first: the unload lets the camera go, and the library
// loads and binds it again.
TEST_F(NodrikLibrary, UnloadedWhileACameraIsBoundAndLoadedAgain) {
    testsupport::SetEnvironment(simcam::kSimCamerasVariable, "Desk Camera");
    const std::string path = platform::GetProgramDirectory() + camera::kXuLibraryFileName;
    for (int round = 0; round < 2; ++round) {
        std::string error;
        void* module = camera::OpenXuModule(path, error);
        ASSERT_NE(module, nullptr) << error;
        const auto initialise = reinterpret_cast<bool (*)(int)>(camera::FindXuExport(module, "OnInitializeXU"));
        ASSERT_NE(initialise, nullptr);
        EXPECT_TRUE(initialise(0)) << "round " << round;
        camera::CloseXuModule(module);
    }
}

TEST_F(NodrikLibrary, CameraFailures) {
    Load("Dark,nopic=always;Liar,fail=echo;Stalls,fail=refusing;Gone,fail=unplugged;Plain,set=0");
    m_clock.SetAdvanceOnSleep(true);
    auto sequence = m_camXU.BeginSequence();
    uint8_t b = 0x20;
    ASSERT_TRUE(m_camXU.Open(0));
    ASSERT_TRUE(m_camXU.Query(26, &b));
    EXPECT_EQ(b & 0x0F, 0);  // no picture

    ASSERT_TRUE(m_camXU.Open(1));
    b = 0x25;
    EXPECT_FALSE(m_camXU.Query(26, &b));
    EXPECT_EQ(b, 0x25);

    for (int index : {2, 3}) {
        ASSERT_TRUE(m_camXU.Open(index));
        EXPECT_FALSE(m_camXU.SendCommand(20, 1));
        const uint64_t slept = m_clock.SleptMs();
        EXPECT_FALSE(m_camXU.Query(26, &b));
        EXPECT_EQ(m_clock.SleptMs(), slept);  // no wait after a failed SET_CUR
    }
    EXPECT_FALSE(m_camXU.Open(4));
    EXPECT_FALSE(m_camXU.SendCommand(48, 0));
}

TEST_F(NodrikLibrary, LongNamesAreCut) {
    const std::string name(300, 'n');
    Load(name.c_str());
    ASSERT_EQ(m_camXU.GetDeviceList().size(), 1u);
    EXPECT_EQ(m_camXU.GetDeviceList()[0], std::u16string(259, u'n'));
}

TEST_F(NodrikLibrary, ConcurrentSequencesKeepTheirOwnMode) {
    Load("Shared");
    // Each thread sets its own mode and asks for the status; the answer's high
    // four bits are the camera's mode, so a sequence cut by another would see
    // the other's mode (and the library's unlocked state would race).
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                auto sequence = m_camXU.BeginSequence();
                const bool ok = m_camXU.Open(0) && m_camXU.SendCommand(48, 0) &&
                                m_camXU.SendCommand(20, static_cast<uint8_t>(t));
                uint8_t b = static_cast<uint8_t>(t << 4);
                if (!ok || !m_camXU.Query(26, &b)) {
                    ++failed;
                } else if (b >> 4 != t) {
                    ++wrong;
                }
                m_camXU.Close();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
