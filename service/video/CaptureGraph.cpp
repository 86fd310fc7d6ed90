#include "service/video/CaptureGraph.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "platform/Text.h"
#include "platform/Trace.h"
#include "service/video/CaptureControl.h"

namespace video {

CCaptureGraph::CCaptureGraph(IGraphOps& ops, std::function<void(const std::string&)> showMessage)
    : m_ops(ops), m_showMessage(std::move(showMessage)) {}

CCaptureGraph::~CCaptureGraph() { CCaptureGraph::Teardown(); }

void CCaptureGraph::OnEncodedFrame(const session::EncodedFrame& frame) {
    if (session::EncodedFrameSink* sink = mFrameSink.load()) sink->OnEncodedFrame(frame);
}

void CCaptureGraph::SetCaptureFormat(int32_t width, int32_t height, int32_t frameRate, int32_t bitDepth) {
    m_format = CaptureFormat{width, height, frameRate, bitDepth};
}

void CCaptureGraph::SetCameraName(const std::string& name) {
    const std::string_view cut = platform::Utf8Prefix(name, kCameraNameBytes - 1);
    mCameraName.fill(0);
    std::memcpy(mCameraName.data(), cut.data(), cut.size());
}

bool CCaptureGraph::Build(std::function<void()> notify) {
    m_ops.InitializeThread();
    if (mGraph) return false;
    if (m_ops.CreateGraph() < 0) return false;
    mGraph = true;
    RegisterInRot();
    const int assembled = AssembleFilters();
    if (assembled < 0 || assembled == kGraphFalse) return false;
    if (!AcquireControls()) return false;
    m_ops.SetNotify(std::move(notify));
    return true;
}

int CCaptureGraph::AssembleFilters() {
    mVideoCaptureFilter = FindCaptureFilterByName(mCameraName.data());
    if (mVideoCaptureFilter == 0) {
        m_showMessage(kMsgNoCaptureFilter);
        return kGraphFalse;
    }
    m_ops.AddFilter(mVideoCaptureFilter, kCaptureFilterName);

    int hr = CreateFilterInGraph(FilterKind::Encoder, kEncoderFilterName, &mVideoEncodeFilter);
    if (mVideoEncodeFilter == 0) {
        m_showMessage(kMsgNoEncoder);
        return hr;
    }
    hr = CreateFilterInGraph(FilterKind::Dump, kDumpFilterName, &mVideoDumpFilter);
    if (mVideoDumpFilter == 0) {
        m_showMessage(kMsgNoDump);
        return hr;
    }

    if ((hr = m_ops.FindUnconnectedPin(mVideoCaptureFilter, PinDirection::Output)) < 0) return hr;
    if ((hr = m_ops.FindUnconnectedPin(mVideoEncodeFilter, PinDirection::Input)) < 0) return hr;
    if ((hr = m_ops.ConnectDirect(mVideoCaptureFilter, mVideoEncodeFilter, m_format)) < 0) {
        m_showMessage(kMsgCaptureToEncoder);
        return hr;
    }
    if ((hr = ConnectFilterPair(mVideoEncodeFilter, mVideoDumpFilter)) < 0) {
        m_showMessage(kMsgEncoderToDump);
        return hr;
    }
    // Nothing ever takes the sink back: the dump filter goes with the graph.
    if ((hr = m_ops.SetFrameSink(mVideoDumpFilter, this, kFrameSinkFlags)) < 0) {
        m_showMessage(kMsgNoPacketDump);
        return hr;
    }
    return kGraphOk;
}

bool CCaptureGraph::AcquireControls() {
    if (!mGraph) return false;
    bool all = true;
    for (int i = 0; i < kGraphControlCount; ++i) {
        const bool got = m_ops.QueryControl(static_cast<GraphControl>(i)) >= 0;
        m_controls[static_cast<size_t>(i)] = got;
        all = all && got;
    }
    return all;
}

void CCaptureGraph::RegisterInRot() {
    uint32_t cookie = 0;
    if (m_ops.RegisterGraph(&cookie) >= 0) mRotCookie = cookie;
}

void CCaptureGraph::RevokeFromRot() {
    if (mRotCookie != 0) m_ops.RevokeGraph(mRotCookie);
    mRotCookie = 0;
}

FilterId CCaptureGraph::FindCaptureFilterByName(const char* name) {
    if (name == nullptr) return 0;
    const int count = m_ops.CaptureDeviceCount();
    for (int position = 0; position < count; ++position) {
        std::string friendly;
        if (!m_ops.CaptureDeviceName(position, friendly)) continue;
        // Byte for byte, letter case included, over the whole name.
        if (*name != '\0' && friendly != name) continue;
        if (const FilterId filter = m_ops.BindCaptureDevice(position)) return filter;
    }
    ZTRACE("no video input device matches \"%s\"\n", name);
    return 0;
}

int CCaptureGraph::CreateFilterInGraph(FilterKind kind, const char* filterName, FilterId* filter) {
    if (filter == nullptr) return kGraphPointer;
    *filter = 0;
    FilterId created = 0;
    int hr = m_ops.CreateFilter(kind, &created);
    if (hr < 0 || created == 0) return hr < 0 ? hr : kGraphFail;
    if ((hr = m_ops.AddFilter(created, filterName)) < 0) {
        m_ops.ReleaseFilter(created);
        return hr;
    }
    *filter = created;
    return hr;
}

int CCaptureGraph::ConnectFilterPair(FilterId upstream, FilterId downstream) {
    int hr = m_ops.FindUnconnectedPin(upstream, PinDirection::Output);
    if (hr < 0) return hr;
    if ((hr = m_ops.FindUnconnectedPin(downstream, PinDirection::Input)) < 0) return hr;
    return m_ops.Connect(upstream, downstream);
}

bool CCaptureGraph::Run() {
    if (!mGraph || !m_controls[static_cast<size_t>(GraphControl::MediaControl)]) return false;
    if (mState == kStateRunning) return true;
    if (m_ops.Run() < 0) return false;
    mState = kStateRunning;
    return true;
}

bool CCaptureGraph::Stop() {
    if (!mGraph || !m_controls[static_cast<size_t>(GraphControl::MediaControl)]) return false;
    if (mState == kStateStopped) return true;
    if (m_ops.Stop() < 0) return false;
    mState = kStateStopped;
    return true;
}

void CCaptureGraph::Teardown() {
    // Seeking, control, events, basic video and audio, then the video window
    // once detached; the order the graph manager hands them back in.
    static constexpr GraphControl kOrder[] = {GraphControl::MediaSeeking, GraphControl::MediaControl,
                                              GraphControl::MediaEvent, GraphControl::BasicVideo,
                                              GraphControl::BasicAudio};
    for (GraphControl control : kOrder) {
        bool& held = m_controls[static_cast<size_t>(control)];
        if (held) m_ops.ReleaseControl(control);
        held = false;
    }
    bool& window = m_controls[static_cast<size_t>(GraphControl::VideoWindow)];
    if (window) {
        m_ops.DetachVideoWindow();
        m_ops.ReleaseControl(GraphControl::VideoWindow);
        window = false;
    }
    for (FilterId* filter : {&mVideoCaptureFilter, &mVideoEncodeFilter, &mVideoDumpFilter}) {
        if (*filter != 0) m_ops.ReleaseFilter(*filter);
        *filter = 0;
    }
    RevokeFromRot();
    if (mGraph) m_ops.ReleaseGraph();
    mGraph = false;
}

int CCaptureGraph::DrainEvents() {
    if (!m_controls[static_cast<size_t>(GraphControl::MediaEvent)]) return -1;
    for (;;) {
        int code = 0;
        const int hr = m_ops.GetEvent(&code);
        if (hr < 0) return hr;
        if (code == kGraphEventDeviceLost) return kGraphEventDeviceLost;
        ZTRACE("graph event %d discarded\n", code);
    }
}

}  // namespace video
