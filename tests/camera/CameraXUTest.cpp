// The camera command channel against fake entry points in the library's place.

#include <gtest/gtest.h>

#include <array>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "service/camera/CameraXU.h"
#include "service/camera/XuBinding.h"
#include "tests/support/ManualClock.h"

namespace {

using camera::CCameraXU;

// What the fake library saw, and what it answers.
struct Call {
    std::string strWhat;
    int nArg;
    std::thread::id thread;
    std::array<uint8_t, 64> data;
};

std::mutex g_lock;
std::vector<Call> g_calls;
bool g_bInitResult = true;
bool g_bSetCurResult = true;
bool g_bGetCurResult = true;
std::array<uint8_t, 64> g_answer{};
std::vector<std::u16string> g_names;  // empty entries: the library cannot name that position

void Record(const char* what, int arg, const uint8_t* data = nullptr) {
    std::lock_guard<std::mutex> hold(g_lock);
    Call c{what, arg, std::this_thread::get_id(), {}};
    if (data) std::copy(data, data + 64, c.data.begin());
    g_calls.push_back(c);
}

bool FakeSetUnit(int unit) { return Record("unit", unit), true; }
bool FakeSetCtrl(int control) { return Record("ctrl", control), true; }
bool FakeSetReqLen(int length) { return Record("reqlen", length), true; }
bool FakeSetCur(uint8_t* data) { return Record("set", 0, data), g_bSetCurResult; }
bool FakeGetCur(uint8_t* data) {
    Record("get", 0);
    if (g_bGetCurResult) std::copy(g_answer.begin(), g_answer.end(), data);
    return g_bGetCurResult;
}
bool FakeInit(int index) { return Record("init", index), g_bInitResult; }
bool FakeUninit() { return Record("uninit", 0), true; }
bool FakeName(int index, char16_t* name) {
    if (index < 0 || static_cast<size_t>(index) >= g_names.size() || g_names[index].empty()) return false;
    std::copy(g_names[index].begin(), g_names[index].end(), name);
    name[g_names[index].size()] = 0;
    return true;
}

camera::XuEntryPoints FakeEntries() {
    camera::XuEntryPoints e;
    e.pOnSetUnitId = FakeSetUnit;
    e.pOnSetCtrlId = FakeSetCtrl;
    e.pOnSetReqLen = FakeSetReqLen;
    e.pOnUVC_SetCur = FakeSetCur;
    e.pOnUVC_GetCur = FakeGetCur;
    e.pOnInitializeXU = FakeInit;
    e.pOnUnInitializeXU = FakeUninit;
    e.pGetDeviceNameEnum = FakeName;
    return e;
}

std::array<uint8_t, 64> Bytes(std::initializer_list<uint8_t> head) {
    std::array<uint8_t, 64> b{};
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

class CameraChannel : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_bInitResult = g_bSetCurResult = g_bGetCurResult = true;
        g_answer = {};
        g_names = {u"Cam A", u"Cam B"};
        m_previous = camera::InstallXuEntryPoints(FakeEntries());
    }
    void TearDown() override { camera::InstallXuEntryPoints(m_previous); }

    std::vector<std::string> Kinds() const {
        std::vector<std::string> kinds;
        for (const Call& c : g_calls) kinds.push_back(c.strWhat);
        return kinds;
    }

    camera::XuEntryPoints m_previous;
    testsupport::CManualClock m_clock;
    platform::CScopedClock m_useClock{m_clock};
    CCameraXU m_camXU;
};

TEST_F(CameraChannel, CommandLayoutAndSelection) {
    auto sequence = m_camXU.BeginSequence();
    ASSERT_TRUE(m_camXU.SendCommand(20, 3));
    EXPECT_EQ(Kinds(), (std::vector<std::string>{"unit", "ctrl", "reqlen", "set"}));
    EXPECT_EQ(g_calls[0].nArg, 2);
    EXPECT_EQ(g_calls[1].nArg, 1);
    EXPECT_EQ(g_calls[2].nArg, 4);
    EXPECT_EQ(g_calls[3].data, Bytes({20, 3}));

    g_calls.clear();
    ASSERT_TRUE(m_camXU.SendCommand(48, 7));  // only command 20 carries a value
    EXPECT_EQ(g_calls.back().data, Bytes({48}));
    ASSERT_TRUE(m_camXU.SendCommand(49, 7));
    EXPECT_EQ(g_calls.back().data, Bytes({49}));

    g_calls.clear();
    EXPECT_FALSE(m_camXU.SendCommand(21, 0));
    EXPECT_FALSE(m_camXU.SendCommand(26, 0));
    EXPECT_TRUE(g_calls.empty());

    g_bSetCurResult = false;
    EXPECT_FALSE(m_camXU.SendCommand(20, 1));
}

TEST_F(CameraChannel, StatusQueryWaitsAndChecksBothEchoes) {
    auto sequence = m_camXU.BeginSequence();
    m_clock.SetAdvanceOnSleep(true);
    g_answer = Bytes({26, 2, 0x41});
    uint8_t b = 0x25;
    ASSERT_TRUE(m_camXU.Query(26, &b));
    EXPECT_EQ(b, 0x41);
    EXPECT_EQ(m_clock.SleptMs(), 500u);
    EXPECT_EQ(Kinds(), (std::vector<std::string>{"unit", "ctrl", "reqlen", "set", "unit", "ctrl", "reqlen", "get"}));
    EXPECT_EQ(g_calls[3].data, Bytes({26, 2}));

    for (auto answer : {Bytes({26, 3, 0x41}), Bytes({27, 2, 0x41}), Bytes({0, 0, 0})}) {
        g_answer = answer;
        b = 0x25;
        EXPECT_FALSE(m_camXU.Query(26, &b));
        EXPECT_EQ(b, 0x25);
    }
    g_answer = Bytes({26, 2, 0x00});
    g_bGetCurResult = false;
    EXPECT_FALSE(m_camXU.Query(26, &b));
    EXPECT_EQ(b, 0x25);
}

TEST_F(CameraChannel, AFailedSetCurEndsTheQueryWithoutWaiting) {
    auto sequence = m_camXU.BeginSequence();
    g_bSetCurResult = false;
    uint8_t b = 0x10;
    EXPECT_FALSE(m_camXU.Query(26, &b));
    EXPECT_EQ(m_clock.SleptMs(), 0u);
    EXPECT_EQ(Kinds().back(), "set");
    EXPECT_EQ(b, 0x10);
}

TEST_F(CameraChannel, AnAnswerTheCameraDidNotWriteIsNoEcho) {
    // A library that moves fewer bytes than the answer leaves the rest of the
    // buffer as it was; the request's own 26, n must not pass for the echo.
    camera::XuEntryPoints e = FakeEntries();
    e.pOnUVC_GetCur = [](uint8_t* data) { return data[0] = 26, true; };
    camera::InstallXuEntryPoints(e);
    auto sequence = m_camXU.BeginSequence();
    uint8_t b = 0x00;
    EXPECT_FALSE(m_camXU.Query(26, &b));
    EXPECT_EQ(b, 0x00);
}

TEST_F(CameraChannel, QueriesThatSendNothing) {
    auto sequence = m_camXU.BeginSequence();
    uint8_t b = 0x25;
    EXPECT_TRUE(m_camXU.Query(48, &b));
    EXPECT_TRUE(m_camXU.Query(49, &b));
    EXPECT_TRUE(m_camXU.Query(26, nullptr));
    EXPECT_EQ(b, 0x25);
    EXPECT_TRUE(g_calls.empty());
    EXPECT_FALSE(m_camXU.Query(20, &b));
    EXPECT_FALSE(m_camXU.Query(27, &b));
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(CameraChannel, OpenUninitialisesFirstAndNeedsBothEntries) {
    {
        auto sequence = m_camXU.BeginSequence();
        EXPECT_TRUE(m_camXU.Open(1));
        EXPECT_EQ(Kinds(), (std::vector<std::string>{"uninit", "init"}));
        EXPECT_EQ(g_calls[1].nArg, 1);
        m_camXU.Close();
        EXPECT_EQ(Kinds().back(), "uninit");
        g_bInitResult = false;
        EXPECT_FALSE(m_camXU.Open(0));
    }
    // The sequence left open was closed when it ended.
    EXPECT_EQ(Kinds().back(), "uninit");

    camera::XuEntryPoints e = FakeEntries();
    e.pOnInitializeXU = nullptr;
    camera::InstallXuEntryPoints(e);
    g_calls.clear();
    auto sequence = m_camXU.BeginSequence();
    EXPECT_FALSE(m_camXU.Open(0));
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(CameraChannel, MissingEntryPointsFailInsteadOfCrashing) {
    camera::InstallXuEntryPoints(camera::XuEntryPoints{});
    auto sequence = m_camXU.BeginSequence();
    uint8_t b = 0;
    EXPECT_FALSE(m_camXU.Open(0));
    EXPECT_FALSE(m_camXU.SendCommand(20, 1));
    EXPECT_FALSE(m_camXU.Query(26, &b));
    m_camXU.Close();
    EXPECT_TRUE(m_camXU.GetDeviceList().empty());
}

TEST_F(CameraChannel, NothingOutsideASequence) {
    uint8_t b = 0;
    EXPECT_FALSE(m_camXU.Open(0));
    EXPECT_FALSE(m_camXU.SendCommand(20, 1));
    EXPECT_FALSE(m_camXU.Query(26, &b));
    m_camXU.Close();
    EXPECT_TRUE(g_calls.empty());
    EXPECT_FALSE(m_camXU.InSequence());
    {
        auto sequence = m_camXU.BeginSequence();
        EXPECT_TRUE(m_camXU.InSequence());
        auto moved = std::move(sequence);
        EXPECT_TRUE(m_camXU.InSequence());
    }
    EXPECT_FALSE(m_camXU.InSequence());
}

TEST_F(CameraChannel, DeviceListStopsAtTheFirstUnnamedPosition) {
    g_names = {u"First", u"", u"Third"};
    EXPECT_EQ(m_camXU.GetDeviceList(), (std::vector<std::u16string>{u"First"}));
    g_names = {};
    EXPECT_TRUE(m_camXU.GetDeviceList().empty());
    // Inside a sequence it runs as part of it.
    g_names = {u"A", u"B"};
    auto sequence = m_camXU.BeginSequence();
    EXPECT_EQ(m_camXU.GetDeviceList().size(), 2u);
}

TEST_F(CameraChannel, UnloadUninitialisesAndWaits) {
    camera::UnloadXuLibrary();
    EXPECT_EQ(Kinds(), (std::vector<std::string>{"uninit"}));
    EXPECT_EQ(m_clock.SleptMs(), 50u);
}

TEST_F(CameraChannel, SequencesFromSeveralThreadsNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int r = 0; r < kRounds; ++r) {
                auto sequence = m_camXU.BeginSequence();
                m_camXU.Open(t);
                m_camXU.SendCommand(48, 0);
                m_camXU.SendCommand(20, static_cast<uint8_t>(t));
                uint8_t b = static_cast<uint8_t>(t << 4);
                m_camXU.Query(26, &b);  // sleeps in the middle: a chance for others to cut in
                m_camXU.Close();
            }
        });
    }
    for (auto& thread : threads) thread.join();

    // Every sequence is uninit, init ... uninit from one thread, with nothing
    // of another thread in between.
    std::lock_guard<std::mutex> hold(g_lock);
    size_t i = 0;
    int sequences = 0;
    while (i < g_calls.size()) {
        ASSERT_EQ(g_calls[i].strWhat, "uninit") << i;
        ASSERT_LT(i + 1, g_calls.size());
        ASSERT_EQ(g_calls[i + 1].strWhat, "init");
        const std::thread::id owner = g_calls[i].thread;
        size_t j = i + 1;
        while (j < g_calls.size() && g_calls[j].strWhat != "uninit") {
            ASSERT_EQ(g_calls[j].thread, owner) << "call " << j << " cut into another thread's sequence";
            ++j;
        }
        ASSERT_LT(j, g_calls.size());
        ASSERT_EQ(g_calls[j].thread, owner);
        ++sequences;
        i = j + 1;
    }
    EXPECT_EQ(sequences, kThreads * kRounds);
}

}  // namespace
