#pragma once
// Fakes at the service's ports for the controller's and the window's tests:
// the camera library (two cameras that answer and echo their status), a
// capture that records what it was asked and can lose its camera, and one
// log of what every fake saw, in order.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "service/camera/XuBinding.h"
#include "service/video/Capture.h"
#include "tests/support/FakeCapture.h"

namespace appfakes {

class CLog {
public:
    static CLog& Instance() {
        static CLog log;
        return log;
    }
    void Clear() {
        std::lock_guard<std::mutex> hold(m_lock);
        m_lines.clear();
    }
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_lines.push_back(line);
    }
    // The position of the first `line`; SIZE_MAX when it is not there.
    size_t Position(const std::string& line) {
        std::lock_guard<std::mutex> hold(m_lock);
        const auto it = std::find(m_lines.begin(), m_lines.end(), line);
        return it == m_lines.end() ? SIZE_MAX : static_cast<size_t>(it - m_lines.begin());
    }
    size_t Count(const std::string& line) {
        std::lock_guard<std::mutex> hold(m_lock);
        return static_cast<size_t>(std::count(m_lines.begin(), m_lines.end(), line));
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};
inline void Log(const std::string& line) { CLog::Instance().Add(line); }
inline size_t Position(const std::string& line) { return CLog::Instance().Position(line); }

// The camera library: its cameras, whether they answer, and the status byte
// they give to query 26 (the camera's mode echoed before it).
struct CameraLibrary {
    static CameraLibrary& Instance() {
        static CameraLibrary library;
        return library;
    }
    std::vector<std::u16string> cameras;
    std::atomic<bool> bAnswers{true};
    std::atomic<uint8_t> byStatus{0x10};
    uint8_t abyLastSet[2] = {0, 0};  // under the camera channel's sequence

    // Installs the fake entry points; the previous ones are given back.
    camera::XuEntryPoints Install() {
        cameras = {u"USB Camera A", u"USB Camera B"};
        bAnswers = true;
        byStatus = 0x10;
        camera::XuEntryPoints xu;
        xu.pGetDeviceNameEnum = [](int index, char16_t* name) {
            const auto& list = Instance().cameras;
            if (index < 0 || static_cast<size_t>(index) >= list.size()) return false;
            std::copy(list[index].begin(), list[index].end(), name);
            name[list[index].size()] = 0;
            return true;
        };
        xu.pOnInitializeXU = [](int index) { return Log("camera open " + std::to_string(index)), Instance().bAnswers.load(); };
        xu.pOnUnInitializeXU = [] { return true; };
        xu.pOnSetUnitId = xu.pOnSetCtrlId = xu.pOnSetReqLen = [](int) { return true; };
        xu.pOnUVC_SetCur = [](uint8_t* data) {
            Instance().abyLastSet[0] = data[0];
            Instance().abyLastSet[1] = data[1];
            return Log("camera command " + std::to_string(data[0]) + " " + std::to_string(data[1])), true;
        };
        xu.pOnUVC_GetCur = [](uint8_t* data) {
            data[0] = Instance().abyLastSet[0];
            data[1] = Instance().abyLastSet[1];
            data[2] = Instance().byStatus.load();
            return true;
        };
        return camera::InstallXuEntryPoints(xu);
    }
};

// The fake capture with its starts and stops in the log, so that tests see
// them in order with everything else. The fake outlives this wrapper, which
// the controller owns.
class CLoggedCapture final : public video::ICapture {
public:
    explicit CLoggedCapture(testsupport::CFakeCapture& fake) : m_fake(fake) {}

    video::CaptureStart Start(const video::CaptureSettings& settings, session::EncodedFrameSink& sink,
                              video::ICaptureEvents& events) override {
        Log("capture start " + settings.strCameraName + " " + std::to_string(settings.format.nWidth) + "x" +
            std::to_string(settings.format.nHeight));
        return m_fake.Start(settings, sink, events);
    }
    void Stop() override {
        if (m_fake.IsRunning()) Log("capture stop");
        m_fake.Stop();
    }
    void RequestKeyFrame() override { m_fake.RequestKeyFrame(); }
    bool IsRunning() const override { return m_fake.IsRunning(); }
    void SetPreviewSink(video::IPreviewSink* sink) override { m_fake.SetPreviewSink(sink); }

private:
    testsupport::CFakeCapture& m_fake;
};

}  // namespace appfakes
