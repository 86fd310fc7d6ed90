#pragma once
// CServiceDlg: the main window's logic and the owner of all service state.
// It composes the parts of the service (the session server, the camera
// channel, the capture and still frames, the settings store, the language
// table) and drives them from the window's controls; it reaches the screen
// only through the dialog-host port. Each part talks back to it through a
// small interface: ISessionHost (the session server), ICaptureWindow (the
// capture), EncodedFrameSink (frames into the fan-out).
//
// Threads: every IDialogLogic call and every operation below runs on the
// window's thread. The session server's threads and the capture's streaming
// thread reach the window through ISessionHost and ICaptureWindow; what they
// need of the window's thread they post, and they never wait for it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "service/app/DialogHost.h"
#include "service/app/DialogIds.h"
#include "service/app/LangTable.h"
#include "service/app/ServiceCapture.h"
#include "service/app/TrayIcon.h"
#include "service/camera/CameraXU.h"
#include "transport/client/PpppTable.h"
#include "service/session/SessionServer.h"
#include "service/video/CaptureControl.h"
#include "service/settings/RegStore.h"

namespace app {

// What the service is built with.
struct ServiceConfig {
    // The program directory with a trailing '/' (the packs are in its res/).
    std::string strModuleDir;
    // The transport's functions and its initialisation string.
    const pppp::PpppTable* pPppp = nullptr;
    int (*pfnShareBandwidth)(char enable) = nullptr;  // may be null
    std::string strInitString;
    // The current user's registry.
    settings::IRegistry* pRegistry = nullptr;
    // Makes the capture and still frames.
    CaptureFactory makeCapture;
};

// How the last press of the connect button went.
enum class StartOutcome {
    NotTried,
    Started,             // listening; the capture runs or its failure is on the status line
    NoCamera,            // no camera selected
    CameraNotAnswering,  // the camera's extension unit cannot be opened
    EmptyDid,            // nothing left of the DID after trimming
    DidTooLong,          // the DID is longer than 20 bytes in its 8-bit form
};

class CServiceDlg final : public IDialogLogic,
                          public session::ISessionHost,
                          public video::ICaptureWindow,
                          public session::EncodedFrameSink {
public:
    explicit CServiceDlg(ServiceConfig config);
    ~CServiceDlg();
    CServiceDlg(const CServiceDlg&) = delete;
    CServiceDlg& operator=(const CServiceDlg&) = delete;

    // The host that renders the window; before OnInitDialog, and it outlives
    // the window's run.
    void AttachHost(IDialogHost& host) { m_pHost = &host; }

    // IDialogLogic.
    void OnInitDialog() override;
    void OnCommand(int id) override;
    void OnTimer(uint32_t id) override;
    void OnDestroy() override;

    // The window's operations.
    // Clears the session table, initialises the transport, fills the camera list.
    void InitTransport();
    void OnConnect();
    void StartService();
    void StopService() override;  // also ICaptureWindow
    void ShowStatus();
    void SetStatusText(const char16_t* key, const char16_t* defaultText);
    void OnSelectNormal();
    void OnSelectHigh();
    int OnGraphEvent();
    void UpdateClock();
    void LoadSettings();
    void SaveSettings();
    void FillLanguageList(const std::string& folder);
    void OnLanguageChanged();
    void ApplyLanguage();

    // ISessionHost (server threads).
    void SetStatus(int status) override;
    void StopCapture() override;
    void ChangeCameraMode(int mode, const std::function<bool()>& apply) override;
    uint32_t SetVideoTimer() override;
    void KillVideoTimer(uint32_t timerId) override;
    void RequestKeyFrame() override;

    // ICaptureWindow.
    void ShowCaptureMessage(const std::string& text) override;
    void SetCaptureStatus(int status) override;
    void PostGraphEvent() override;

    // EncodedFrameSink: frames go to the fan-out.
    void OnEncodedFrame(const session::EncodedFrame& frame) override;

    // What the window shows and holds, for hosts and tests.
    int Status() const { return m_nStatus.load(); }
    StartOutcome LastStartOutcome() const { return m_lastStart; }
    bool IsListening() const { return m_server.IsRunning(); }
    bool IsCapturing() const { return m_pCapture && m_pCapture->IsCapturing(); }
    int Online() const { return m_server.Online(); }
    const std::u16string& CameraName() const { return m_strCameraName; }
    int32_t QualityMode() const { return m_nQualityMode; }
    bool HighQuality() const { return m_bHighQuality; }
    bool NormalQuality() const { return m_bNormalQuality; }
    const CLangTable& LangTable() const { return m_langTable; }
    const std::u16string& Version() const { return m_strVersion; }
    bool TransportInitialised() const { return m_nP2PInit >= 0; }

private:
    // The text of `key` in the active pack; empty when it has none.
    std::u16string Text(const char16_t* key) const;
    // A message box of the service: text of `key`, caption of "1105".
    void Message(const char16_t* key);
    void DataToControls();
    void DataFromControls();

    IDialogHost* m_pHost = nullptr;
    ServiceConfig m_config;
    std::u16string m_strVersion;

    camera::CCameraXU m_camXU;
    int m_nP2PInit = -1;
    session::CSessionServer m_server;
    std::atomic<int> m_nStatus{kStatusStopped};
    // The camera list's selection while the service runs, for the readers'
    // mode changes (the list is disabled meanwhile).
    std::atomic<int> m_nCameraIndex{-1};
    std::unique_ptr<IServiceCapture> m_pCapture;

    uint32_t m_nClockTimer = 0;
    std::u16string m_strEditDID;
    std::u16string m_strEditPassword;
    int32_t m_nQualityMode = 2;
    bool m_bNormalQuality = false;
    bool m_bHighQuality = true;
    std::u16string m_strCameraName;
    settings::CRegStore m_regStore;
    TrayRecord m_nid;
    CLangTable m_langTable;
    StartOutcome m_lastStart = StartOutcome::NotTried;
    bool m_bDestroyed = false;

};

}  // namespace app
