// The V4L2 device walk, the sysfs descriptor reading and the binding, over the
// fixture tree in fixtures/tree (made by fixtures/make_fixtures.py). The video
// nodes there are text files naming the capabilities the fake system calls
// report for them.

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "xulib/Nodrik.h"
#include "xulib/UvcDescriptors.h"
#include "xulib/XuDevice.h"
#include "xulib/XuGuids.h"
#include "xulib/v4l2/V4l2DeviceAccess.h"

namespace {

using nodrik::kXuGuidSets;
using nodrik::XuUnit;

const std::string kTree = std::string(ZELT_XULIB_FIXTURES) + "/tree";
const std::string kDev = kTree + "/dev";
const std::string kSys = kTree + "/sys";
constexpr XuGuid kVendorGuid = {0x28F03370, 0x6311, 0x4A2E, {0xBA, 0x2C, 0x68, 0x90, 0xEB, 0x33, 0x40, 0x16}};

struct SysQuery {
    int fd;
    uint8_t unit, selector, query;
    uint16_t size;
};

class CFixtureSys final : public nodrik::IV4l2Sys {
public:
    int Open(const std::string& path, int& fd) override {
        std::ifstream file(path);
        if (!file) return ENOENT;
        std::map<std::string, std::string> fields;
        for (std::string line; std::getline(file, line);) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
        }
        if (fields.count("open_errno")) return std::stoi(fields["open_errno"]);
        nodrik::V4l2Capability cap;
        cap.strDriver = fields["driver"];
        cap.strCard = fields["card"];
        cap.dwCapabilities = static_cast<uint32_t>(std::stoul(fields["capabilities"], nullptr, 16));
        if (fields.count("device_caps")) cap.dwDeviceCaps = static_cast<uint32_t>(std::stoul(fields["device_caps"], nullptr, 16));
        fd = m_nNextFd++;
        m_open[fd] = cap;
        return 0;
    }
    void Close(int fd) override {
        EXPECT_EQ(m_open.erase(fd), 1u) << "closed twice or never opened: " << fd;
    }
    int QueryCap(int fd, nodrik::V4l2Capability& capability) override {
        const auto it = m_open.find(fd);
        if (it == m_open.end()) return EBADF;
        capability = it->second;
        return 0;
    }
    int XuQuery(int fd, uint8_t unit, uint8_t selector, uint8_t query, uint16_t size, uint8_t* data) override {
        queries.push_back({fd, unit, selector, query, size});
        if (query == nodrik::kUvcGetLen) {
            data[0] = 4;
            data[1] = 0;
        }
        return 0;
    }
    size_t OpenCount() const { return m_open.size(); }

    std::vector<SysQuery> queries;

private:
    int m_nNextFd = 100;
    std::map<int, nodrik::V4l2Capability> m_open;
};

class V4l2Walk : public ::testing::Test {
protected:
    CFixtureSys m_sys;
    nodrik::CV4l2DeviceAccess m_access{m_sys, kDev, kSys};

    std::string NameAt(int position) {
        std::u16string name;
        std::shared_ptr<nodrik::IXuNode> node;
        if (!m_access.FindDevice(position, name, node)) return "(none)";
        return std::string(name.begin(), name.end());
    }
};

TEST_F(V4l2Walk, PositionsCountEveryCaptureNodeNamedOrNot) {
    // video1 is Camera A's metadata node and takes no position; video4 has no
    // name, video6 cannot be opened; video10 comes after video6, not video1.
    EXPECT_EQ(NameAt(0), "Camera A");
    EXPECT_EQ(NameAt(1), "Camera B");
    EXPECT_EQ(NameAt(2), "Camera C");
    EXPECT_EQ(NameAt(3), "(none)");
    EXPECT_EQ(NameAt(4), "Virtual Camera");
    EXPECT_EQ(NameAt(5), "(none)");
    EXPECT_EQ(NameAt(6), "Camera E");
    EXPECT_EQ(NameAt(7), "(none)");
    EXPECT_EQ(NameAt(-1), "(none)");
    EXPECT_EQ(m_sys.OpenCount(), 0u);  // every node the walk did not keep is closed

    // The capture's list of nodes takes the same positions and names.
    const std::vector<nodrik::V4l2CaptureNode> nodes = nodrik::ListCaptureNodes(m_sys, kDev);
    ASSERT_EQ(nodes.size(), 7u);
    for (int position = 0; position < 7; ++position) {
        const std::u16string& name = nodes[static_cast<size_t>(position)].strName;
        EXPECT_EQ(name.empty() ? "(none)" : std::string(name.begin(), name.end()), NameAt(position)) << position;
    }
    EXPECT_EQ(nodes[6].strPath, std::string(kDev) + "/video10");
    EXPECT_EQ(m_sys.OpenCount(), 0u);
}

TEST_F(V4l2Walk, TheFoundNodeStaysOpenUntilReleased) {
    std::u16string name;
    std::shared_ptr<nodrik::IXuNode> node;
    ASSERT_TRUE(m_access.FindDevice(1, name, node));
    EXPECT_EQ(m_sys.OpenCount(), 1u);
    EXPECT_TRUE(node->HasXuAccess());
    node.reset();
    EXPECT_EQ(m_sys.OpenCount(), 0u);
    ASSERT_TRUE(m_access.FindDevice(4, name, node));
    EXPECT_FALSE(node->HasXuAccess());  // not a UVC driver
}

TEST_F(V4l2Walk, ExtensionUnitsFromTheVideoControlInterfaceOnly) {
    std::vector<XuUnit> units;
    ASSERT_TRUE(nodrik::ReadSysfsExtensionUnits(kSys, "video0", units));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_TRUE(nodrik::SameGuid(units[0].guid, kXuGuidSets[0][0]));
    EXPECT_EQ(units[0].byUnitId, 6);
    EXPECT_TRUE(nodrik::SameGuid(units[1].guid, kXuGuidSets[0][1]));
    EXPECT_EQ(units[1].byUnitId, 4);
    EXPECT_TRUE(nodrik::SameGuid(units[2].guid, kVendorGuid));

    // Camera B's audio interface carries a unit whose bytes spell a first-set GUID.
    ASSERT_TRUE(nodrik::ReadSysfsExtensionUnits(kSys, "video2", units));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_TRUE(nodrik::SameGuid(units[0].guid, kXuGuidSets[1][0]));
    EXPECT_EQ(units[0].byUnitId, 2);
    EXPECT_TRUE(nodrik::SameGuid(units[1].guid, kXuGuidSets[1][1]));
    EXPECT_EQ(units[1].byUnitId, 3);

    ASSERT_TRUE(nodrik::ReadSysfsExtensionUnits(kSys, "video3", units));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_TRUE(nodrik::SameGuid(units[0].guid, kVendorGuid));

    // Camera E has its units only in the configuration that is not active.
    ASSERT_TRUE(nodrik::ReadSysfsExtensionUnits(kSys, "video10", units));
    EXPECT_TRUE(units.empty());

    EXPECT_FALSE(nodrik::ReadSysfsExtensionUnits(kSys, "video5", units));  // not a USB interface
    EXPECT_FALSE(nodrik::ReadSysfsExtensionUnits(kSys, "video99", units));
}

TEST_F(V4l2Walk, InitialiseAndRequestsThroughTheExports) {
    nodrik::ResetXuDevice(std::make_unique<nodrik::CV4l2DeviceAccess>(m_sys, kDev, kSys));
    EXPECT_TRUE(OnInitializeXU(0));
    EXPECT_EQ(nodrik::TheXuDevice().GuidSet(), 0);
    EXPECT_TRUE(OnInitializeXU(1));
    EXPECT_EQ(nodrik::TheXuDevice().GuidSet(), 1);
    EXPECT_FALSE(OnInitializeXU(2));  // neither set
    EXPECT_FALSE(OnInitializeXU(3));  // no name
    EXPECT_FALSE(OnInitializeXU(4));  // no extension-unit access
    EXPECT_FALSE(OnInitializeXU(5));  // cannot be opened
    EXPECT_FALSE(OnInitializeXU(6));  // units in another configuration

    // Camera A: unit 2 of the first set is descriptor unit 4, unit 1 is unit 6.
    ASSERT_TRUE(OnInitializeXU(0));
    m_sys.queries.clear();
    std::array<uint8_t, 64> buffer{};
    buffer[0] = 20;
    OnSetUnitId(2);
    OnSetCtrlId(1);
    ASSERT_TRUE(OnUVC_SetCur(buffer.data()));
    OnSetUnitId(1);
    ASSERT_TRUE(OnUVC_GetCur(buffer.data()));
    ASSERT_EQ(m_sys.queries.size(), 4u);
    EXPECT_EQ(m_sys.queries[0].unit, 4);
    EXPECT_EQ(m_sys.queries[0].query, nodrik::kUvcGetLen);
    EXPECT_EQ(m_sys.queries[0].size, 2);
    EXPECT_EQ(m_sys.queries[1].unit, 4);
    EXPECT_EQ(m_sys.queries[1].query, nodrik::kUvcSetCur);
    EXPECT_EQ(m_sys.queries[1].size, 4);  // the control's length from GET_LEN
    EXPECT_EQ(m_sys.queries[3].unit, 6);
    EXPECT_EQ(m_sys.queries[3].query, nodrik::kUvcGetCur);
    for (const SysQuery& q : m_sys.queries) EXPECT_EQ(q.fd, m_sys.queries[0].fd);

    EXPECT_TRUE(OnUnInitializeXU());
    EXPECT_EQ(m_sys.OpenCount(), 0u);
    nodrik::ResetXuDevice(nullptr);
}

TEST_F(V4l2Walk, ListingThroughTheExportsStopsAtTheNamelessNode) {
    nodrik::ResetXuDevice(std::make_unique<nodrik::CV4l2DeviceAccess>(m_sys, kDev, kSys));
    std::vector<std::u16string> names;
    char16_t name[kNodrikNameChars];
    for (int i = 0; GetDeviceNameEnum(i, name); ++i) names.emplace_back(name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Camera A", u"Camera B", u"Camera C"}));
    nodrik::ResetXuDevice(nullptr);
    EXPECT_EQ(m_sys.OpenCount(), 0u);
}

// Descriptor blobs that are cut short or lie about their lengths.
TEST(UvcDescriptors, MalformedBlobsEndTheWalkSafely) {
    std::ifstream file(kSys + "/devices/pci0000:00/0000:00:14.0/usb1/1-1/descriptors", std::ios::binary);
    std::vector<uint8_t> blob((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(blob.size(), 100u);
    std::vector<XuUnit> units;
    ASSERT_TRUE(nodrik::ParseExtensionUnits(blob.data(), blob.size(), 1, 0, units));
    EXPECT_EQ(units.size(), 3u);
    EXPECT_FALSE(nodrik::ParseExtensionUnits(blob.data(), blob.size(), 2, 0, units));  // no such configuration
    EXPECT_FALSE(nodrik::ParseExtensionUnits(blob.data(), blob.size(), 1, 1, units));  // a streaming interface

    // Every prefix parses without reading past its end (ASan watches).
    for (size_t n = 0; n < blob.size(); ++n) {
        std::vector<uint8_t> cut(blob.begin(), blob.begin() + static_cast<long>(n));
        nodrik::ParseExtensionUnits(cut.data(), cut.size(), 1, 0, units);
        EXPECT_LE(units.size(), 3u);
    }
    // A zero length stops the walk instead of looping.
    std::vector<uint8_t> stuck = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 0, 4};
    EXPECT_FALSE(nodrik::ParseExtensionUnits(stuck.data(), stuck.size(), 1, 0, units));
    // An extension unit too short to hold its GUID is skipped.
    std::vector<uint8_t> shortUnit = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0x0E, 1, 0, 0, 10, 0x24, 6, 3,
                                      1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(nodrik::ParseExtensionUnits(shortUnit.data(), shortUnit.size(), 1, 0, units));
    EXPECT_TRUE(units.empty());
}

}  // namespace
