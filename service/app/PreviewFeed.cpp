#include "service/app/PreviewFeed.h"

#include <utility>

namespace app {

CPreviewFeed::CPreviewFeed(std::function<void(video::IPreviewSink*)> subscribe) : m_subscribe(std::move(subscribe)) {}

CPreviewFeed::~CPreviewFeed() { Close(); }

void CPreviewFeed::SetTexts(std::u16string noPicture, std::u16string cameraNoPicture) {
    const bool cameraNote = !m_strNote.empty() && m_strNote == m_strCameraNoPicture;
    const bool note = !m_strNote.empty();
    m_strNoPicture = std::move(noPicture);
    m_strCameraNoPicture = std::move(cameraNoPicture);
    if (note) ShowNote(cameraNote ? m_strCameraNoPicture : m_strNoPicture);
}

void CPreviewFeed::Subscribe(bool on) {
    if (on == m_bSubscribed) return;
    m_bSubscribed = on;
    // Unsubscribing returns once no picture is being handed over.
    m_subscribe(on ? this : nullptr);
}

void CPreviewFeed::OnShown(bool shown) {
    if (m_bClosed) return;
    Subscribe(shown);
    if (!shown) return;
    // Until a picture comes, the preview says it has none.
    m_nTicksWithout = 0;
    m_strNote.clear();
    ShowNote(m_bCameraNoPicture ? m_strCameraNoPicture : m_strNoPicture);
}

void CPreviewFeed::OnTick(bool capturing, bool cameraNoPicture) {
    m_bCameraNoPicture = capturing && cameraNoPicture;
    if (m_bClosed || !m_bSubscribed) return;
    uint32_t arrived = 0;
    {
        std::lock_guard lock(m_lock);
        arrived = std::exchange(m_nArrived, 0);
    }
    m_nTicksWithout = arrived != 0 ? 0 : m_nTicksWithout + 1;
    if (m_bCameraNoPicture)
        ShowNote(m_strCameraNoPicture);
    else if (!capturing || m_nTicksWithout >= 2)
        ShowNote(m_strNoPicture);
}

void CPreviewFeed::OnCaptureStopped() {
    {
        std::lock_guard lock(m_lock);
        m_latest = {};
        m_nArrived = 0;
    }
    m_bCameraNoPicture = false;
    if (m_bClosed || !m_bSubscribed) return;
    ShowNote(m_strNoPicture);
}

void CPreviewFeed::Close() {
    if (m_bClosed) return;
    Subscribe(false);
    m_bClosed = true;
}

void CPreviewFeed::OnPreviewFrame(const video::PreviewFrame& frame) {
    {
        std::lock_guard lock(m_lock);
        m_latest.nWidth = frame.nWidth;
        m_latest.nHeight = frame.nHeight;
        m_latest.rgb.assign(frame.rgb.begin(), frame.rgb.end());
        ++m_nArrived;
        if (std::exchange(m_bPending, true)) return;
    }
    m_pHost->PostToWindow([this] { Draw(); });
}

void CPreviewFeed::Draw() {
    video::PreviewFrame frame;
    {
        std::lock_guard lock(m_lock);
        m_bPending = false;
        std::swap(frame, m_latest);
    }
    // A picture that was on its way when the window left the screen is not
    // drawn, nor one that viewers are not shown.
    if (m_bClosed || !m_bSubscribed || m_bCameraNoPicture || frame.rgb.empty()) return;
    m_strNote.clear();
    m_nTicksWithout = 0;
    m_pHost->ShowPreview(frame);
}

void CPreviewFeed::ShowNote(const std::u16string& note) {
    if (note == m_strNote) return;
    m_strNote = note;
    m_pHost->ShowPreviewNote(m_strNote);
}

}  // namespace app
