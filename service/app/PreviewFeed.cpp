#include "service/app/PreviewFeed.h"

#include <utility>

namespace app {

CPreviewFeed::CPreviewFeed(std::function<void(video::IPreviewSink*)> subscribe) : m_subscribe(std::move(subscribe)) {}

CPreviewFeed::~CPreviewFeed() { Close(); }

void CPreviewFeed::SetNoPictureText(std::u16string text) {
    m_strNoPicture = std::move(text);
    if (m_bNoteShown && !m_bClosed && m_pHost) m_pHost->ShowPreviewNote(m_strNoPicture);
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
    m_bNoteShown = false;
    ShowNoPicture();
}

void CPreviewFeed::OnTick(bool capturing) {
    if (m_bClosed || !m_bSubscribed) return;
    uint32_t arrived = 0;
    {
        std::lock_guard lock(m_lock);
        arrived = std::exchange(m_nArrived, 0);
    }
    m_nTicksWithout = arrived != 0 ? 0 : m_nTicksWithout + 1;
    if (!capturing || m_nTicksWithout >= 2) ShowNoPicture();
}

void CPreviewFeed::OnCaptureStopped() {
    {
        std::lock_guard lock(m_lock);
        m_latest = {};
        m_nArrived = 0;
    }
    if (m_bClosed || !m_bSubscribed) return;
    m_bNoteShown = false;
    ShowNoPicture();
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
    // A picture that was on its way when the window left the screen is not drawn.
    if (m_bClosed || !m_bSubscribed || frame.rgb.empty()) return;
    m_bNoteShown = false;
    m_nTicksWithout = 0;
    m_pHost->ShowPreview(frame);
}

void CPreviewFeed::ShowNoPicture() {
    if (m_bNoteShown) return;
    m_bNoteShown = true;
    m_pHost->ShowPreviewNote(m_strNoPicture);
}

}  // namespace app
