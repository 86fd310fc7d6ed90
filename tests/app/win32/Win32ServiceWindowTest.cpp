// The window logic (CServiceDlg) over the Win32 host: the service's start-up
// in the window, its languages without cut text, the connect toggle through
// a refusal and a start, the clock, and the About box. The camera library, the capture and
// the transport are fakes at their ports; the settings go to the registry,
// whose current-user branch is a temporary key for this process.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/ProgramDir.h"
#include "platform/Text.h"
#include "service/app/AboutDlg.h"
#include "service/app/DialogIds.h"
#include "service/app/LangTableTexts.h"
#include "service/app/ServiceDlg.h"
#include "service/app/win32/Win32DialogHost.h"
#include "service/video/Preview.h"
#include "tests/app/AppFakes.h"
#include "tests/app/win32/Win32TestSupport.h"
#include "tests/support/FakeTransport.h"

namespace {

using namespace app;
using app::win32::CWin32DialogHost;
using testsupport::CFakeTransport;
using win32test::AnswerNextModal;
using win32test::TextOf;

// This process's own stand-in for the user's branch: tests run side by side.
std::wstring TestUserKey() { return L"Software\\ZELT2Test\\WindowUser" + std::to_wstring(::GetCurrentProcessId()); }

int FakeInitialize(const char*) { return 0; }
int FakeDeInitialize() { return 0; }

class Win32ServiceWindowTest : public ::testing::Test {
protected:
    Win32ServiceWindowTest() {
        // The settings land in a key of this test, not the user's own.
        ::RegDeleteTreeW(HKEY_CURRENT_USER, TestUserKey().c_str());
        ::RegCreateKeyExW(HKEY_CURRENT_USER, TestUserKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_hUser, nullptr);
        ::RegOverridePredefKey(HKEY_CURRENT_USER, m_hUser);
        CFakeTransport::Instance().Reset();
        m_previousXu = appfakes::CameraLibrary::Instance().Install();
        m_pppp = CFakeTransport::Table();
        m_pppp.Initialize = FakeInitialize;
        m_pppp.DeInitialize = FakeDeInitialize;
        ControllerConfig config;
        config.pPppp = &m_pppp;
        config.strInitString = "INIT";
        config.pRegistry = &settings::DefaultRegistry();
        config.makeCapture = [this] { return std::make_unique<appfakes::CLoggedCapture>(m_capture); };
        // The language packs are in res/ beside the test, as beside the program.
        m_pDialog = std::make_unique<CServiceDlg>(config, platform::GetProgramDirectory());
        m_pHost = std::make_unique<CWin32DialogHost>(*m_pDialog);
        m_pDialog->AttachHost(*m_pHost);
    }
    ~Win32ServiceWindowTest() override {
        m_pHost.reset();
        m_pDialog.reset();
        camera::InstallXuEntryPoints(m_previousXu);
        ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        ::RegCloseKey(m_hUser);
        ::RegDeleteTreeW(HKEY_CURRENT_USER, TestUserKey().c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\ZELT2Test");  // only when empty
    }
    template <typename Predicate>
    bool Pump(Predicate done, int ms = 5000) {
        return win32test::Pump(m_pHost->Window(), done, ms);
    }
    std::u16string Text(int id) const { return m_pHost->GetControlText(id); }
    // A choice in the language list, as the list tells the window.
    void ChooseLanguage(const std::u16string& name) {
        HWND list = m_pHost->Control(kIdcLanguage);
        for (int i = 0; i < m_pHost->ComboGetCount(kIdcLanguage); ++i)
            if (m_pHost->ComboGetItemText(kIdcLanguage, i) == name) m_pHost->ComboSetCurSel(kIdcLanguage, i);
        ::SendMessageW(m_pHost->Window(), WM_COMMAND, MAKEWPARAM(kIdcLanguage, CBN_SELCHANGE),
                       reinterpret_cast<LPARAM>(list));
    }
    void Click(int id) { ::SendMessageW(m_pHost->Control(id), BM_CLICK, 0, 0); }

    HKEY m_hUser = nullptr;
    pppp::PpppTable m_pppp{};
    camera::XuEntryPoints m_previousXu;
    testsupport::CFakeCapture m_capture;
    std::unique_ptr<CServiceDlg> m_pDialog;
    std::unique_ptr<CWin32DialogHost> m_pHost;
};

// With ZELT_SCREENSHOT_DIR set, the pictures of the documentation are written
// there (as BMP; scripts/bmp-to-png makes them PNG).
const char* ScreenshotDir() { return std::getenv("ZELT_SCREENSHOT_DIR"); }

void SaveScreenshot(HWND window, const std::u16string& name) {
    ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
    const std::u16string path = platform::Utf8ToUtf16(ScreenshotDir()) + u"\\" + name + u".bmp";
    win32test::SaveBmp(win32test::Capture(window), reinterpret_cast<const wchar_t*>(path.c_str()));
}

// A test picture of colour bars, as a camera's preview would bring it.
video::PreviewFrame ColourBars() {
    video::PreviewFrame frame;
    frame.nWidth = video::kPreviewMaxWidth;
    frame.nHeight = video::kPreviewMaxHeight;
    const uint32_t bars[] = {0xC0C0C0, 0xC0C000, 0x00C0C0, 0x00C000, 0xC000C0, 0xC00000, 0x0000C0};
    for (int y = 0; y < frame.nHeight; ++y) {
        for (int x = 0; x < frame.nWidth; ++x) {
            const uint32_t c = y < frame.nHeight * 3 / 4 ? bars[x * 7 / frame.nWidth] : (x * 4 / frame.nWidth) * 0x303030;
            frame.rgb.insert(frame.rgb.end(), {uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c)});
        }
    }
    return frame;
}

// The texts of the labels, buttons and boxes that a window shows whole or
// cuts, each measured in its control's font: those wider than their control.
std::vector<std::u16string> CutTexts(CWin32DialogHost& host) {
    std::vector<std::u16string> cut;
    for (int id : {kIdcLanguageLabel, kIdcCameraLabel, kIdcAbout, kIdcCodeGroup, kIdcDidLabel, kIdcPasswordLabel,
                   kIdcAccountLink, kIdcConnect, kIdcNetworkGroup, kIdcClockLabel, kIdcOnlineLabel, kIdcStatusLabel,
                   kIdcClock, kIdcStartAtLogin, kIdcResume}) {
        HWND control = host.Control(id);
        if (!control || !(::GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE)) continue;
        const std::u16string text = host.GetControlText(id);
        HDC dc = ::GetDC(control);
        const HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
        SIZE size{};
        ::GetTextExtentPoint32W(dc, reinterpret_cast<const wchar_t*>(text.c_str()), static_cast<int>(text.size()), &size);
        ::SelectObject(dc, old);
        ::ReleaseDC(control, dc);
        RECT box{};
        ::GetClientRect(control, &box);
        // Check boxes and group boxes draw a box or a frame beside their text.
        const int room = box.right - (id == kIdcStartAtLogin || id == kIdcResume ? 16 : 0) -
                         (id == kIdcCodeGroup || id == kIdcNetworkGroup ? 12 : 0);
        if (size.cx > room) cut.push_back(text);
    }
    return cut;
}

TEST_F(Win32ServiceWindowTest, TheWindowStartsStoppedAndEveryLanguageFitsItsControls) {
    ASSERT_TRUE(m_pHost->Created());
    m_pHost->Open();
    EXPECT_EQ(TextOf(m_pHost->Window()), u"ZELT2 Service(V2.1.1)");
    EXPECT_EQ(Text(kIdcStatus), u"Stopped");
    EXPECT_EQ(Text(kIdcConnect), u"Connect to Internet");
    EXPECT_FALSE(m_pHost->GetCheck(kIdcConnect));
    EXPECT_EQ(m_pHost->ComboGetCount(kIdcCamera), 2);
    EXPECT_EQ(Text(kIdcLanguage), u"English");
    EXPECT_TRUE(m_pHost->TrayToolTip().find(u"Talvik Remote Service") == 0);
    // The clock ticks through the window's timer.
    EXPECT_TRUE(Pump([&] { return Text(kIdcClock) != u"-"; }, 5000));

    const char* shots = ScreenshotDir();
    for (const std::u16string language : {u"Deutsch", u"\u0420\u0443\u0441\u0441\u043a\u0438\u0439", u"English"}) {
        ChooseLanguage(language);
        EXPECT_EQ(Text(kIdcLanguage), language);
        EXPECT_EQ(CutTexts(*m_pHost), std::vector<std::u16string>{}) << platform::Utf16ToUtf8(language);
        if (language == u"Deutsch") {
            EXPECT_EQ(Text(kIdcConnect), u"Mit dem Internet verbinden");
            EXPECT_EQ(Text(kIdcStatus), u"Angehalten");
        }
        if (shots) {
            Pump([] { return false; }, 300);
            SaveScreenshot(m_pHost->Window(), u"win32-main-" + language + u"-stopped");
        }
    }
    EXPECT_EQ(Text(kIdcConnect), u"Connect to Internet");
    wchar_t item[64] = {};
    ::GetMenuStringW(::GetSystemMenu(m_pHost->Window(), FALSE), kAboutMenuCommand, item, 64, MF_BYCOMMAND);
    EXPECT_NE(std::wstring(item), L"");
}

TEST_F(Win32ServiceWindowTest, ARefusedStartReleasesTheToggleAndAStartedOneServesUntilReleased) {
    m_pHost->Open();
    m_pHost->ComboSetCurSel(kIdcCamera, 0);
    std::u16string caption, message;
    AnswerNextModal(m_pHost->Window(), [&](HWND box) {
        caption = TextOf(box);
        message = TextOf(::GetDlgItem(box, 0xFFFF));
    });
    Click(kIdcConnect);  // no DID
    EXPECT_EQ(caption, u"ZELT2 Service");
    EXPECT_EQ(message.rfind(u"Please enter the DID", 0), 0u) << platform::Utf16ToUtf8(message);
    EXPECT_FALSE(m_pHost->GetCheck(kIdcConnect));
    EXPECT_EQ(Text(kIdcConnect), u"Connect to Internet");
    for (int id : {kIdcDid, kIdcPassword, kIdcCamera}) EXPECT_TRUE(m_pHost->IsControlEnabled(id)) << id;

    m_pHost->SetControlText(kIdcDid, u"cam-0001");
    m_pHost->SetControlText(kIdcPassword, u"a long enough password");
    Click(kIdcConnect);
    EXPECT_TRUE(m_pHost->GetCheck(kIdcConnect));
    EXPECT_EQ(Text(kIdcConnect), u"Disconnect");
    for (int id : {kIdcDid, kIdcPassword, kIdcCamera}) EXPECT_FALSE(m_pHost->IsControlEnabled(id)) << id;
    EXPECT_TRUE(Pump([&] { return Text(kIdcStatus) == u"Running"; }));
    EXPECT_EQ(CFakeTransport::Instance().LastDid(), "CAM-0001");
    if (ScreenshotDir()) {
        // Running, the camera's picture beside the controls, in each language
        // pictured; then the About box.
        ASSERT_TRUE(Pump([&] { return m_capture.PreviewSubscribed() && Text(kIdcClock) != u"-"; }));
        for (const std::u16string language : {u"\u0420\u0443\u0441\u0441\u043a\u0438\u0439", u"English"}) {
            ChooseLanguage(language);
            const int shown = m_pHost->PreviewPictures();
            ASSERT_TRUE(m_capture.DeliverPreview(ColourBars()));
            ASSERT_TRUE(Pump([&] { return m_pHost->PreviewPictures() > shown; }));
            Pump([] { return false; }, 300);
            SaveScreenshot(m_pHost->Window(), u"win32-main-" + language + u"-running");
        }
    }
    // The About box, as the program fills it: the libraries of this system.
    m_pHost->SetAboutSource([this] {
        const CLangTableTexts pack(m_pDialog->LangTable());
        return CAboutDlg(&pack, m_pDialog->Version(), [] { return 0x01020304u; }).OnInitDialog();
    });
    std::u16string licences;
    AnswerNextModal(m_pHost->Window(), [&](HWND box) {
        licences = TextOf(::GetDlgItem(box, kIdAboutLicences));
        if (ScreenshotDir()) SaveScreenshot(box, u"win32-about");
    });
    Click(kIdcAbout);
    EXPECT_NE(licences.find(u"mingw-w64"), std::u16string::npos) << platform::Utf16ToUtf8(licences);
    for (const std::u16string foreign : {u"Qt 6", u"GStreamer", u"/usr/share"})
        EXPECT_EQ(licences.find(foreign), std::u16string::npos) << platform::Utf16ToUtf8(foreign);

    Click(kIdcConnect);
    EXPECT_EQ(Text(kIdcStatus), u"Stopped");
    EXPECT_EQ(Text(kIdcConnect), u"Connect to Internet");
    EXPECT_TRUE(m_pHost->IsControlEnabled(kIdcDid));
    EXPECT_FALSE(m_pDialog->IsListening());
}

}  // namespace
