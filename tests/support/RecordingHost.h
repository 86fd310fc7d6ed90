#pragma once
// A session host that records what the server asks of the window.

#include <atomic>
#include <mutex>
#include <vector>

#include "service/session/SessionHost.h"

namespace testsupport {

class CRecordingHost final : public session::ISessionHost {
public:
    void SetStatus(int status) override {
        std::lock_guard<std::mutex> hold(m_record);
        m_statuses.push_back(status);
    }
    void StopCapture() override { m_nStopCaptures.fetch_add(1); }
    void ChangeCameraMode(int mode, const std::function<bool()>& apply) override {
        std::lock_guard<std::mutex> sequence(m_camera);
        if (!apply()) return;
        std::lock_guard<std::mutex> hold(m_record);
        m_cameraModes.push_back(mode);
    }
    uint32_t SetVideoTimer() override {
        m_nTimerStarts.fetch_add(1);
        return 101;
    }
    void KillVideoTimer(uint32_t) override { m_nTimerKills.fetch_add(1); }
    void RequestKeyFrame() override { m_nKeyFrameRequests.fetch_add(1); }

    std::vector<int> Statuses() {
        std::lock_guard<std::mutex> hold(m_record);
        return m_statuses;
    }
    std::vector<int> CameraModes() {
        std::lock_guard<std::mutex> hold(m_record);
        return m_cameraModes;
    }
    int StopCaptures() const { return m_nStopCaptures.load(); }
    int TimerStarts() const { return m_nTimerStarts.load(); }
    int TimerKills() const { return m_nTimerKills.load(); }
    int KeyFrameRequests() const { return m_nKeyFrameRequests.load(); }

private:
    std::mutex m_camera;
    std::mutex m_record;
    std::vector<int> m_statuses;
    std::vector<int> m_cameraModes;
    std::atomic<int> m_nStopCaptures{0};
    std::atomic<int> m_nTimerStarts{0};
    std::atomic<int> m_nTimerKills{0};
    std::atomic<int> m_nKeyFrameRequests{0};
};

}  // namespace testsupport
