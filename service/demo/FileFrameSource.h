#pragma once
// Plays an H.264 Annex-B file into an EncodedFrameSink at a steady frame rate,
// frame by frame and over and over, the way a camera and its encoder would:
// every frame is passed with key-frame gating on. Stands in for the capture
// graph where there is no camera.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Thread.h"
#include "service/demo/AnnexB.h"
#include "service/session/EncodedFrameSink.h"

namespace demo {

class CFileFrameSource {
public:
    explicit CFileFrameSource(session::EncodedFrameSink& sink) : m_sink(sink) {}
    ~CFileFrameSource() { Stop(); }
    CFileFrameSource(const CFileFrameSource&) = delete;
    CFileFrameSource& operator=(const CFileFrameSource&) = delete;

    // Reads and splits the file. False, with a message for the user, when it
    // cannot be read, holds no frame, or has a frame too long to send.
    bool Load(const std::string& path, std::string& error);
    bool LoadBytes(std::vector<uint8_t> bytes, std::string& error);

    size_t FrameCount() const { return m_frames.size(); }
    size_t KeyFrameCount() const;
    const FrameSpan& Frame(size_t index) const { return m_frames[index]; }
    const uint8_t* FrameData(size_t index) const { return m_bytes.data() + m_frames[index].offset; }

    // Called on the playing thread with the index of each frame just before it
    // is passed on. Set before Start.
    void SetFrameObserver(std::function<void(size_t)> observer) { m_observer = std::move(observer); }

    // Plays from the first frame at `fps` frames a second on a thread of its
    // own until Stop. False when nothing is loaded, `fps` is 0 or it plays already.
    bool Start(uint32_t fps);
    // Stops playing and waits for the thread; more than once is harmless.
    // Start and Stop belong to one thread, the owner's.
    void Stop();
    bool IsPlaying() const { return m_bPlaying.load(); }

    // Asks for a key frame: the next frame played is the next key frame of the
    // file, as an encoder would make the next picture a key frame. Returns at
    // once; safe from within the sink.
    void RequestKeyFrame() { m_bKeyFrameWanted.store(true); }

    // Passes the next frame to the sink now; the playing thread's step.
    void DeliverNext();
    size_t NextIndex() const { return m_nNext.load(); }
    uint64_t FramesPlayed() const { return m_qwPlayed.load(); }
    uint64_t KeyFramesRequested() const { return m_qwKeyRequests.load(); }

private:
    static void ThreadPlay(void* source);
    void Play();

    session::EncodedFrameSink& m_sink;
    std::vector<uint8_t> m_bytes;
    std::vector<FrameSpan> m_frames;
    std::function<void(size_t)> m_observer;
    platform::CThread m_thread;
    uint32_t m_nFps = 25;
    std::atomic<bool> m_bPlaying{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bKeyFrameWanted{false};
    std::atomic<size_t> m_nNext{0};
    std::atomic<uint64_t> m_qwPlayed{0};
    std::atomic<uint64_t> m_qwKeyRequests{0};
};

}  // namespace demo
