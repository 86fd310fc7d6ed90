#pragma once
// A capture port that the test drives: it records how it is started and
// stopped and the key frames asked of it, fails a start on demand, and
// delivers frames and events as a capture's own threads would, keeping the
// port's promises (nothing reaches the sink or the events once stopped).

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "service/video/Capture.h"

namespace testsupport {

class CFakeCapture final : public video::ICapture {
public:
    // The next starts fail with this text, as long as it is set.
    std::optional<std::string> failStart;
    // Called inside Start, before it answers.
    std::function<void()> onStart;

    video::CaptureStart Start(const video::CaptureSettings& settings, session::EncodedFrameSink& sink,
                              video::ICaptureEvents& events) override {
        ++m_nStartCalls;
        if (m_bRunning.load()) {
            ++m_nStartsWhileRunning;
            return {false, "already running", "", false};
        }
        m_settings = settings;
        if (onStart) onStart();
        if (failStart) return {false, *failStart, "", false};
        std::lock_guard lock(m_lock);
        m_pSink = &sink;
        m_pEvents = &events;
        m_bRunning.store(true);
        return {true, "", "fake", false};
    }
    void Stop() override {
        ++m_nStopCalls;
        std::lock_guard lock(m_lock);
        m_pSink = nullptr;
        m_pEvents = nullptr;
        m_bRunning.store(false);
    }
    void RequestKeyFrame() override {
        if (m_bRunning.load()) m_nKeyFrames.fetch_add(1);
    }
    bool IsRunning() const override { return m_bRunning.load(); }
    void SetPreviewSink(video::IPreviewSink* sink) override {
        std::lock_guard lock(m_lock);
        m_pPreview = sink;
    }

    // As the streaming thread: false when stopped (nothing is delivered).
    bool Deliver(const session::EncodedFrame& frame) {
        std::lock_guard lock(m_lock);
        if (m_pSink == nullptr) return false;
        m_pSink->OnEncodedFrame(frame);
        return true;
    }
    // A preview picture, as the streaming thread: false when nobody
    // subscribes or the capture is stopped.
    bool DeliverPreview(const video::PreviewFrame& frame) {
        std::lock_guard lock(m_lock);
        if (m_pPreview == nullptr || m_pSink == nullptr) return false;
        m_pPreview->OnPreviewFrame(frame);
        return true;
    }
    bool PreviewSubscribed() {
        std::lock_guard lock(m_lock);
        return m_pPreview != nullptr;
    }
    bool Lose() {
        std::lock_guard lock(m_lock);
        if (m_pEvents == nullptr) return false;
        m_pEvents->OnCaptureLost();
        return true;
    }
    bool Problem(const std::string& what) {
        std::lock_guard lock(m_lock);
        if (m_pEvents == nullptr) return false;
        m_pEvents->OnCaptureProblem(what);
        return true;
    }

    // The settings of the last start.
    const video::CaptureSettings& Settings() const { return m_settings; }
    int StartCalls() const { return m_nStartCalls; }
    int StartsWhileRunning() const { return m_nStartsWhileRunning; }
    int StopCalls() const { return m_nStopCalls; }
    int KeyFrames() const { return m_nKeyFrames.load(); }

private:
    std::mutex m_lock;  // held while delivering, as Stop's promise needs
    session::EncodedFrameSink* m_pSink = nullptr;
    video::ICaptureEvents* m_pEvents = nullptr;
    video::IPreviewSink* m_pPreview = nullptr;
    std::atomic<bool> m_bRunning{false};
    video::CaptureSettings m_settings;
    int m_nStartCalls = 0, m_nStartsWhileRunning = 0, m_nStopCalls = 0;
    std::atomic<int> m_nKeyFrames{0};
};

}  // namespace testsupport
