#pragma once
// CServiceDlg: the main window's logic over the service controller. It binds
// the window's controls to the controller (the camera list, the DID and
// password edits, the quality radios, the connect toggle), shows the status
// line, the clock and the viewer count, the live preview while the window
// is on the screen (CPreviewFeed), relabels the window in the chosen
// language, keeps the tray record, and reads and writes the settings through
// the controller. It reaches the screen only through the dialog-host port.
//
// Threads: every IDialogLogic call and every operation below runs on the
// window's thread. The controller's observer calls come on any thread; they
// are posted to the window's thread and never wait for it.

#include <cstdint>
#include <string>

#include "service/app/Autostart.h"
#include "service/app/DialogHost.h"
#include "service/app/DialogIds.h"
#include "service/app/LangTable.h"
#include "service/app/PreviewFeed.h"
#include "service/app/ServiceController.h"
#include "service/app/TrayIcon.h"

namespace app {

class CServiceDlg final : public IDialogLogic, private IServiceObserver {
public:
    // `strModuleDir` is the program directory with a trailing '/' (the packs
    // are in its res/); empty: no packs.
    CServiceDlg(ControllerConfig config, std::string strModuleDir);
    ~CServiceDlg();
    CServiceDlg(const CServiceDlg&) = delete;
    CServiceDlg& operator=(const CServiceDlg&) = delete;

    // The host that renders the window; before OnInitDialog, and it outlives
    // the window's run.
    void AttachHost(IDialogHost& host) { m_pHost = &host; }
    // Where the window switches starting at login; before OnInitDialog.
    // None: the window offers no such switch.
    void AttachAutostart(IAutostart* autostart) { m_pAutostart = autostart; }

    // IDialogLogic.
    void OnInitDialog() override;
    void OnCommand(int id) override;
    void OnTimer(uint32_t id) override;
    void OnShown(bool shown) override;
    bool OnCloseRequest() override;
    void OnDestroy() override;

    // The window's operations.
    // Starts the transport through the controller and fills the camera list.
    void InitTransport();
    void OnConnect();
    void StartService();
    void StopService();
    void ShowStatus();
    void OnSelectNormal();
    void OnSelectHigh();
    void UpdateClock();
    void LoadSettings();
    void SaveSettings();
    void FillLanguageList(const std::string& folder);
    void OnLanguageChanged();
    void ApplyLanguage();
    // Whether the user lets the window close: asked only while viewers watch.
    bool ConfirmQuit();

    // What the window shows and holds, for hosts and tests.
    CServiceController& Controller() { return m_controller; }
    int Status() const { return m_controller.Status(); }
    StartOutcome LastStartOutcome() const { return m_lastStart; }
    bool IsListening() const { return m_controller.IsListening(); }
    bool IsCapturing() const { return m_controller.IsCapturing(); }
    int Online() const { return m_controller.Online(); }
    std::u16string CameraName() const { return m_controller.CameraName(); }
    int32_t QualityMode() const { return m_nQualityMode; }
    bool HighQuality() const { return m_bHighQuality; }
    bool NormalQuality() const { return m_bNormalQuality; }
    const CLangTable& LangTable() const { return m_langTable; }
    const std::u16string& Version() const { return m_strVersion; }
    bool TransportInitialised() const { return m_controller.TransportInitialised(); }
    const CPreviewFeed& Preview() const { return m_preview; }

private:
    // IServiceObserver: any thread; each is posted to the window's thread.
    void OnStatusChanged(int status) override;
    void OnCaptureFailed(const std::string& problem) override;
    void OnLoginIntercepted(uint32_t refusals) override;
    void OnServiceStopped(StopReason reason) override;

    // The text of `key` in the active pack; empty when it has none.
    std::u16string Text(const char16_t* key) const;
    // A message box of the service: `text`, caption of the message key.
    void Message(const std::u16string& text);
    // The stopped state: the toggle released with its connect text, the
    // camera list and the edits free.
    void ShowStopped();
    // The service stopped by itself: the stopped state and why.
    void ShowStoppedByItself(StopReason reason);
    void DataToControls();
    void DataFromControls();
    // The warning under the password box, for the password it holds now.
    void ShowPasswordWarning();
    // The tray icon's menu (its connect item follows the toggle) and the
    // line of its tooltip that shows the status and the viewers.
    void ShowTrayMenu();
    void ShowTrayStatus();
    // Tells the desktop when the number of viewers went up or down.
    void NotifyViewers(int online);
    // The texts that depend on the language but not on a control's key.
    void ApplyLanguageTexts();
    // The switch of starting at login, turned by the user.
    void OnStartAtLogin();
    // Serving again at launch, when the user asked for it and the window
    // was serving when it closed.
    void ResumeServing();

    IDialogHost* m_pHost = nullptr;
    IAutostart* m_pAutostart = nullptr;
    bool m_bServingAtExit = false;  // as stored; then as the window closes
    std::string m_strModuleDir;
    std::u16string m_strVersion;

    uint32_t m_nClockTimer = 0;
    std::u16string m_strEditDID;
    std::u16string m_strEditPassword;
    int32_t m_nQualityMode = settings::kQualityNormal;
    bool m_bNormalQuality = false;
    bool m_bHighQuality = true;
    TrayRecord m_nid;
    CLangTable m_langTable;
    StartOutcome m_lastStart = StartOutcome::NotTried;
    bool m_bDestroyed = false;
    int m_nNotifiedOnline = 0;
    CPreviewFeed m_preview;
    // Last: it stops the service before the window's members go.
    CServiceController m_controller;
};

}  // namespace app
