#pragma once
// CPreviewFeed: the window's live preview. It subscribes to the capture's
// preview while the window is on the screen and only then (hidden, in the
// tray or minimised, nothing is converted or drawn), carries the pictures
// from the capture's thread to the window's, and says so in the preview's
// place when there is no picture to show (the service is stopped, or the
// camera gives none) and when the camera says it has none, so that viewers
// are sent the stored still instead.
//
// Threads: OnPreviewFrame on the capture's streaming thread (it keeps the
// newest picture and posts one drawing at a time, never waiting); everything
// else on the window's thread.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "service/app/DialogHost.h"
#include "service/video/Preview.h"

namespace app {

class CPreviewFeed final : public video::IPreviewSink {
public:
    // `subscribe` sets the capture's preview sink (this, or nullptr), as
    // CServiceController::SetPreviewSink does.
    explicit CPreviewFeed(std::function<void(video::IPreviewSink*)> subscribe);
    ~CPreviewFeed();
    CPreviewFeed(const CPreviewFeed&) = delete;
    CPreviewFeed& operator=(const CPreviewFeed&) = delete;

    // Where the preview is drawn; before the window is shown.
    void AttachHost(IDialogHost& host) { m_pHost = &host; }
    // What the preview says when it has no picture, and when the camera
    // says it has none (the language's texts).
    void SetTexts(std::u16string noPicture, std::u16string cameraNoPicture);
    // The window came on the screen (true) or left it.
    void OnShown(bool shown);
    // At each tick of the window's clock: whether the capture runs, and
    // whether the camera says it has no picture. Without a picture for two
    // ticks, the preview says it has none.
    void OnTick(bool capturing, bool cameraNoPicture);
    // The capture has stopped: the note at once, never a last picture left
    // as if it were live (nor one still on its way to the window).
    void OnCaptureStopped();
    // The window goes: no subscription and no drawing any more.
    void Close();

    bool Subscribed() const { return m_bSubscribed; }

    // From the capture.
    void OnPreviewFrame(const video::PreviewFrame& frame) override;

private:
    void Subscribe(bool on);
    void Draw();
    // Shows `note` in the picture's place (once: again only when it changes).
    void ShowNote(const std::u16string& note);

    std::function<void(video::IPreviewSink*)> m_subscribe;
    IDialogHost* m_pHost = nullptr;
    std::u16string m_strNoPicture = u"No picture";
    std::u16string m_strCameraNoPicture = u"The camera has no picture: viewers see the stored one";
    // The window's thread.
    bool m_bSubscribed = false;
    bool m_bClosed = false;
    bool m_bCameraNoPicture = false;  // pictures are not drawn meanwhile
    std::u16string m_strNote;         // the note shown; empty: a picture
    int m_nTicksWithout = 0;
    // Handed over from the capture's thread.
    std::mutex m_lock;
    video::PreviewFrame m_latest;
    bool m_bPending = false;  // a drawing is posted and has not run
    uint32_t m_nArrived = 0;  // pictures since the last tick
};

}  // namespace app
