#include "service/video/win32/MfCapture.h"

#include <windows.h>
#include <mfapi.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Thread.h"
#include "platform/Trace.h"
#include "service/video/H264.h"
#include "service/video/win32/MfApi.h"
#include "service/video/win32/MfH264Encoder.h"
#include "service/video/win32/PictureSource.h"

namespace video {
namespace {

// What the encoder starts with when it is asked for no bitrate (kbit/s).
constexpr uint32_t kDefaultBitrate = 300;
constexpr uint32_t kMaxBitrate = 100000;

}  // namespace

struct CMfCapture::State {
    // The owner's thread.
    platform::CThread thread;
    CaptureSettings settings;
    session::EncodedFrameSink* sink = nullptr;
    ICaptureEvents* events = nullptr;
    std::atomic<bool> bRunning{false};
    std::atomic<bool> bStop{false};
    std::atomic<bool> bForceKey{false};

    // The start's outcome, handed from the capture's thread to Start.
    std::mutex startLock;
    std::condition_variable startDone;
    bool bStartTold = false;
    CaptureStart start;

    // The preview's subscriber, kept across captures; held while it is
    // called, so that unsubscribing knows no call is under way.
    std::mutex previewLock;
    IPreviewSink* preview = nullptr;
    std::atomic<bool> bPreviewOn{false};

    // The picture source while the capture's thread has one, for Stop to
    // end a wait for a camera that gives no more pictures.
    std::mutex sourceLock;
    IPictureSource* liveSource = nullptr;

    // The capture's thread.
    std::vector<NalUnit> scratch;
    std::vector<uint8_t> keyFrame;
    std::vector<uint8_t> withHeader;
    PreviewFrame previewFrame;
    uint32_t dwLastPreview = 0;
    bool bPreviewed = false;

    void TellStart(CaptureStart outcome) {
        std::lock_guard lock(startLock);
        start = std::move(outcome);
        bStartTold = true;
        startDone.notify_all();
    }

    void Relay(const uint8_t* bytes, size_t size, bool keyUnit, const std::vector<uint8_t>& header);
    void Preview(IMFSample* picture);
    void Run();
};

// The fan-out's gate opens only for a frame that begins with a High-profile
// SPS: a key frame that does not is rearranged, with the encoder's stated
// SPS and PPS put in where it sent none. What the frame is, is decided here.
void CMfCapture::State::Relay(const uint8_t* bytes, size_t size, bool keyUnit, const std::vector<uint8_t>& header) {
    if (keyUnit && !IsKeyFrame(bytes, size)) {
        if (PutSpsFirst(bytes, size, scratch, keyFrame)) {
            bytes = keyFrame.data();
            size = keyFrame.size();
        } else if (!header.empty()) {
            withHeader.assign(header.begin(), header.end());
            withHeader.insert(withHeader.end(), bytes, bytes + size);
            if (PutSpsFirst(withHeader.data(), withHeader.size(), scratch, keyFrame)) {
                bytes = keyFrame.data();
                size = keyFrame.size();
            }
        }
    }
    const session::FrameKind kind =
        keyUnit && IsKeyFrame(bytes, size) ? session::FrameKind::LiveKey : session::FrameKind::LiveDelta;
    if (size <= UINT32_MAX) sink->OnEncodedFrame(session::EncodedFrame{bytes, static_cast<uint32_t>(size), kind});
}

void CMfCapture::State::Preview(IMFSample* picture) {
    if (!bPreviewOn.load(std::memory_order_relaxed)) return;
    const uint32_t now = platform::GetTickCount();
    if (bPreviewed && now - dwLastPreview < kPreviewPeriodMs) return;
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* bytes = nullptr;
    DWORD length = 0;
    if (FAILED(picture->ConvertToContiguousBuffer(buffer.Put())) || FAILED(buffer->Lock(&bytes, nullptr, &length)))
        return;
    const int width = settings.format.nWidth, height = settings.format.nHeight;
    bool made = false;
    if (length >= static_cast<DWORD>(width * height * 3 / 2)) {
        I420View view;  // NV12: V follows each U
        view.nWidth = width;
        view.nHeight = height;
        view.planes[0] = bytes;
        view.strides[0] = width;
        view.planes[1] = bytes + width * height;
        view.planes[2] = view.planes[1] + 1;
        view.strides[1] = view.strides[2] = width;
        view.nChromaStep = 2;
        made = MakePreviewFrame(view, previewFrame);
    }
    buffer->Unlock();
    if (!made) return;
    dwLastPreview = now;
    bPreviewed = true;
    std::lock_guard lock(previewLock);
    if (preview != nullptr) preview->OnPreviewFrame(previewFrame);
}

void CMfCapture::State::Run() {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::string missing;
    const HRESULT mf = LoadMfApi(missing) ? Mf().Startup(MF_VERSION, MFSTARTUP_NOSOCKET) : E_NOTIMPL;
    {
        std::unique_ptr<IPictureSource> source;
        CMfH264Encoder encoder;
        std::string problem;
        bool ready = false;
        if (FAILED(mf)) {
            TellStart({false,
                       "Media Foundation " +
                           (missing.empty() ? std::string("cannot be started") : "is missing (" + missing + ")") +
                           " on this system, so there is no live video: viewers get the stored still picture "
                           "whenever the camera reports it has none. On N editions of Windows it comes with the "
                           "Media Feature Pack.",
                       "", false});
        } else {
            PictureSourceMade made = MakePictureSource(settings.strCameraName, settings.format);
            if (!made.pSource) {
                TellStart({false, made.strProblem, "", made.bAbsent});
            } else {
                const uint32_t kbps =
                    std::min(settings.dwBitrateKbps != 0 ? settings.dwBitrateKbps : kDefaultBitrate, kMaxBitrate);
                H264EncoderSetup setup;
                setup.nWidth = settings.format.nWidth;
                setup.nHeight = settings.format.nHeight;
                setup.nFrameRate = settings.format.nFrameRate;
                setup.dwBitrateKbps = kbps;
                setup.dwKeyFrames = static_cast<uint32_t>(std::clamp<uint64_t>(
                    static_cast<uint64_t>(settings.format.nFrameRate) * settings.dwKeyIntervalMs / 1000, 1, 10000));
                setup.strEncoder = settings.strEncoder;
                if (!encoder.Open(setup, problem)) {
                    TellStart({false, problem, "", false});
                } else {
                    source = std::move(made.pSource);
                    std::lock_guard lock(sourceLock);
                    liveSource = source.get();
                    ready = true;
                    TellStart({true, "", encoder.Description(), false});
                }
            }
        }
        // The pictures, paced to the capture's rate, through the encoder.
        const uint32_t interval = 1000 / static_cast<uint32_t>(settings.format.nFrameRate);
        const uint32_t started = platform::GetTickCount();
        uint32_t lastTaken = 0;
        bool taken = false;
        const auto output = [&](const uint8_t* data, size_t length, bool key) {
            Relay(data, length, key, encoder.SequenceHeader());
        };
        while (ready && !bStop.load()) {
            ComPtr<IMFSample> picture;
            const PictureRead read = source->Next(picture);
            if (read == PictureRead::Nothing) continue;
            if (read == PictureRead::Gone) {
                if (!bStop.load()) events->OnCaptureLost();
                break;
            }
            const uint32_t now = platform::GetTickCount();
            // A little early still counts as on time, or jitter halves the rate.
            if (taken && now - lastTaken < interval * 3 / 4) continue;
            lastTaken = now;
            taken = true;
            Preview(picture.Get());
            picture->SetSampleTime(static_cast<LONGLONG>(now - started) * 10000);
            picture->SetSampleDuration(static_cast<LONGLONG>(interval) * 10000);
            const HRESULT hr = encoder.Encode(picture.Get(), bForceKey.exchange(false), output);
            if (FAILED(hr)) {
                ZTRACE("the encoder fails: 0x%08lx\n", static_cast<unsigned long>(hr));
                events->OnCaptureProblem("the H.264 encoder failed on a picture (" + std::to_string(hr) + ")");
            }
        }
        std::lock_guard lock(sourceLock);
        liveSource = nullptr;
    }
    if (SUCCEEDED(mf)) Mf().Shutdown();
    if (SUCCEEDED(com)) ::CoUninitialize();
}

CMfCapture::CMfCapture() : m_pState(std::make_unique<State>()) { m_pState->keyFrame.reserve(256 * 1024); }

CMfCapture::~CMfCapture() { Stop(); }

CaptureStart CMfCapture::Start(const CaptureSettings& settings, session::EncodedFrameSink& sink,
                               ICaptureEvents& events) {
    State& s = *m_pState;
    if (s.thread.Joinable()) return {false, "The capture is already running.", "", false};
    const CaptureFormat& format = settings.format;
    if (format.nWidth <= 0 || format.nHeight <= 0 || format.nFrameRate <= 0 || format.nFrameRate > 1000)
        return {false, "The capture cannot be set up: the picture format is not valid.", "", false};
    s.settings = settings;
    s.sink = &sink;
    s.events = &events;
    s.bStop.store(false);
    s.bForceKey.store(false);
    s.bStartTold = false;
    s.bPreviewed = false;
    if (!s.thread.Start([](void* state) { static_cast<State*>(state)->Run(); }, &s))
        return {false, "The capture cannot be started: the system has no thread to spare.", "", false};
    CaptureStart outcome;
    {
        std::unique_lock lock(s.startLock);
        s.startDone.wait(lock, [&] { return s.bStartTold; });
        outcome = s.start;
    }
    if (!outcome.bStarted) {
        s.thread.Join();
        return outcome;
    }
    s.bRunning.store(true);
    return outcome;
}

void CMfCapture::Stop() {
    State& s = *m_pState;
    if (!s.thread.Joinable()) return;
    s.bRunning.store(false);
    s.bStop.store(true);
    // The thread reads at most one more picture and ends; a camera that
    // gives none is interrupted. Frames and events come only from it.
    {
        std::lock_guard lock(s.sourceLock);
        if (s.liveSource != nullptr) s.liveSource->Interrupt();
    }
    s.thread.Join();
}

void CMfCapture::RequestKeyFrame() {
    if (m_pState->bRunning.load()) m_pState->bForceKey.store(true);
}

bool CMfCapture::IsRunning() const { return m_pState->bRunning.load(); }

void CMfCapture::SetPreviewSink(IPreviewSink* sink) {
    State& s = *m_pState;
    std::lock_guard lock(s.previewLock);
    s.preview = sink;
    s.bPreviewOn.store(sink != nullptr);
}

std::unique_ptr<ICapture> MakePlatformCapture() { return std::make_unique<CMfCapture>(); }

}  // namespace video
