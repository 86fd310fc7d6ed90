#pragma once
// CCaptureGraph: the capture graph of three filters in a chain, the camera's
// capture filter, the H.264 encoder and the dump filter that hands every
// encoded frame back to the program. The graph relays those frames to its
// frame sink (the fan-out). It reaches the media framework only through the
// graph-operations port.
//
// Threads: everything on the window's thread, except OnEncodedFrame (the
// framework's streaming thread) and ForceKeyFrame (any thread).

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "service/session/EncodedFrameSink.h"
#include "service/video/GraphOps.h"

namespace video {

inline constexpr size_t kCameraNameBytes = 128;
inline constexpr int kStateStopped = 0;
inline constexpr int kStateRunning = 2;
// Passed with the frame sink to the dump filter.
inline constexpr int kFrameSinkFlags = 224;

// The filter names in the graph.
inline constexpr char kCaptureFilterName[] = "video capture";
inline constexpr char kEncoderFilterName[] = "video encoder";
inline constexpr char kDumpFilterName[] = "video dump";

// Message box texts.
inline constexpr char kMsgNoCaptureFilter[] = "Failed to add video capture filter.";
inline constexpr char kMsgNoEncoder[] = "Failed to add ffdshow video encode filter.";
inline constexpr char kMsgNoDump[] = "Failed to add video dump filter.";
inline constexpr char kMsgCaptureToEncoder[] = "Failed to connect mVideoCaptureFilter and mVideoEncodeFilter.";
inline constexpr char kMsgEncoderToDump[] = "Failed to connect mVideoEncodeFilter and mVideoDumpFilter.";
inline constexpr char kMsgNoPacketDump[] = "Failed to query IPacketDump interface of Video Packet Dump filter.";

class CCaptureGraph : public session::EncodedFrameSink {
public:
    // `showMessage` shows a modal message box with an OK button.
    CCaptureGraph(IGraphOps& ops, std::function<void(const std::string&)> showMessage);
    virtual ~CCaptureGraph();
    CCaptureGraph(const CCaptureGraph&) = delete;
    CCaptureGraph& operator=(const CCaptureGraph&) = delete;

    void OnEncodedFrame(const session::EncodedFrame& frame) override;
    virtual void Teardown();

    void SetCaptureFormat(int32_t width, int32_t height, int32_t frameRate, int32_t bitDepth);
    // `notify` is called on any thread when graph events are pending.
    bool Build(std::function<void()> notify);
    bool Run();
    bool Stop();
    bool IsRunning() const { return mState == kStateRunning; }
    bool IsStopped() const { return mState == kStateStopped; }
    // 31 when the camera was lost, -1 without event control, otherwise the
    // last fetch's result.
    int DrainEvents();
    void ForceKeyFrame() { m_ops.ForceKeyFrame(); }

    // Set before Build; the sink is not owned and is never cleared.
    void SetFrameSink(session::EncodedFrameSink* sink) { mFrameSink.store(sink); }
    // Stores at most 127 bytes of `name` (cut at a character's boundary).
    void SetCameraName(const std::string& name);
    const char* CameraName() const { return mCameraName.data(); }
    const CaptureFormat& Format() const { return m_format; }
    bool HasGraph() const { return mGraph; }

private:
    int AssembleFilters();
    bool AcquireControls();
    void RegisterInRot();
    void RevokeFromRot();
    // The port's filter for the first device that `name` selects (any device
    // with a readable name when empty), or 0.
    FilterId FindCaptureFilterByName(const char* name);
    int CreateFilterInGraph(FilterKind kind, const char* filterName, FilterId* filter);
    int ConnectFilterPair(FilterId upstream, FilterId downstream);

    IGraphOps& m_ops;
    std::function<void(const std::string&)> m_showMessage;

    bool mGraph = false;
    std::array<bool, kGraphControlCount> m_controls{};  // the six controls held
    FilterId mVideoCaptureFilter = 0;
    FilterId mVideoEncodeFilter = 0;
    FilterId mVideoDumpFilter = 0;
    uint32_t mRotCookie = 0;
    std::atomic<session::EncodedFrameSink*> mFrameSink{nullptr};
    std::array<char, kCameraNameBytes> mCameraName{};
    int32_t mState = kStateStopped;
    CaptureFormat m_format;
};

}  // namespace video
