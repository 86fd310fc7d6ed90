#include "service/camera/CameraXU.h"

#include <cstring>

#include "platform/Clock.h"
#include "platform/Trace.h"
#include "service/camera/XuBinding.h"
#include "xulib/Nodrik.h"

namespace camera {

CCameraXU::CSequence::CSequence(CCameraXU& channel) : m_pChannel(&channel) {
    channel.m_sequenceLock.lock();
    channel.m_ownerThread.store(std::this_thread::get_id());
}

CCameraXU::CSequence::CSequence(CSequence&& other) noexcept : m_pChannel(other.m_pChannel) {
    other.m_pChannel = nullptr;
}

CCameraXU::CSequence::~CSequence() {
    if (!m_pChannel) return;
    // Whatever the sequence left open is not left for the next one.
    if (m_pChannel->m_bOpen) m_pChannel->Close();
    m_pChannel->m_ownerThread.store(std::thread::id());
    m_pChannel->m_sequenceLock.unlock();
}

CCameraXU::CCameraXU() : m_bEnabled(1) {}

CCameraXU::~CCameraXU() = default;

CCameraXU::CSequence CCameraXU::BeginSequence() { return CSequence(*this); }

bool CCameraXU::Usable(const char* operation) const {
    if (!m_bEnabled) return false;
    if (!InSequence()) {
        ZTRACE("%s refused: the calling thread holds no sequence\n", operation);
        return false;
    }
    return true;
}

void CCameraXU::FillDeviceList() {
    m_astrDeviceNames.clear();
    const XuEntryPoints& xu = XuEntries();
    if (!xu.pGetDeviceNameEnum) return;
    for (int index = 0;; ++index) {
        char16_t name[kNodrikNameChars] = {};
        if (!xu.pGetDeviceNameEnum(index, name)) break;
        // The library terminates the name within the buffer; this bound only
        // keeps a faulty one from reading past it.
        size_t length = 0;
        while (length < kNodrikNameChars && name[length] != 0) ++length;
        m_astrDeviceNames.emplace_back(name, length);
    }
}

const std::vector<std::u16string>& CCameraXU::GetDeviceList() {
    if (!m_bEnabled) return m_astrDeviceNames;
    if (InSequence()) {
        FillDeviceList();
    } else {
        CSequence sequence = BeginSequence();
        FillDeviceList();
    }
    return m_astrDeviceNames;
}

bool CCameraXU::Open(int index) {
    if (!Usable("Open")) return false;
    const XuEntryPoints& xu = XuEntries();
    if (!xu.pOnUnInitializeXU || !xu.pOnInitializeXU) return false;
    m_bOpen = true;
    xu.pOnUnInitializeXU();
    const bool ready = xu.pOnInitializeXU(index);
    ZTRACE("OnInitializeXU(%d)=%d\n", index, ready);
    return ready;
}

void CCameraXU::Close() {
    if (!Usable("Close")) return;
    m_bOpen = false;
    const XuEntryPoints& xu = XuEntries();
    if (xu.pOnUnInitializeXU) xu.pOnUnInitializeXU();
}

void CCameraXU::SelectCommandControl() const {
    const XuEntryPoints& xu = XuEntries();
    if (xu.pOnSetUnitId) xu.pOnSetUnitId(kCameraUnit);
    if (xu.pOnSetCtrlId) xu.pOnSetCtrlId(kCameraControl);
    if (xu.pOnSetReqLen) xu.pOnSetReqLen(kCameraRequestLength);
}

bool CCameraXU::SendCommand(uint8_t code, uint8_t value) {
    if (!Usable("SendCommand")) return false;
    if (code != kCameraCommandMode && code != kCameraCommandBeforeMode && code != kCameraCommand49) return false;
    uint8_t buffer[kNodrikBufferSize] = {};
    buffer[0] = code;
    if (code == kCameraCommandMode) buffer[1] = value;
    SelectCommandControl();
    const XuEntryPoints& xu = XuEntries();
    const bool ok = xu.pOnUVC_SetCur && xu.pOnUVC_SetCur(buffer);
    ZTRACE("command %u value %u: %d\n", code, buffer[1], ok);
    return ok;
}

bool CCameraXU::Query(uint8_t code, uint8_t* io) {
    if (!Usable("Query")) return false;
    if (code == kCameraCommandBeforeMode || code == kCameraCommand49) return true;
    if (code != kCameraQueryStatus) return false;
    if (io == nullptr) return true;

    const uint8_t asked = static_cast<uint8_t>(*io >> 4);
    const XuEntryPoints& xu = XuEntries();
    uint8_t buffer[kNodrikBufferSize] = {};
    buffer[0] = kCameraQueryStatus;
    buffer[1] = asked;
    SelectCommandControl();
    if (!xu.pOnUVC_SetCur || !xu.pOnUVC_SetCur(buffer)) {
        ZTRACE("query %u: SET_CUR failed\n", asked);
        return false;
    }
    // The camera needs time to form its answer.
    platform::Sleep(kStatusWaitMs);
    // Bytes the camera does not write must not pass for its echo: a camera
    // whose control is shorter than the answer would otherwise seem to echo
    // the request still in the buffer.
    std::memset(buffer, 0xFF, sizeof buffer);
    SelectCommandControl();
    if (!xu.pOnUVC_GetCur || !xu.pOnUVC_GetCur(buffer)) {
        ZTRACE("query %u: GET_CUR failed\n", asked);
        return false;
    }
    if (buffer[0] != kCameraQueryStatus || buffer[1] != asked) {
        ZTRACE("query %u: answer %u, %u lacks the echo\n", asked, buffer[0], buffer[1]);
        return false;
    }
    *io = buffer[2];
    return true;
}

}  // namespace camera
