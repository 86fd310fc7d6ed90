#include "service/demo/FileFrameSource.h"

#include <cstdio>

#include "platform/Clock.h"
#include "wire/SessionPacket.h"

namespace demo {

bool CFileFrameSource::Load(const std::string& path, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = "Cannot open the video file \"" + path + "\".";
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "Cannot read the video file \"" + path + "\".";
        return false;
    }
    if (!LoadBytes(std::move(bytes), error)) {
        error = "\"" + path + "\": " + error;
        return false;
    }
    return true;
}

bool CFileFrameSource::LoadBytes(std::vector<uint8_t> bytes, std::string& error) {
    if (m_bPlaying.load()) {
        error = "The source is playing.";
        return false;
    }
    std::vector<FrameSpan> frames = SplitAccessUnits(bytes.data(), bytes.size());
    if (frames.empty()) {
        error = "no H.264 frame found (an Annex-B byte stream with start codes is expected).";
        return false;
    }
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].length > wire::kMaxFramePayload) {
            error = "frame " + std::to_string(i) + " is " + std::to_string(frames[i].length) +
                    " bytes long; at most " + std::to_string(wire::kMaxFramePayload) + " can be sent.";
            return false;
        }
    }
    m_bytes = std::move(bytes);
    m_frames = std::move(frames);
    m_nNext.store(0);
    return true;
}

size_t CFileFrameSource::KeyFrameCount() const {
    size_t keys = 0;
    for (const FrameSpan& f : m_frames) keys += f.key ? 1 : 0;
    return keys;
}

void CFileFrameSource::DeliverNext() {
    if (m_frames.empty()) return;
    size_t index = m_nNext.load() % m_frames.size();
    if (m_bKeyFrameWanted.exchange(false)) {
        m_qwKeyRequests.fetch_add(1);
        // The next key frame from here on, wrapping round; the file's first
        // frame need not be one.
        for (size_t step = 0; step < m_frames.size(); ++step) {
            const size_t candidate = (index + step) % m_frames.size();
            if (m_frames[candidate].key) {
                index = candidate;
                break;
            }
        }
    }
    if (m_observer) m_observer(index);
    const FrameSpan& f = m_frames[index];
    m_sink.OnEncodedFrame(session::EncodedFrame::Live(m_bytes.data() + f.offset, static_cast<uint32_t>(f.length)));
    m_qwPlayed.fetch_add(1);
    m_nNext.store((index + 1) % m_frames.size());
}

bool CFileFrameSource::Start(uint32_t fps) {
    if (m_frames.empty() || fps == 0 || m_bPlaying.load()) return false;
    m_thread.Join();
    m_nFps = fps;
    m_bStop.store(false);
    m_nNext.store(0);
    m_bPlaying.store(true);
    if (!m_thread.Start(&CFileFrameSource::ThreadPlay, this)) {
        m_bPlaying.store(false);
        return false;
    }
    return true;
}

void CFileFrameSource::Stop() {
    m_bStop.store(true);
    m_thread.Join();
    m_bPlaying.store(false);
}

void CFileFrameSource::ThreadPlay(void* source) { static_cast<CFileFrameSource*>(source)->Play(); }

void CFileFrameSource::Play() {
    uint32_t start = platform::GetTickCount();
    uint64_t played = 0;
    while (!m_bStop.load()) {
        const uint32_t due = start + static_cast<uint32_t>(played * 1000 / m_nFps);
        const auto wait = static_cast<int32_t>(due - platform::GetTickCount());
        if (wait > 0) {
            // Short sleeps, so that Stop is answered quickly.
            platform::Sleep(static_cast<uint32_t>(wait < 20 ? wait : 20));
            continue;
        }
        // Held up by more than a frame (a slow sink): go on from now rather
        // than sending the missed frames in a burst, as a camera would.
        if (-wait > static_cast<int32_t>(1000 / m_nFps)) {
            start = platform::GetTickCount();
            played = 0;
        }
        DeliverNext();
        ++played;
    }
}

}  // namespace demo
