#pragma once
// The headless host: the main window's logic without a display. Controls
// live in memory; what a user would read (the status line, message boxes,
// the number of viewers) goes to a stream as lines, and the clock with the
// viewer count is rewritten in place once a second when that stream is a
// terminal. Message boxes answer OK at once. Timers and posted work run on
// the thread that calls Run, which is the window's thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "service/app/DialogHost.h"

namespace app {

class CConsoleHost : public IDialogHost {
public:
    // `out` receives the lines (may be null: nothing is written); `terminal`
    // says whether it is a terminal. `sortedCombos` lists the drop-down lists
    // that keep their items sorted.
    CConsoleHost(FILE* out, bool terminal, std::set<int> sortedCombos);
    virtual ~CConsoleHost() = default;

    // Controls.
    void SetControlText(int id, const std::u16string& text) override;
    std::u16string GetControlText(int id) const override;
    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) const override;
    void ShowControl(int id, bool show) override;
    bool IsControlVisible(int id) const override;
    void SetTextLimit(int id, int maxChars) override;
    void SetCheck(int id, bool checked) override;
    bool GetCheck(int id) const override;
    int ComboAddString(int id, const std::u16string& text) override;
    void ComboResetContent(int id) override;
    int ComboGetCount(int id) const override;
    std::u16string ComboGetItemText(int id, int index) const override;
    int ComboGetCurSel(int id) const override;
    void ComboSetCurSel(int id, int index) override;

    MessageBoxResult MessageBox(const std::u16string& text, const std::u16string& caption,
                                MessageBoxKind kind) override;
    uint32_t SetTimer(uint32_t id, uint32_t periodMs) override;
    void KillTimer(uint32_t id) override;
    void PostToWindow(std::function<void()> work) override;
    void SetWindowTitle(const std::u16string& title) override;
    void SetAboutMenuText(const std::u16string& text) override;
    void SetTrayTip(const std::u16string& tip) override;
    void ShowAboutBox() override {}
    void CloseWindow() override;

    // Runs the window: OnInitDialog, then `afterInit` once, then timers and
    // posted work, calling `poll` about every 100 ms, until CloseWindow; then
    // OnDestroy. Work posted later is dropped.
    void Run(IDialogLogic& logic, const std::function<void()>& afterInit, const std::function<void()>& poll);

    // Runs the work posted so far (tests drive the window's thread with it).
    // Returns how many were run.
    int RunPosted();
    // Whether a timer runs, and its period.
    bool TimerRuns(uint32_t id) const { return m_timers.count(id) != 0; }
    const std::u16string& WindowTitle() const { return m_strTitle; }
    const std::u16string& AboutMenuText() const { return m_strAboutMenu; }
    const std::u16string& TrayTip() const { return m_strTrayTip; }
    bool IsClosed() const { return m_bClosed.load(); }

protected:
    // One line to the stream, ending the clock's line first when it is open.
    void Print(const std::u16string& line);

private:
    struct Control {
        std::u16string text;
        bool enabled = true;
        bool visible = true;
        bool checked = false;
        int limit = 0;
        std::vector<std::u16string> items;
        int selection = -1;
    };
    struct Timer {
        uint32_t periodMs;
        std::chrono::steady_clock::time_point due;
    };
    Control& At(int id) { return m_controls[id]; }
    const Control* Find(int id) const;
    void ShowClockLine();

    FILE* m_pOut;
    bool m_bTerminal;
    std::set<int> m_sortedCombos;
    std::map<int, Control> m_controls;
    std::map<uint32_t, Timer> m_timers;
    std::u16string m_strTitle;
    std::u16string m_strAboutMenu;
    std::u16string m_strTrayTip;
    bool m_bClockLineOpen = false;

    std::mutex m_queueLock;
    std::condition_variable m_queueSignal;
    std::deque<std::function<void()>> m_queue;
    std::atomic<bool> m_bCloseWanted{false};
    std::atomic<bool> m_bClosed{false};
};

}  // namespace app
