// The Win32 host of the window logic under the system's own window manager
// (Wine here), driven by a small logic that records what the host tells it:
// the templates of the resource script, messages, timers, posted work, the
// system's boxes, the tray record, and what the window looks like.

#include <gtest/gtest.h>

#include <atomic>
#include <cwctype>
#include <set>
#include <thread>

#include "service/app/DialogIds.h"
#include "service/app/LinkErrorText.h"
#include "service/app/TrayIcon.h"
#include "service/app/win32/Win32DialogHost.h"
#include "service/app/win32/Win32HyperLink.h"
#include "service/app/win32/Win32InputLimit.h"
#include "tests/app/win32/Win32TestSupport.h"

namespace {

using app::win32::CWin32DialogHost;
using win32test::AnswerNextModal;
using win32test::TextOf;

struct TestLogic : app::IDialogLogic {
    void OnInitDialog() override { ++inits; }
    void OnCommand(int id) override { commands.push_back(id); }
    void OnTimer(uint32_t id) override {
        timers.push_back(id);
        timerOnWindowThread = timerOnWindowThread && ::GetCurrentThreadId() == windowThread;
    }
    bool OnCloseRequest() override { return ++closeRequests, allowClose; }
    void OnDestroy() override { ++destroys; }
    void OnShown(bool on) override { shown = on; }

    DWORD windowThread = ::GetCurrentThreadId();
    int inits = 0, destroys = 0, closeRequests = 0;
    bool allowClose = true;
    bool shown = false;
    std::vector<int> commands;
    std::vector<uint32_t> timers;
    bool timerOnWindowThread = true;
};

class Win32HostTest : public ::testing::Test {
protected:
    TestLogic logic;
    template <typename Predicate>
    bool Pump(CWin32DialogHost& host, Predicate done, int ms = 5000) {
        return win32test::Pump(host.Window(), done, ms);
    }
    void Settle(CWin32DialogHost& host) { Pump(host, [] { return false; }, 50); }
};

// Types `text` into the control as the keyboard would.
void Type(HWND control, const std::u16string& text) {
    for (char16_t c : text) ::SendMessageW(control, WM_CHAR, c, 0);
}

TEST_F(Win32HostTest, TheMainWindowIsItsTemplateAndItRenders) {
    CWin32DialogHost host(logic);
    ASSERT_TRUE(host.Created());
    host.Open();
    EXPECT_EQ(logic.inits, 1);
    EXPECT_TRUE(::IsWindowVisible(host.Window()));
    EXPECT_EQ(TextOf(host.Window()), u"ZELT2 Service");
    for (int id : {1022, 1002, 1034, 1033, 1008, 1023, 1016, 1015, 1024, 1029, 1003, 1030, 1009, 1031, 1018, 1025,
                   1026, 1019, 1027, 1020, 1028, 1021, 1037, 1038, 1039, 1040}) {
        EXPECT_NE(host.Control(id), nullptr) << id;
    }
    EXPECT_EQ(host.GetControlText(1018), u"Connect to Internet");
    EXPECT_EQ(host.GetControlText(1021), u"Stopped");
    EXPECT_EQ(host.GetControlText(1019), u"-");
    EXPECT_EQ(host.GetControlText(1022), u"Language Select:");
    for (int id : {1023, 1016, 1015, 1037}) EXPECT_FALSE(host.IsControlVisible(id)) << id;
    EXPECT_TRUE(host.IsControlVisible(1024));
    EXPECT_TRUE(host.GetCheck(1015));
    EXPECT_EQ(host.Link().ToolTipText(), u"https://www.example.com/");

    // The link fits its text; an '&' of a label shows as itself.
    RECT before{}, after{};
    ::GetWindowRect(host.Control(1031), &before);
    host.SetControlText(1031, u"Account");
    ::GetWindowRect(host.Control(1031), &after);
    EXPECT_LT(after.right - after.left, before.right - before.left);
    EXPECT_EQ(host.GetControlText(1031), u"Account");
    host.SetControlText(1030, u"Passwort & PIN:");
    EXPECT_EQ(host.GetControlText(1030), u"Passwort & PIN:");
    EXPECT_EQ(TextOf(host.Control(1030)), u"&Passwort && PIN:");

    // The system menu carries the About item, relabelled in place.
    host.SetAboutMenuText(u"About(&A)...");
    host.SetAboutMenuText(u"\u00dcber...");
    HMENU menu = ::GetSystemMenu(host.Window(), FALSE);
    wchar_t item[64] = {};
    ::GetMenuStringW(menu, app::kAboutMenuCommand, item, 64, MF_BYCOMMAND);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(item)), u"\u00dcber...");
    EXPECT_EQ(::GetMenuItemID(menu, ::GetMenuItemCount(menu) - 1), UINT(app::kAboutMenuCommand));

    // Drawn: the dialog's face, text on it, and the dark preview with its note.
    Settle(host);
    const win32test::Picture picture = win32test::Capture(host.Window());
    ASSERT_GT(picture.nWidth, 300);
    std::set<uint32_t> colours(picture.pixels.begin(), picture.pixels.end());
    EXPECT_GT(colours.size(), 8u);
    RECT preview{}, frame{};
    ::GetWindowRect(host.Control(1040), &preview);
    ::GetWindowRect(host.Window(), &frame);
    EXPECT_EQ(picture.At(preview.left - frame.left + 5, preview.top - frame.top + 5), 0x202020u);
    RECT label{};
    ::GetWindowRect(host.Control(1022), &label);
    int ink = 0;
    for (int y = label.top; y < label.bottom; ++y)
        for (int x = label.left; x < label.right; ++x) ink += picture.At(x - frame.left, y - frame.top) < 0x404040u;
    EXPECT_GT(ink, 20);  // "Language Select:" is written there
}

TEST_F(Win32HostTest, ClicksReachTheLogicButEscapeAndReturnNeverCloseTheWindow) {
    CWin32DialogHost host(logic);
    host.Open();
    ::SendMessageW(host.Control(1018), BM_CLICK, 0, 0);
    EXPECT_TRUE(host.GetCheck(1018));
    ::SendMessageW(host.Control(1008), BM_CLICK, 0, 0);
    ::SendMessageW(host.Window(), WM_SYSCOMMAND, app::kAboutMenuCommand, 0);
    EXPECT_EQ(logic.commands, (std::vector<int>{1018, 1008, app::kAboutMenuCommand}));

    // The logic's own changes are not the user's; typing is.
    host.SetControlText(1003, u"cam-1");
    EXPECT_EQ(logic.commands.size(), 3u);
    Type(host.Control(1003), u"x");
    EXPECT_EQ(logic.commands.back(), 1003);
    logic.commands.clear();

    for (int id : {1003, 1009, 1018, 1002, 1008}) {
        ::SetFocus(host.Control(id));
        for (WPARAM key : {VK_ESCAPE, VK_RETURN}) {
            ::PostMessageW(host.Control(id), WM_KEYDOWN, key, 0);
            ::PostMessageW(host.Control(id), WM_KEYUP, key, 0xC0000001);
        }
    }
    Settle(host);
    EXPECT_TRUE(::IsWindowVisible(host.Window()));
    EXPECT_FALSE(host.IsClosed());
    EXPECT_TRUE(host.GetCheck(1018));  // Return did not toggle it
    EXPECT_TRUE(logic.commands.empty());

    // Alt-key accelerators, none twice: a label's takes the keyboard to its
    // control, a button's clicks it.
    std::set<char16_t> keys;
    for (int id : {1018, 1029, 1030, 1034, 1022, 1008, 1038, 1039}) {
        const std::u16string shown = TextOf(host.Control(id));
        const size_t mark = shown.find(u'&');
        ASSERT_NE(mark, std::u16string::npos) << id;
        EXPECT_TRUE(keys.insert(static_cast<char16_t>(std::towlower(shown[mark + 1]))).second) << id;
    }
    ::SetFocus(host.Control(1009));
    ::PostMessageW(host.Control(1009), WM_SYSCHAR, L'd', 1 << 29);
    EXPECT_TRUE(Pump(host, [&] { return ::GetFocus() == host.Control(1003); }));
    logic.commands.clear();

    // The close button asks the logic, which may keep the window open.
    logic.allowClose = false;
    ::SendMessageW(host.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(host.IsClosed());
    logic.allowClose = true;
    ::SendMessageW(host.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(host.IsClosed());
    EXPECT_EQ(logic.closeRequests, 2);
    host.CloseWindow();
    EXPECT_EQ(logic.destroys, 1);
}

TEST_F(Win32HostTest, ListsChecksAndEditsThatRefuseWhatDoesNotFitWhole) {
    CWin32DialogHost host(logic);
    host.Open();
    EXPECT_EQ(host.ComboAddString(1002, u"English"), 0);
    EXPECT_EQ(host.ComboAddString(1002, u"deutsch"), 0);
    EXPECT_EQ(host.ComboAddString(1002, u"Zulu"), 2);
    EXPECT_EQ(host.ComboGetCurSel(1002), -1);
    EXPECT_EQ(host.GetControlText(1002), u"");
    EXPECT_EQ(host.ComboAddString(1033, u"B cam"), 0);
    EXPECT_EQ(host.ComboAddString(1033, u"A cam"), 1);
    host.ComboSetCurSel(1033, 1);
    EXPECT_EQ(host.GetControlText(1033), u"A cam");
    host.ComboSetCurSel(1033, 7);
    EXPECT_EQ(host.ComboGetCurSel(1033), -1);
    EXPECT_EQ(host.ComboGetItemText(1002, 1), u"English");
    EXPECT_TRUE(logic.commands.empty());

    host.EnableControl(1003, false);
    EXPECT_FALSE(host.IsControlEnabled(1003));
    host.SetControlText(1003, u"  cam-1 ");
    EXPECT_EQ(host.GetControlText(1003), u"  cam-1 ");
    host.SetCheck(1015, false);
    EXPECT_FALSE(host.GetCheck(1015));
    host.SetCheck(1016, true);
    EXPECT_TRUE(host.GetCheck(1016));

    // The password box takes what the password buffer holds, 23 bytes of
    // UTF-8, and refuses the rest where it is typed.
    HWND password = host.Control(1009);
    Type(password, std::u16string(400, u'W'));
    EXPECT_EQ(host.GetControlText(1009), std::u16string(23, u'W'));
    EXPECT_GT(app::win32::InputRefusals(password), 0);
    host.SetControlText(1009, u"");
    Type(password, std::u16string(20, u'\u0416'));  // two bytes each
    EXPECT_EQ(host.GetControlText(1009), std::u16string(11, u'\u0416'));
    host.SetControlText(1009, u"");
    Type(password, std::u16string(8, u'a') + u"\U0001F600\U0001F600\U0001F600\U0001F600");  // four bytes each
    EXPECT_EQ(host.GetControlText(1009), std::u16string(8, u'a') + u"\U0001F600\U0001F600\U0001F600");
    // A longer stored password can still be shortened.
    host.SetControlText(1009, std::u16string(30, u'p'));
    ::SendMessageW(password, EM_SETSEL, 30, 30);
    ::SendMessageW(password, WM_CHAR, VK_BACK, 0);
    EXPECT_EQ(host.GetControlText(1009).size(), 29u);

    // The DID box refuses a paste that would go past its limit whole.
    host.EnableControl(1003, true);
    host.SetTextLimit(1003, app::kDidMaxChars);
    host.SetInputRule(1003, u"1 to 20 letters, digits, '-' or '_'");
    host.SetControlText(1003, u"");
    auto paste = [&](const std::u16string& text) {
        ASSERT_TRUE(::OpenClipboard(host.Window()));
        ::EmptyClipboard();
        HGLOBAL data = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
        auto* chars = static_cast<char16_t*>(::GlobalLock(data));
        std::copy(text.begin(), text.end(), chars);
        chars[text.size()] = 0;
        ::GlobalUnlock(data);
        ::SetClipboardData(CF_UNICODETEXT, data);
        ::CloseClipboard();
        ::SendMessageW(host.Control(1003), WM_PASTE, 0, 0);
    };
    paste(std::u16string(40, u'D'));
    EXPECT_EQ(host.GetControlText(1003), u"");
    paste(u"CAM-0001");
    EXPECT_EQ(host.GetControlText(1003), u"CAM-0001");
}

TEST_F(Win32HostTest, TimersAndPostedWorkRunOnTheWindowsThread) {
    CWin32DialogHost host(logic);
    host.Open();
    EXPECT_EQ(host.SetTimer(100, 20), 100u);
    EXPECT_EQ(host.SetTimer(0, 20), 0u);
    ASSERT_TRUE(Pump(host, [&] { return logic.timers.size() >= 3; }));
    EXPECT_TRUE(logic.timerOnWindowThread);
    host.KillTimer(100);
    const size_t fired = logic.timers.size();
    Settle(host);
    EXPECT_EQ(logic.timers.size(), fired);

    std::atomic<int> ran{0};
    std::atomic<bool> onWindowThread{true};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            host.PostToWindow([&] {
                onWindowThread = onWindowThread && ::GetCurrentThreadId() == logic.windowThread;
                ++ran;
            });
        }
    });
    worker.join();  // the worker never waited for the window
    EXPECT_EQ(ran.load(), 0);
    ASSERT_TRUE(Pump(host, [&] { return ran == 100; }));
    EXPECT_TRUE(onWindowThread);

    host.SetTimer(101, 10);
    host.PostToWindow([&] { ++ran; });
    host.CloseWindow();
    host.PostToWindow([&] { ++ran; });
    const size_t before = logic.timers.size();
    Settle(host);
    EXPECT_EQ(ran.load(), 100);  // work left over when the window went is dropped
    EXPECT_EQ(logic.timers.size(), before);
}

TEST_F(Win32HostTest, MessageBoxesSpeakTheWindowsLanguage) {
    CWin32DialogHost host(logic);
    host.Open();
    std::u16string caption, text;
    AnswerNextModal(host.Window(), [&](HWND box) {
        caption = TextOf(box);
        text = TextOf(::GetDlgItem(box, 0xFFFF));  // the box's text
    });
    EXPECT_EQ(host.MessageBox(u"Please select one USB video device", u"ZELT2", app::MessageBoxKind::Ok),
              app::MessageBoxResult::Ok);
    EXPECT_EQ(caption, u"ZELT2");
    EXPECT_EQ(text, u"Please select one USB video device");

    AnswerNextModal(host.Window(), [&](HWND box) { caption = TextOf(box); });
    host.MessageBox(u"x", u"", app::MessageBoxKind::Ok);
    EXPECT_EQ(caption, u"ZELT2Service");  // a missing caption: the program's name

    const app::ButtonTexts russian{u"\u041e\u041a", u"\u041e\u0442\u043c\u0435\u043d\u0430", u"\u0414\u0430",
                                   u"\u041d\u0435\u0442"};
    host.SetButtonTexts(russian);
    std::u16string yes, no;
    AnswerNextModal(host.Window(), [&](HWND box) {
        yes = TextOf(::GetDlgItem(box, IDYES));
        no = TextOf(::GetDlgItem(box, IDNO));
    });
    EXPECT_EQ(host.MessageBox(u"Quit?", u"", app::MessageBoxKind::YesNo), app::MessageBoxResult::No);
    EXPECT_EQ(yes, russian.strYes);
    EXPECT_EQ(no, russian.strNo);

    // The About box: what its source gives, its OK in the window's language.
    host.SetAboutSource([] {
        app::AboutTexts texts = app::CAboutDlg(nullptr, u"2.1.1", [] { return 0x01020304u; }).OnInitDialog();
        texts.strLicences = u"one\ntwo";
        return texts;
    });
    std::u16string api, title, ok, legal, licences;
    AnswerNextModal(host.Window(), [&](HWND box) {
        title = TextOf(box);
        api = TextOf(::GetDlgItem(box, app::kIdAboutApiVersion));
        legal = TextOf(::GetDlgItem(box, app::kIdAboutLegal));
        licences = TextOf(::GetDlgItem(box, app::kIdAboutLicences));
        ok = TextOf(::GetDlgItem(box, IDOK));
    });
    host.ShowAboutBox();
    EXPECT_EQ(title, u"ZELT2 Service");
    EXPECT_EQ(api, u"API V1.2.3.4");
    EXPECT_FALSE(legal.empty());
    EXPECT_EQ(licences, u"one\r\ntwo");
    EXPECT_EQ(ok, russian.strOk);
}

TEST_F(Win32HostTest, ALinkThatCannotOpenSaysWhyAndTheKeyboardReachesIt) {
    CWin32DialogHost host(logic);
    host.Open();
    host.Link().Link().SetOpener([](std::u16string_view) { return platform::UrlOpenResult::NoHandler(); });
    std::u16string caption, text;
    AnswerNextModal(host.Window(), [&](HWND box) {
        caption = TextOf(box);
        text = TextOf(::GetDlgItem(box, 0xFFFF));
    });
    ::SendMessageW(host.Control(1031), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
    ::SendMessageW(host.Control(1031), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
    Settle(host);
    EXPECT_EQ(logic.commands, std::vector<int>{1031});  // the window heard of the click first
    EXPECT_EQ(text, app::ReportErrorText(app::kErrNoAssociation));
    EXPECT_EQ(caption, u"ZELT2Service");
    EXPECT_FALSE(host.Link().Link().GetVisited());

    // Tab reaches it; Space follows it.
    EXPECT_TRUE(::GetWindowLongPtrW(host.Control(1031), GWL_STYLE) & WS_TABSTOP);
    bool opened = false;
    host.Link().Link().SetOpener([&](std::u16string_view target) {
        opened = target == u"https://www.example.com/";
        return platform::UrlOpenResult::Success();
    });
    ::SetFocus(host.Control(1031));
    ::SendMessageW(host.Control(1031), WM_KEYDOWN, VK_SPACE, 0);
    EXPECT_TRUE(opened);
    EXPECT_TRUE(host.Link().Link().GetVisited());
}

TEST_F(Win32HostTest, TheTrayRecordMenuAndNotificationsAndMinimiseOnlyHidesWithATray) {
    CWin32DialogHost host(logic);
    host.Open();
    EXPECT_TRUE(logic.shown);
    host.SetTrayMenu({{app::kTrayShowCommand, u"Show window"}, {app::kTrayQuitCommand, u"Quit"}});
    host.SetTrayTip(u"Talvik Remote Service");
    host.SetTrayStatus(u"Running \u00b7 2");
    EXPECT_EQ(host.TrayToolTip(), u"Talvik Remote Service\nRunning \u00b7 2");
    host.SetTrayStatus(std::u16string(200, u'x'));
    EXPECT_EQ(host.TrayToolTip().size(), 127u);  // what the shell's record holds
    HMENU menu = host.BuildTrayMenu();
    ASSERT_EQ(::GetMenuItemCount(menu), 2);
    wchar_t item[32] = {};
    ::GetMenuStringW(menu, 1, item, 32, MF_BYPOSITION);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(item)), u"Quit");
    EXPECT_EQ(::GetMenuItemID(menu, 1), UINT(app::kTrayQuitCommand));
    ::DestroyMenu(menu);
    host.ShowNotification(u"ZELT2", u"A viewer started watching.");
    EXPECT_EQ(host.Notifications(), std::vector<std::u16string>{u"ZELT2|A viewer started watching."});

    // Minimised: hidden into the tray where the shell shows the icon, an
    // ordinary minimised window where it does not (Wine without a desktop).
    ::SendMessageW(host.Window(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(Pump(host, [&] { return !logic.shown; }));
    if (host.TrayShown()) {
        EXPECT_FALSE(::IsWindowVisible(host.Window()));
    } else {
        EXPECT_TRUE(::IsWindowVisible(host.Window()));
        EXPECT_TRUE(::IsIconic(host.Window()));
    }
    host.OnTrayNotify(app::kTrayIconId, WM_MOUSEMOVE);
    host.OnTrayNotify(app::kTrayIconId + 1, WM_LBUTTONDOWN);
    EXPECT_FALSE(logic.shown);
    host.OnTrayNotify(app::kTrayIconId, WM_LBUTTONDOWN);
    ASSERT_TRUE(Pump(host, [&] { return logic.shown; }));
    EXPECT_FALSE(::IsIconic(host.Window()));

    ::SendMessageW(host.Window(), WM_SYSCOMMAND, SC_MAXIMIZE, 0);
    EXPECT_FALSE(::IsZoomed(host.Window()));
    host.SetTrayTip(u"");
    EXPECT_FALSE(host.TrayShown());
    host.ShowNotification(u"ZELT2", u"gone");
    EXPECT_EQ(host.Notifications().size(), 1u);
}

TEST_F(Win32HostTest, TheWindowGoesBackWhereItWasButStaysOnTheScreen) {
    RECT room{};
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &room, 0);
    {
        CWin32DialogHost host(logic);
        EXPECT_FALSE(host.GetWindowPosition().has_value());  // never shown: nothing to store
        host.SetWindowPosition(room.left + 30, room.top + 20);
        host.Open();
        EXPECT_EQ(host.GetWindowPosition(), std::make_pair(int(room.left) + 30, int(room.top) + 20));
    }
    CWin32DialogHost host(logic);
    host.SetWindowPosition(room.right - 5, room.bottom - 5);
    host.Open();
    RECT frame{};
    ::GetWindowRect(host.Window(), &frame);
    EXPECT_LE(frame.right, room.right);
    EXPECT_LE(frame.bottom, room.bottom);
    host.SetWindowPosition(room.right + 5000, room.bottom + 5000);
    RECT still{};
    ::GetWindowRect(host.Window(), &still);
    EXPECT_EQ(still.left, frame.left);
}

TEST_F(Win32HostTest, ThePreviewDrawsThePictureOrTheNoteInItsPlace) {
    CWin32DialogHost host(logic);
    host.Open();
    video::PreviewFrame frame;
    frame.nWidth = 160;
    frame.nHeight = 120;
    frame.rgb.resize(160 * 120 * 3);
    for (size_t i = 0; i < frame.rgb.size(); i += 3) frame.rgb[i] = 0xC0;  // red
    host.ShowPreview(frame);
    frame.rgb.resize(5);  // a broken picture is not drawn
    host.ShowPreview(frame);
    EXPECT_EQ(host.PreviewPictures(), 1);
    Settle(host);
    RECT client{};
    ::GetClientRect(host.Control(1040), &client);
    win32test::Picture picture = win32test::Capture(host.Control(1040));
    EXPECT_EQ(picture.At(client.right / 2, client.bottom / 2), 0xC00000u);
    host.ShowPreviewNote(u"No picture");
    Settle(host);
    picture = win32test::Capture(host.Control(1040));
    EXPECT_EQ(picture.At(client.right / 2, 3), 0x202020u);
}

}  // namespace
