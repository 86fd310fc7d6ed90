// The fourteen exports and the state record, against a fake device access.

#include <gtest/gtest.h>

#include <array>

#include "tests/xulib/FakeDevice.h"
#include "xulib/Nodrik.h"
#include "xulib/XuDevice.h"
#include "xulib/XuGuids.h"

using namespace xutest;
using nodrik::kXuGuidSets;
using nodrik::TheXuDevice;

namespace {

constexpr XuGuid kOtherGuid = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};

FakeCamera CameraWithSet(int set, uint16_t length = 64) {
    FakeCamera c;
    c.strName = set == 1 ? u"Set One" : u"Set Two";
    c.units = {{kXuGuidSets[set - 1][0], 10}, {kXuGuidSets[set - 1][1], 12}};
    c.lengths = {{10 << 8 | 1, length}, {12 << 8 | 1, length}};
    return c;
}

class XuExports : public ::testing::Test {
protected:
    void Use(std::vector<FakeCamera> cameras) {
        nodrik::ResetXuDevice(std::make_unique<CFakeAccess>(std::move(cameras), m_log));
    }
    void SetUp() override { Use({}); }
    void TearDown() override { nodrik::ResetXuDevice(nullptr); }

    std::array<uint8_t, 64> Buffer(uint8_t fill = 0) {
        std::array<uint8_t, 64> b;
        b.fill(fill);
        return b;
    }

    FakeLog m_log;
};

TEST_F(XuExports, FreshRecordAndRangesInEveryState) {
    EXPECT_EQ(GetReqLen(), 11);
    EXPECT_EQ(TheXuDevice().TransferLength(), 64u);
    EXPECT_EQ(TheXuDevice().GuidSet(), 0);
    EXPECT_FALSE(TheXuDevice().IsReady());
    auto checkRanges = [] {
        int max = 0, min = 0;
        GetUnitIdRange(&max, &min);
        EXPECT_EQ(max, 2);
        EXPECT_EQ(min, 1);
        GetCtrlIdRange(&max, &min);
        EXPECT_EQ(max, 8);
        EXPECT_EQ(min, 1);
        GetReqLenRange(&max, &min);
        EXPECT_EQ(max, 64);
        EXPECT_EQ(min, 1);
        GetReqLenRange(nullptr, nullptr);  // nothing to write, nothing written
    };
    checkRanges();
    Use({CameraWithSet(1)});
    ASSERT_TRUE(OnInitializeXU(0));
    checkRanges();
    OnUnInitializeXU();
    checkRanges();
}

TEST_F(XuExports, RequestLengthIsRecordedAndClampedButSizesNoTransfer) {
    EXPECT_FALSE(OnSetReqLen(100));
    EXPECT_EQ(GetReqLen(), 64);
    EXPECT_FALSE(OnSetReqLen(0));
    EXPECT_EQ(GetReqLen(), 0);
    EXPECT_FALSE(OnSetReqLen(-7));
    EXPECT_EQ(GetReqLen(), 0);
    EXPECT_TRUE(OnSetReqLen(1));
    EXPECT_TRUE(OnSetReqLen(64));
    EXPECT_TRUE(OnSetReqLen(4));
    EXPECT_EQ(GetReqLen(), 4);

    Use({CameraWithSet(1)});
    OnSetReqLen(4);
    ASSERT_TRUE(OnInitializeXU(0));
    auto b = Buffer(7);
    EXPECT_TRUE(OnUVC_SetCur(b.data()));
    ASSERT_EQ(m_log.sent.size(), 1u);
    EXPECT_EQ(m_log.sent[0].size(), 64u);  // the transfer length, not the request length
}

TEST_F(XuExports, UnitAndControlSelectionFollowTheRules) {
    EXPECT_FALSE(OnSetUnitId(0));
    EXPECT_FALSE(OnSetUnitId(3));
    EXPECT_TRUE(OnSetUnitId(2));
    EXPECT_TRUE(nodrik::SameGuid(TheXuDevice().Property().Property.Set, kXuGuidSets[0][1]));
    EXPECT_EQ(TheXuDevice().Property().NodeId, 2u);
    EXPECT_FALSE(OnSetUnitId(5));  // changes nothing
    EXPECT_EQ(TheXuDevice().Property().NodeId, 2u);

    EXPECT_TRUE(OnSetCtrlId(8));
    EXPECT_FALSE(OnSetCtrlId(9));
    EXPECT_EQ(TheXuDevice().Property().Property.Id, 9u);

    // The out-of-range control is the one the next request asks for.
    FakeCamera cam = CameraWithSet(1);
    cam.lengths[10 << 8 | 9] = 64;
    Use({cam});
    ASSERT_TRUE(OnInitializeXU(0));
    EXPECT_FALSE(OnSetCtrlId(9));
    auto b = Buffer();
    EXPECT_TRUE(OnUVC_GetCur(b.data()));
    ASSERT_FALSE(m_log.queries.empty());
    EXPECT_EQ(m_log.queries.back().bySelector, 9);
    EXPECT_EQ(m_log.queries.back().byQuery, nodrik::kUvcGetCur);
    EXPECT_EQ(TheXuDevice().Property().Property.Flags, 0x10000001u);
    EXPECT_TRUE(OnUVC_SetCur(b.data()));
    EXPECT_EQ(TheXuDevice().Property().Property.Flags, 0x10000002u);
}

TEST_F(XuExports, TransfersRefusedWhileNotReady) {
    Use({CameraWithSet(1)});
    auto b = Buffer(0x33);
    EXPECT_FALSE(OnUVC_SetCur(b.data()));
    EXPECT_FALSE(OnUVC_GetCur(b.data()));
    EXPECT_EQ(b, Buffer(0x33));
    ASSERT_TRUE(OnInitializeXU(0));
    EXPECT_FALSE(OnUVC_SetCur(nullptr));
    EXPECT_TRUE(OnUnInitializeXU());
    EXPECT_FALSE(OnUVC_SetCur(b.data()));
    EXPECT_FALSE(OnUVC_GetCur(b.data()));
    EXPECT_EQ(b, Buffer(0x33));
    EXPECT_TRUE(m_log.queries.empty());
}

TEST_F(XuExports, UninitialiseTwiceReleasesOnce) {
    Use({CameraWithSet(1)});
    ASSERT_TRUE(OnInitializeXU(0));
    EXPECT_EQ(m_log.nNodesAlive, 1);
    EXPECT_TRUE(OnUnInitializeXU());
    EXPECT_EQ(m_log.nNodesAlive, 0);
    EXPECT_FALSE(TheXuDevice().HoldsControl());
    EXPECT_FALSE(TheXuDevice().HoldsFilter());
    EXPECT_TRUE(OnUnInitializeXU());
    EXPECT_EQ(m_log.nNodesAlive, 0);
    EXPECT_EQ(m_log.nNodesMade, 1);
}

TEST_F(XuExports, InitialiseChoosesTheFirstSetBeforeTheSecond) {
    FakeCamera both = CameraWithSet(2);
    both.units.push_back({kXuGuidSets[0][1], 14});
    both.lengths[14 << 8 | 1] = 64;
    Use({CameraWithSet(1), CameraWithSet(2), both});

    OnSetUnitId(2);
    OnSetCtrlId(5);
    ASSERT_TRUE(OnInitializeXU(0));
    EXPECT_EQ(TheXuDevice().GuidSet(), 0);
    EXPECT_TRUE(nodrik::SameGuid(TheXuDevice().CurrentGuid(), kXuGuidSets[0][0]));
    EXPECT_EQ(TheXuDevice().Property().NodeId, 1u);
    EXPECT_EQ(TheXuDevice().Property().Property.Id, 1u);

    ASSERT_TRUE(OnInitializeXU(1));
    EXPECT_EQ(TheXuDevice().GuidSet(), 1);
    EXPECT_TRUE(nodrik::SameGuid(TheXuDevice().CurrentGuid(), kXuGuidSets[1][0]));
    // Unit 2 of the second set reaches the descriptor unit that carries its GUID.
    OnSetUnitId(2);
    auto b = Buffer();
    EXPECT_TRUE(OnUVC_SetCur(b.data()));
    EXPECT_EQ(m_log.queries.back().byUnit, 12);

    ASSERT_TRUE(OnInitializeXU(2));
    EXPECT_EQ(TheXuDevice().GuidSet(), 0);
}

TEST_F(XuExports, InitialiseFailures) {
    FakeCamera neither = CameraWithSet(1);
    neither.strName = u"Neither";
    neither.units = {{kOtherGuid, 3}};
    FakeCamera notUvc = CameraWithSet(1);
    notUvc.strName = u"Not UVC";
    notUvc.bXuAccess = false;
    Use({neither, notUvc});

    EXPECT_FALSE(OnInitializeXU(0));
    EXPECT_FALSE(TheXuDevice().IsReady());
    EXPECT_TRUE(TheXuDevice().HoldsFilter());  // held until uninitialise
    EXPECT_FALSE(OnInitializeXU(1));
    EXPECT_FALSE(TheXuDevice().HoldsControl());
    EXPECT_FALSE(OnInitializeXU(2));
    EXPECT_FALSE(OnInitializeXU(-1));
    EXPECT_FALSE(TheXuDevice().IsReady());
    OnUnInitializeXU();
    EXPECT_EQ(m_log.nNodesAlive, 0);
}

TEST_F(XuExports, SetGuidChangesOnlyTheFirstSetsTableUntilAUnitIsSelected) {
    FakeCamera cam = CameraWithSet(1);
    cam.units.push_back({kOtherGuid, 20});
    cam.lengths[20 << 8 | 1] = 64;
    Use({cam, CameraWithSet(2)});
    ASSERT_TRUE(OnInitializeXU(0));
    ASSERT_TRUE(OnSetUnitId(2));
    EXPECT_TRUE(OnUVC_SetGUID(2, &kOtherGuid));
    auto b = Buffer();
    ASSERT_TRUE(OnUVC_SetCur(b.data()));
    EXPECT_EQ(m_log.queries.back().byUnit, 12);  // still the old GUID
    ASSERT_TRUE(OnSetUnitId(2));
    ASSERT_TRUE(OnUVC_SetCur(b.data()));
    EXPECT_EQ(m_log.queries.back().byUnit, 20);  // now the new one

    EXPECT_FALSE(OnUVC_SetGUID(0, &kOtherGuid));
    EXPECT_FALSE(OnUVC_SetGUID(3, &kOtherGuid));
    EXPECT_FALSE(OnUVC_SetGUID(1, nullptr));

    // With the second set chosen, the first set's table does not matter.
    ASSERT_TRUE(OnInitializeXU(1));
    EXPECT_TRUE(OnUVC_SetGUID(2, &kOtherGuid));
    ASSERT_TRUE(OnSetUnitId(2));
    EXPECT_TRUE(nodrik::SameGuid(TheXuDevice().CurrentGuid(), kXuGuidSets[1][1]));
}

TEST_F(XuExports, SetGuidDecidesWhetherTheFirstSetReachesACamera) {
    Use({CameraWithSet(1)});
    EXPECT_TRUE(OnUVC_SetGUID(1, &kOtherGuid));
    EXPECT_TRUE(OnUVC_SetGUID(2, &kOtherGuid));
    EXPECT_FALSE(OnInitializeXU(0));
    EXPECT_TRUE(OnUVC_SetGUID(2, &kXuGuidSets[0][1]));
    EXPECT_TRUE(OnInitializeXU(0));
}

TEST_F(XuExports, TransfersMoveTheShorterOfTransferAndControlLength) {
    Use({CameraWithSet(1, 4)});
    ASSERT_TRUE(OnInitializeXU(0));
    OnSetUnitId(2);
    auto b = Buffer(9);
    ASSERT_TRUE(OnUVC_SetCur(b.data()));
    ASSERT_TRUE(OnUVC_GetCur(b.data()));
    ASSERT_TRUE(OnUVC_SetCur(b.data()));
    // One GET_LEN per control, then transfers of exactly its length.
    ASSERT_EQ(m_log.queries.size(), 4u);
    EXPECT_EQ(m_log.queries[0].byQuery, nodrik::kUvcGetLen);
    EXPECT_EQ(m_log.queries[1].wSize, 4);
    EXPECT_EQ(m_log.queries[2].wSize, 4);
    // GET_CUR wrote the control's four bytes and nothing after them.
    EXPECT_EQ(b[3], 0xA5);
    EXPECT_EQ(b[4], 9);
}

TEST_F(XuExports, TransfersNeverExceedTheCallersBuffer) {
    Use({CameraWithSet(1, 200)});
    ASSERT_TRUE(OnInitializeXU(0));
    unsigned length = 0;
    ASSERT_TRUE(GetCurReqLen(&length));
    EXPECT_EQ(length, 200u);
    EXPECT_EQ(TheXuDevice().TransferLength(), 200u);
    auto b = Buffer();
    EXPECT_FALSE(OnUVC_GetCur(b.data()));  // the driver refuses 64 of 200 bytes
    EXPECT_EQ(m_log.queries.back().wSize, 64);
}

TEST_F(XuExports, LengthQuery) {
    unsigned length = 99;
    EXPECT_FALSE(GetCurReqLen(&length));  // no property interface
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(TheXuDevice().TransferLength(), 0u);

    FakeCamera failing = CameraWithSet(1, 4);
    failing.nGetLenError = EPIPE;
    Use({CameraWithSet(1, 4), failing});
    ASSERT_TRUE(OnInitializeXU(0));
    length = 0;
    EXPECT_TRUE(GetCurReqLen(&length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(TheXuDevice().TransferLength(), 4u);
    EXPECT_TRUE(GetCurReqLen(nullptr));

    // A failed length query leaves a transfer length of 0: every transfer fails.
    ASSERT_TRUE(OnInitializeXU(1));
    length = 99;
    EXPECT_FALSE(GetCurReqLen(&length));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(TheXuDevice().TransferLength(), 0u);
    ASSERT_TRUE(OnInitializeXU(0));
    auto b = Buffer();
    EXPECT_FALSE(OnUVC_SetCur(b.data()));
    EXPECT_EQ(m_log.queries.back().wSize, 0);
    EXPECT_EQ(m_log.queries.back().byQuery, nodrik::kUvcSetCur);
}

TEST_F(XuExports, DriverErrorsAreFalseAndNeverRetried) {
    FakeCamera stalls = CameraWithSet(1);
    stalls.nTransferError = EPIPE;
    FakeCamera gone = CameraWithSet(1);
    gone.nTransferError = ENODEV;
    Use({stalls, gone});
    for (int index : {0, 1}) {
        ASSERT_TRUE(OnInitializeXU(index));
        auto b = Buffer();
        const size_t before = m_log.queries.size();
        EXPECT_FALSE(OnUVC_SetCur(b.data()));
        EXPECT_EQ(m_log.queries.size() - before, 2u);  // GET_LEN and one SET_CUR
        EXPECT_FALSE(OnUVC_GetCur(b.data()));
        EXPECT_EQ(m_log.queries.size() - before, 3u);
    }
}

TEST_F(XuExports, DeviceNamesByPosition) {
    FakeCamera unnamed = CameraWithSet(1);
    unnamed.strName.clear();
    FakeCamera third = CameraWithSet(2);
    third.strName = u"Third \u00e9";
    Use({CameraWithSet(1), unnamed, third});
    char16_t name[kNodrikNameChars];
    std::fill(std::begin(name), std::end(name), u'#');
    ASSERT_TRUE(GetDeviceNameEnum(0, name));
    EXPECT_EQ(std::u16string(name), u"Set One");
    EXPECT_TRUE(TheXuDevice().HoldsFilter());
    EXPECT_FALSE(TheXuDevice().IsReady());
    std::fill(std::begin(name), std::end(name), u'#');
    EXPECT_FALSE(GetDeviceNameEnum(1, name));
    EXPECT_EQ(name[0], u'#');
    ASSERT_TRUE(GetDeviceNameEnum(2, name));
    EXPECT_EQ(std::u16string(name), u"Third \u00e9");
    EXPECT_FALSE(GetDeviceNameEnum(3, name));
    EXPECT_FALSE(GetDeviceNameEnum(0, nullptr));
    EXPECT_EQ(m_log.nNodesAlive, 1);  // listing keeps only the last named device
}

TEST_F(XuExports, LongNamesAreCutToTheBuffer) {
    FakeCamera longName = CameraWithSet(1);
    // 258 letters and then a surrogate pair that would straddle the last place.
    longName.strName = std::u16string(258, u'x') + u"\U0001F4F7" + u"tail";
    Use({longName});
    std::array<char16_t, kNodrikNameChars + 8> name;
    name.fill(u'#');
    ASSERT_TRUE(GetDeviceNameEnum(0, name.data()));
    EXPECT_EQ(std::u16string(name.data()), std::u16string(258, u'x'));
    EXPECT_EQ(name[kNodrikNameChars], u'#');
}

}  // namespace
