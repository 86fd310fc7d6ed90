#pragma once
// The session host of a device without a camera and without a window: the
// file source stands in for the capture, status changes and camera commands
// are reported to a log function instead of a window and a camera. The
// source is started and stopped by the owner's thread only; a stop asked for
// by the server (the transport refused the DID) is left to the owner.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "service/demo/FileFrameSource.h"
#include "service/session/SessionHost.h"

namespace demo {

class CDemoHost final : public session::ISessionHost {
public:
    // `source` receives key-frame requests; `log` (may be empty) gets one
    // line per event, from any thread. Both outlive the host.
    CDemoHost(CFileFrameSource* source, std::function<void(const std::string&)> log)
        : m_pSource(source), m_log(std::move(log)) {}

    // Before the service starts.
    void SetSource(CFileFrameSource* source) { m_pSource = source; }

    void SetStatus(int status) override;
    void StopCapture() override;
    void ChangeCameraMode(int mode, const std::function<bool()>& apply) override;
    uint32_t SetVideoTimer() override;
    void KillVideoTimer(uint32_t timerId) override;
    void RequestKeyFrame() override;
    void ReportInterceptedLogin(uint32_t refusals) override;

    int Status() const { return m_nStatus.load(); }
    bool CaptureStopWanted() const { return m_bCaptureStopWanted.load(); }
    int CameraMode() const { return m_nCameraMode.load(); }

private:
    void Log(const std::string& line) {
        if (m_log) m_log(line);
    }
    CFileFrameSource* m_pSource;
    std::function<void(const std::string&)> m_log;
    std::mutex m_camera;
    std::atomic<int> m_nStatus{0};
    std::atomic<int> m_nCameraMode{-1};
    std::atomic<bool> m_bCaptureStopWanted{false};
};

}  // namespace demo
