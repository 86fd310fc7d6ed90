#pragma once
// What the viewer tests share: events that keep every frame, a log of the
// frames a device sent, and the check that a viewer got exactly those.

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "service/demo/FileFrameSource.h"
#include "viewer/ViewerClient.h"

namespace viewertest {

class CRecordingEvents final : public viewer::IViewerEvents {
public:
    bool OnFrame(const viewer::ViewerFrame& frame) override {
        std::lock_guard<std::mutex> hold(m_lock);
        frames.emplace_back(frame.data, frame.data + frame.length);
        deltaFlags.push_back(frame.deltaFrame);
        return !failOutput;
    }
    void OnModeReport(uint32_t mode) override {
        std::lock_guard<std::mutex> hold(m_lock);
        modes.push_back(mode);
    }
    void OnStatus(const std::string& text) override {
        std::lock_guard<std::mutex> hold(m_lock);
        statuses.push_back(text);
    }
    size_t FrameCount() {
        std::lock_guard<std::mutex> hold(m_lock);
        return frames.size();
    }
    bool Reported(uint32_t mode) {
        std::lock_guard<std::mutex> hold(m_lock);
        return !modes.empty() && modes.back() == mode;
    }

    bool failOutput = false;
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> deltaFlags;
    std::vector<uint32_t> modes;
    std::vector<std::string> statuses;

private:
    std::mutex m_lock;
};

// The frames a file source passed on, by index into its file.
class CSentLog {
public:
    void Attach(demo::CFileFrameSource& source) {
        source.SetFrameObserver([this](size_t i) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_indices.push_back(i);
        });
    }
    std::vector<size_t> Indices() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_indices;
    }

private:
    std::mutex m_lock;
    std::vector<size_t> m_indices;
};

// True when `received` is, byte for byte, a run of consecutive frames of
// `sent` that begins with a key frame: nothing lost, doubled, reordered or
// changed after the viewer's first picture.
inline ::testing::AssertionResult IsRunOfSentFrames(const std::vector<std::vector<uint8_t>>& received,
                                                    const std::vector<size_t>& sent,
                                                    const demo::CFileFrameSource& source) {
    if (received.empty()) return ::testing::AssertionFailure() << "no frame received";
    auto same = [&](const std::vector<uint8_t>& frame, size_t index) {
        return frame.size() == source.Frame(index).length &&
               std::memcmp(frame.data(), source.FrameData(index), frame.size()) == 0;
    };
    for (size_t p = 0; p + received.size() <= sent.size(); ++p) {
        if (!source.Frame(sent[p]).key || !same(received[0], sent[p])) continue;
        size_t k = 1;
        while (k < received.size() && same(received[k], sent[p + k])) ++k;
        if (k == received.size()) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << received.size() << " frames received do not match any run of the "
                                         << sent.size() << " frames sent";
}

}  // namespace viewertest
