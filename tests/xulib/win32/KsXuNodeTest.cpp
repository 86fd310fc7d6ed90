// The library's requests to a camera's capture filter, seen by fake
// kernel-streaming interfaces: which nodes count as which units, and the
// property requests (their bytes and sizes) behind the exports.

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "xulib/Nodrik.h"
#include "xulib/XuDevice.h"
#include "xulib/XuGuids.h"
#include "xulib/win32/KsXuNode.h"

namespace {

using nodrik::kXuGuidSets;
namespace kscom = nodrik::kscom;

// What a request put on the wire: the property bytes as sent and the buffer's size.
struct Sent {
    std::array<uint8_t, 32> property{};
    ULONG propertyLength = 0;
    bool bHasData = false;
    ULONG dataLength = 0;
};

// Both interfaces of one capture filter, in one object as the real filter has them.
class CFakeFilter final : public kscom::IKsControl, public kscom::IKsTopologyInfo {
public:
    std::vector<GUID> nodeTypes;
    std::set<std::pair<uint32_t, std::string>> carried;  // (node, GUID text) the driver knows
    uint16_t wLength = 64;
    HRESULT hrTransfer = S_OK;
    std::vector<Sent> sent;
    std::vector<uint8_t> lastSet;
    ULONG nRefs = 1;

    // IUnknown, shared by both interfaces.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++nRefs; }
    ULONG STDMETHODCALLTYPE Release() override { return --nRefs; }

    HRESULT STDMETHODCALLTYPE KsProperty(void* property, ULONG propertyLength, void* data, ULONG dataLength,
                                         ULONG* bytesReturned) override {
        Sent s;
        std::memcpy(s.property.data(), property, std::min<size_t>(propertyLength, 32));
        s.propertyLength = propertyLength;
        s.bHasData = data != nullptr;
        s.dataLength = dataLength;
        sent.push_back(s);
        nodrik::KspNode request;
        std::memcpy(&request, property, sizeof request);
        *bytesReturned = 0;
        const bool known = carried.count({request.NodeId, nodrik::FormatGuid(request.Property.Set)}) != 0;
        if (!known) return HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
        if (request.Property.Flags & kscom::kKsPropertyTypeSetSupport) return S_OK;
        if (!data) {
            *bytesReturned = wLength;
            return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
        }
        if (FAILED(hrTransfer)) return hrTransfer;
        if (request.Property.Flags & nodrik::kKsPropertyTypeSet) {
            lastSet.assign(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + dataLength);
        } else {
            std::memset(data, 0x5A, dataLength);
        }
        *bytesReturned = dataLength;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE KsMethod(void*, ULONG, void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE KsEvent(void*, ULONG, void*, ULONG, ULONG*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE get_NumCategories(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Category(DWORD, GUID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NumConnections(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ConnectionInfo(DWORD, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NodeName(DWORD, WCHAR*, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_NumNodes(DWORD* count) override {
        *count = static_cast<DWORD>(nodeTypes.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NodeType(DWORD node, GUID* type) override {
        if (node >= nodeTypes.size()) return E_INVALIDARG;
        *type = nodeTypes[node];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateNodeInstance(DWORD, REFIID, void**) override { return E_NOTIMPL; }
};

constexpr GUID kOtherNodeType = {0xDFF229E1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};

class COneFilterAccess final : public nodrik::IXuDeviceAccess {
public:
    explicit COneFilterAccess(CFakeFilter& filter) : m_filter(filter) {}
    bool FindDevice(int position, std::u16string& name, std::shared_ptr<nodrik::IXuNode>& node) override {
        if (position != 0) return false;
        name = u"USB Camera";
        node = std::make_shared<nodrik::CKsXuNode>(&m_filter, &m_filter);
        return true;
    }

private:
    CFakeFilter& m_filter;
};

// A camera whose second extension unit (GUID set 1) is node 3 and whose first is node 1.
class KsXuNode : public ::testing::Test {
protected:
    void SetUp() override {
        m_filter.nodeTypes = {kOtherNodeType, kscom::kNodeTypeDevSpecific, kOtherNodeType,
                              kscom::kNodeTypeDevSpecific};
        m_filter.carried = {{1, nodrik::FormatGuid(kXuGuidSets[0][0])}, {3, nodrik::FormatGuid(kXuGuidSets[0][1])}};
        nodrik::ResetXuDevice(std::make_unique<COneFilterAccess>(m_filter));
    }
    void TearDown() override {
        nodrik::ResetXuDevice(nullptr);
        EXPECT_EQ(m_filter.nRefs, 1u) << "every reference the library took is given back";
    }

    CFakeFilter m_filter;
};

// The bytes of a request for unit 2 of set 1 (B25A5722-4812-4827-BFEF-7AE6AF602A5E), control 1, node 3.
std::array<uint8_t, 32> Request(uint32_t flags) {
    std::array<uint8_t, 32> b = {0x22, 0x57, 0x5A, 0xB2, 0x12, 0x48, 0x27, 0x48, 0xBF, 0xEF, 0x7A,
                                 0xE6, 0xAF, 0x60, 0x2A, 0x5E, 1,    0,    0,    0,    0,    0,
                                 0,    0,    3,    0,    0,    0,    0,    0,    0,    0};
    for (int i = 0; i < 4; ++i) b[20 + i] = static_cast<uint8_t>(flags >> (8 * i));
    return b;
}

TEST_F(KsXuNode, UnitsAreTheDeviceSpecificNodesThatAnswerToTheGuid) {
    ASSERT_TRUE(OnInitializeXU(0));
    // Only device-specific nodes are asked, each with a set-support request per wanted GUID until one answers.
    for (const Sent& s : m_filter.sent) {
        uint32_t node, flags;
        std::memcpy(&flags, s.property.data() + 20, 4);
        std::memcpy(&node, s.property.data() + 24, 4);
        EXPECT_TRUE(node == 1 || node == 3) << node;
        EXPECT_EQ(flags, 0x10000100u);
        EXPECT_EQ(s.propertyLength, 32u);
        EXPECT_FALSE(s.bHasData);
    }
    EXPECT_EQ(nodrik::TheXuDevice().GuidSet(), 0);
    // Unit 1 of the set is node 1.
    ASSERT_TRUE(OnSetUnitId(1));
    unsigned int length = 0;
    ASSERT_TRUE(GetCurReqLen(&length));
    uint32_t node;
    std::memcpy(&node, m_filter.sent.back().property.data() + 24, 4);
    EXPECT_EQ(node, 1u);

    // A camera carrying neither set is not ready.
    m_filter.carried.clear();
    EXPECT_FALSE(OnInitializeXU(0));
    EXPECT_TRUE(OnUnInitializeXU());
}

TEST_F(KsXuNode, RequestsCarryTheGuidControlFlagsAndNode) {
    ASSERT_TRUE(OnInitializeXU(0));
    ASSERT_TRUE(OnSetUnitId(2));
    ASSERT_TRUE(OnSetCtrlId(1));

    m_filter.sent.clear();
    m_filter.wLength = 11;
    unsigned int length = 0;
    ASSERT_TRUE(GetCurReqLen(&length));
    EXPECT_EQ(length, 11u);
    ASSERT_EQ(m_filter.sent.size(), 1u);
    EXPECT_EQ(m_filter.sent[0].property, Request(0x10000001));
    EXPECT_FALSE(m_filter.sent[0].bHasData);
    EXPECT_EQ(m_filter.sent[0].dataLength, 0u);

    std::array<uint8_t, 64> buffer{};
    buffer[0] = 26;
    buffer[1] = 3;
    ASSERT_TRUE(OnUVC_SetCur(buffer.data()));
    ASSERT_EQ(m_filter.sent.size(), 2u);
    EXPECT_EQ(m_filter.sent[1].property, Request(0x10000002));
    EXPECT_EQ(m_filter.sent[1].propertyLength, 32u);
    EXPECT_EQ(m_filter.sent[1].dataLength, 11u) << "a transfer moves the control's length";
    EXPECT_EQ(m_filter.lastSet, std::vector<uint8_t>(buffer.begin(), buffer.begin() + 11));

    ASSERT_TRUE(OnUVC_GetCur(buffer.data()));
    EXPECT_EQ(m_filter.sent.back().property, Request(0x10000001));
    EXPECT_EQ(buffer[10], 0x5A);
    EXPECT_EQ(buffer[11], 0) << "nothing beyond the control's length is written";

    // The camera's refusal fails the export.
    m_filter.hrTransfer = HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    EXPECT_FALSE(OnUVC_SetCur(buffer.data()));
}

// Whether the process has a multithreaded apartment, as a thread that never
// joined COM sees it.
bool ApartmentExists() {
    bool exists = false;
    std::thread([&] {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        exists = ::CoGetApartmentType(&type, &qualifier) == S_OK && type == APTTYPE_MTA;
    }).join();
    return exists;
}

TEST_F(KsXuNode, AHeldFilterKeepsItsApartmentUntilItGoesAlsoWhenTheLibraryUnloads) {
    const bool before = ApartmentExists();
    ASSERT_TRUE(OnInitializeXU(0));
    EXPECT_TRUE(ApartmentExists()) << "the held filter's apartment lives between calls";
    EXPECT_TRUE(OnUnInitializeXU());
    EXPECT_EQ(ApartmentExists(), before) << "and is given back with the filter";

    // Unloaded while it holds the filter: the filter is let go all the same.
    ASSERT_TRUE(OnInitializeXU(0));
    EXPECT_GT(m_filter.nRefs, 1u);
    nodrik::UnloadXuDevice();
    EXPECT_EQ(m_filter.nRefs, 1u);
}

TEST(KsXuNodeAlone, FailuresAsTheDevicePortSpeaksThem) {
    CFakeFilter filter;
    {
        nodrik::CKsXuNode none(nullptr, nullptr);
        EXPECT_FALSE(none.HasXuAccess());
        std::vector<nodrik::XuUnit> units;
        EXPECT_FALSE(none.ReadExtensionUnits({kXuGuidSets[0][0]}, units));

        nodrik::CKsXuNode node(&filter, &filter);
        uint8_t data[2];
        EXPECT_EQ(node.XuQuery(1, 1, nodrik::kUvcGetLen, 2, data), ENOENT) << "no unit read yet";
    }
    EXPECT_EQ(filter.nRefs, 1u);
    EXPECT_EQ(nodrik::ErrnoFromKsResult(S_OK), 0);
    EXPECT_EQ(nodrik::ErrnoFromKsResult(HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND)), ENOENT);
    EXPECT_EQ(nodrik::ErrnoFromKsResult(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)), ENOBUFS);
    EXPECT_EQ(nodrik::ErrnoFromKsResult(HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)), ENODEV);
    EXPECT_EQ(nodrik::ErrnoFromKsResult(HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)), EPIPE);
}

}  // namespace
