// A simulated camera's picture: colour bars with a bar of white that moves
// one step a frame, so that every picture differs from the one before (an
// encoder then has something to encode, as with a real camera).

#include <mfapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/Clock.h"
#include "service/video/win32/MfApi.h"
#include "service/video/win32/PictureSource.h"

namespace video {
namespace {

// Simulated cameras that vanished and come back: when each went, by name.
// A camera is away until its `back` time has passed since then, and from then
// on stays, as a camera plugged in again does.
std::mutex g_awayLock;
std::map<std::string, uint32_t> g_awaySince;

bool Away(const simcam::SimCamera& camera, bool& returned) {
    std::lock_guard lock(g_awayLock);
    const auto found = g_awaySince.find(camera.strName);
    returned = found != g_awaySince.end();
    return returned && platform::GetTickCount() - found->second < camera.dwBackMs;
}

struct Yuv {
    uint8_t y, u, v;
};
// 75% colour bars: white, yellow, cyan, green, magenta, red, blue.
constexpr Yuv kBars[] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                         {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};
constexpr int kBarCount = sizeof kBars / sizeof kBars[0];

class CTestPictureSource final : public IPictureSource {
public:
    CTestPictureSource(const simcam::SimCamera& camera, const CaptureFormat& format, bool vanishes)
        : m_camera(camera), m_nWidth(format.nWidth & ~1), m_nHeight(format.nHeight & ~1), m_bVanishes(vanishes),
          m_dwInterval(1000 / std::max<uint32_t>(camera.nFrameRate, 1)) {}

    PictureRead Next(ComPtr<IMFSample>& picture) override {
        const uint32_t now = platform::GetTickCount();
        if (m_nFrames == 0) m_dwFirst = m_dwNext = now;
        if (m_bVanishes && now - m_dwFirst >= m_camera.dwVanishMs) {
            if (m_camera.dwBackMs != 0) {
                std::lock_guard lock(g_awayLock);
                g_awaySince[m_camera.strName] = now;
            }
            return PictureRead::Gone;
        }
        // At the camera's rate: wait for this frame's time.
        const int32_t early = static_cast<int32_t>(m_dwNext - now);
        if (early > 0) platform::Sleep(static_cast<uint32_t>(early));
        m_dwNext += m_dwInterval;
        // A late reader does not get a burst of pictures to catch up.
        if (static_cast<int32_t>(platform::GetTickCount() - m_dwNext) > static_cast<int32_t>(m_dwInterval))
            m_dwNext = platform::GetTickCount();

        const DWORD size = static_cast<DWORD>(m_nWidth * m_nHeight * 3 / 2);
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(Mf().CreateMemoryBuffer(size, buffer.Put())) || FAILED(Mf().CreateSample(picture.Put())) ||
            FAILED(picture->AddBuffer(buffer.Get())))
            return PictureRead::Gone;
        BYTE* bytes = nullptr;
        if (FAILED(buffer->Lock(&bytes, nullptr, nullptr))) return PictureRead::Gone;
        Paint(bytes);
        buffer->Unlock();
        buffer->SetCurrentLength(size);
        ++m_nFrames;
        return PictureRead::Picture;
    }

private:
    void Paint(uint8_t* nv12) const {
        const int barWidth = std::max(m_nWidth / kBarCount, 1);
        const int moving = static_cast<int>(m_nFrames * 4 % static_cast<uint64_t>(m_nWidth));
        uint8_t* chroma = nv12 + m_nWidth * m_nHeight;
        for (int row = 0; row < m_nHeight; ++row) {
            uint8_t* luma = nv12 + row * m_nWidth;
            const bool band = row >= m_nHeight * 3 / 4;  // the moving bar's band
            for (int x = 0; x < m_nWidth; ++x) {
                const Yuv& c = kBars[std::min(x / barWidth, kBarCount - 1)];
                const bool white = band && x >= moving && x < moving + 16;
                luma[x] = band ? (white ? 235 : 16) : c.y;
                if ((row & 1) == 0 && (x & 1) == 0) {
                    uint8_t* uv = chroma + (row / 2) * m_nWidth + x;
                    uv[0] = band ? 128 : c.u;
                    uv[1] = band ? 128 : c.v;
                }
            }
        }
    }

    simcam::SimCamera m_camera;
    int m_nWidth;
    int m_nHeight;
    bool m_bVanishes;
    uint32_t m_dwInterval;
    uint32_t m_dwFirst = 0;
    uint32_t m_dwNext = 0;
    uint64_t m_nFrames = 0;
};

}  // namespace

PictureSourceMade MakeTestPictureSource(const simcam::SimCamera& camera, const CaptureFormat& format) {
    PictureSourceMade made;
    made.strName = camera.strName;
    bool returned = false;
    if (Away(camera, returned)) {
        made.strProblem = "The camera \"" + camera.strName + "\" cannot be found.";
        made.bAbsent = true;
        return made;
    }
    made.pSource = std::make_unique<CTestPictureSource>(camera, format, camera.dwVanishMs != 0 && !returned);
    return made;
}

}  // namespace video
