#pragma once
// A dialog host that keeps the window's controls in memory, for tests of the
// window logic: timers are recorded (a test fires them by calling OnTimer),
// posted work waits until the test runs it on its own thread (the window's).

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "service/app/DialogHost.h"

namespace testsupport {

class CMemoryDialogHost : public app::IDialogHost {
public:
    // `sortedCombos` lists the drop-down lists that keep their items sorted.
    explicit CMemoryDialogHost(std::set<int> sortedCombos) : m_sortedCombos(std::move(sortedCombos)) {}
    virtual ~CMemoryDialogHost() = default;

    void SetControlText(int id, const std::u16string& text) override { m_controls[id].text = text; }
    std::u16string GetControlText(int id) const override {
        const Control* c = Find(id);
        if (!c) return {};
        // A drop-down list's text is its selected item's.
        if (!c->items.empty() || c->selection >= 0)
            return c->selection >= 0 && c->selection < static_cast<int>(c->items.size()) ? c->items[c->selection]
                                                                                         : std::u16string();
        return c->text;
    }
    void EnableControl(int id, bool enable) override { m_controls[id].enabled = enable; }
    bool IsControlEnabled(int id) const override {
        const Control* c = Find(id);
        return !c || c->enabled;
    }
    void ShowControl(int id, bool show) override { m_controls[id].visible = show; }
    bool IsControlVisible(int id) const override {
        const Control* c = Find(id);
        return !c || c->visible;
    }
    void SetCheck(int id, bool checked) override { m_controls[id].checked = checked; }
    bool GetCheck(int id) const override {
        const Control* c = Find(id);
        return c && c->checked;
    }
    int ComboAddString(int id, const std::u16string& text) override {
        Control& c = m_controls[id];
        size_t index = c.items.size();
        if (m_sortedCombos.count(id)) {
            const std::u16string key = platform::ToUpper(text);
            index = 0;
            while (index < c.items.size() && platform::ToUpper(c.items[index]) <= key) ++index;
        }
        c.items.insert(c.items.begin() + static_cast<std::ptrdiff_t>(index), text);
        if (c.selection >= static_cast<int>(index)) ++c.selection;
        return static_cast<int>(index);
    }
    void ComboResetContent(int id) override {
        m_controls[id].items.clear();
        m_controls[id].selection = -1;
    }
    int ComboGetCount(int id) const override {
        const Control* c = Find(id);
        return c ? static_cast<int>(c->items.size()) : 0;
    }
    std::u16string ComboGetItemText(int id, int index) const override {
        const Control* c = Find(id);
        if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return {};
        return c->items[index];
    }
    int ComboGetCurSel(int id) const override {
        const Control* c = Find(id);
        return c ? c->selection : -1;
    }
    void ComboSetCurSel(int id, int index) override {
        Control& c = m_controls[id];
        c.selection = index >= 0 && index < static_cast<int>(c.items.size()) ? index : -1;
    }

    app::MessageBoxResult MessageBox(const std::u16string&, const std::u16string&, app::MessageBoxKind kind) override {
        return kind == app::MessageBoxKind::YesNo ? app::MessageBoxResult::Yes : app::MessageBoxResult::Ok;
    }
    uint32_t SetTimer(uint32_t id, uint32_t) override {
        if (id == 0) return 0;
        m_timers.insert(id);
        return id;
    }
    void KillTimer(uint32_t id) override { m_timers.erase(id); }
    void PostToWindow(std::function<void()> work) override {
        std::lock_guard<std::mutex> hold(m_queueLock);
        m_queue.push_back(std::move(work));
    }
    void SetWindowTitle(const std::u16string& title) override { m_strTitle = title; }
    std::optional<std::pair<int, int>> GetWindowPosition() const override { return m_windowPosition; }
    void SetWindowPosition(int x, int y) override { m_windowPosition = std::make_pair(x, y); }
    std::optional<std::pair<int, int>> m_windowPosition;
    void SetAboutMenuText(const std::u16string& text) override { m_strAboutMenu = text; }
    void SetTrayTip(const std::u16string& tip) override { m_strTrayTip = tip; }
    void SetInputRule(int id, const std::u16string& text) override { m_inputRules[id] = text; }
    void SetTrayMenu(const std::vector<TrayMenuItem>& items) override { m_trayMenu = items; }
    void SetTrayStatus(const std::u16string& line) override { m_strTrayStatus = line; }
    void ShowNotification(const std::u16string& title, const std::u16string& text) override {
        m_notifications.push_back(platform::Utf16ToUtf8(title + u"|" + text));
    }
    void ShowWindow() override { ++m_nShowWindow; }
    void ShowPreview(const video::PreviewFrame&) override {
        ++m_nPreviewPictures;
        m_strPreviewNote.clear();
    }
    void ShowPreviewNote(const std::u16string& text) override { m_strPreviewNote = text; }
    void SetLinkFailureTexts(const app::LinkFailureTexts& texts) override { m_linkTexts = texts; }
    void SetButtonTexts(const app::ButtonTexts& texts) override { m_buttonTexts = texts; }
    const app::ButtonTexts& ButtonTexts() const { return m_buttonTexts; }
    void ShowAboutBox() override {}
    void CloseWindow() override { ++m_nCloseWindow; }

    // Runs the work posted so far on the calling thread; how many were run.
    int RunPosted() {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard<std::mutex> hold(m_queueLock);
            work.swap(m_queue);
        }
        for (auto& w : work) w();
        return static_cast<int>(work.size());
    }
    bool TimerRuns(uint32_t id) const { return m_timers.count(id) != 0; }
    const std::u16string& WindowTitle() const { return m_strTitle; }
    const std::u16string& AboutMenuText() const { return m_strAboutMenu; }
    const std::u16string& TrayTip() const { return m_strTrayTip; }
    const std::u16string& TrayStatus() const { return m_strTrayStatus; }
    const std::vector<TrayMenuItem>& TrayMenu() const { return m_trayMenu; }
    std::u16string InputRule(int id) const {
        const auto it = m_inputRules.find(id);
        return it == m_inputRules.end() ? std::u16string() : it->second;
    }
    const app::LinkFailureTexts& LinkTexts() const { return m_linkTexts; }
    // "title|text" of each notification, oldest first.
    std::vector<std::string> m_notifications;
    int m_nShowWindow = 0;
    // The preview: pictures drawn, and the note in their place (empty while a picture shows).
    int m_nPreviewPictures = 0;
    std::u16string m_strPreviewNote;
    int m_nCloseWindow = 0;

private:
    struct Control {
        std::u16string text;
        bool enabled = true;
        bool visible = true;
        bool checked = false;
        std::vector<std::u16string> items;
        int selection = -1;
    };
    const Control* Find(int id) const {
        const auto it = m_controls.find(id);
        return it == m_controls.end() ? nullptr : &it->second;
    }

    std::set<int> m_sortedCombos;
    std::map<int, Control> m_controls;
    std::set<uint32_t> m_timers;
    std::u16string m_strTitle;
    std::u16string m_strAboutMenu;
    std::u16string m_strTrayTip;
    std::u16string m_strTrayStatus;
    std::vector<TrayMenuItem> m_trayMenu;
    std::map<int, std::u16string> m_inputRules;
    app::LinkFailureTexts m_linkTexts;
    app::ButtonTexts m_buttonTexts;
    std::mutex m_queueLock;
    std::deque<std::function<void()>> m_queue;
};

}  // namespace testsupport
