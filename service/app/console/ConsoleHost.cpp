#include "service/app/console/ConsoleHost.h"

#include <algorithm>

#include "platform/Text.h"
#include "service/app/DialogIds.h"

namespace app {

CConsoleHost::CConsoleHost(FILE* out, bool terminal, std::set<int> sortedCombos)
    : m_pOut(out), m_bTerminal(terminal), m_sortedCombos(std::move(sortedCombos)) {}

const CConsoleHost::Control* CConsoleHost::Find(int id) const {
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : &it->second;
}

void CConsoleHost::Print(const std::u16string& line) {
    if (!m_pOut) return;
    const std::string text = platform::Utf16ToUtf8(line);
    if (m_bClockLineOpen) {
        std::fputs("\r\033[K", m_pOut);
        m_bClockLineOpen = false;
    }
    std::fprintf(m_pOut, "%s\n", text.c_str());
    std::fflush(m_pOut);
}

void CConsoleHost::ShowClockLine() {
    if (!m_pOut || !m_bTerminal) return;
    const std::string line = platform::Utf16ToUtf8(GetControlText(kIdcClockLabel)) + " " +
                             platform::Utf16ToUtf8(GetControlText(kIdcClock)) + "   " +
                             platform::Utf16ToUtf8(GetControlText(kIdcOnlineLabel)) + " " +
                             platform::Utf16ToUtf8(GetControlText(kIdcOnline));
    std::fprintf(m_pOut, "\r\033[K%s", line.c_str());
    std::fflush(m_pOut);
    m_bClockLineOpen = true;
}

void CConsoleHost::SetControlText(int id, const std::u16string& text) {
    Control& c = At(id);
    const bool changed = c.text != text;
    c.text = text;
    if (id == kIdcStatus && changed) {
        Print(GetControlText(kIdcStatusLabel).empty() ? u"Status: " + text : GetControlText(kIdcStatusLabel) + u" " + text);
    } else if (id == kIdcOnline && changed && !m_bTerminal) {
        Print(u"Viewers online: " + text);
    } else if (id == kIdcOnline) {
        ShowClockLine();
    }
}

std::u16string CConsoleHost::GetControlText(int id) const {
    const Control* c = Find(id);
    if (!c) return {};
    // A drop-down list's text is its selected item's.
    if (!c->items.empty() || c->selection >= 0) {
        return c->selection >= 0 && c->selection < static_cast<int>(c->items.size()) ? c->items[c->selection]
                                                                                     : std::u16string();
    }
    return c->text;
}

void CConsoleHost::EnableControl(int id, bool enable) { At(id).enabled = enable; }
bool CConsoleHost::IsControlEnabled(int id) const {
    const Control* c = Find(id);
    return !c || c->enabled;
}
void CConsoleHost::ShowControl(int id, bool show) { At(id).visible = show; }
bool CConsoleHost::IsControlVisible(int id) const {
    const Control* c = Find(id);
    return !c || c->visible;
}
void CConsoleHost::SetTextLimit(int id, int maxChars) { At(id).limit = maxChars; }
void CConsoleHost::SetCheck(int id, bool checked) { At(id).checked = checked; }
bool CConsoleHost::GetCheck(int id) const {
    const Control* c = Find(id);
    return c && c->checked;
}

int CConsoleHost::ComboAddString(int id, const std::u16string& text) {
    Control& c = At(id);
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

void CConsoleHost::ComboResetContent(int id) {
    Control& c = At(id);
    c.items.clear();
    c.selection = -1;
}

int CConsoleHost::ComboGetCount(int id) const {
    const Control* c = Find(id);
    return c ? static_cast<int>(c->items.size()) : 0;
}

std::u16string CConsoleHost::ComboGetItemText(int id, int index) const {
    const Control* c = Find(id);
    if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return {};
    return c->items[index];
}

int CConsoleHost::ComboGetCurSel(int id) const {
    const Control* c = Find(id);
    return c ? c->selection : -1;
}

void CConsoleHost::ComboSetCurSel(int id, int index) {
    Control& c = At(id);
    c.selection = index >= 0 && index < static_cast<int>(c.items.size()) ? index : -1;
}

MessageBoxResult CConsoleHost::MessageBox(const std::u16string& text, const std::u16string& caption,
                                          MessageBoxKind kind) {
    Print(caption + u": " + text);
    return kind == MessageBoxKind::YesNo ? MessageBoxResult::Yes : MessageBoxResult::Ok;
}

uint32_t CConsoleHost::SetTimer(uint32_t id, uint32_t periodMs) {
    if (id == 0) return 0;
    const uint32_t period = std::max<uint32_t>(periodMs, 1);
    m_timers[id] = Timer{period, std::chrono::steady_clock::now() + std::chrono::milliseconds(period)};
    return id;
}

void CConsoleHost::KillTimer(uint32_t id) { m_timers.erase(id); }

void CConsoleHost::PostToWindow(std::function<void()> work) {
    if (m_bClosed.load()) return;
    {
        std::lock_guard<std::mutex> hold(m_queueLock);
        m_queue.push_back(std::move(work));
    }
    m_queueSignal.notify_one();
}

void CConsoleHost::SetWindowTitle(const std::u16string& title) { m_strTitle = title; }
void CConsoleHost::SetAboutMenuText(const std::u16string& text) { m_strAboutMenu = text; }
void CConsoleHost::SetTrayTip(const std::u16string& tip) { m_strTrayTip = tip; }

void CConsoleHost::CloseWindow() {
    m_bCloseWanted.store(true);
    m_queueSignal.notify_one();
}

int CConsoleHost::RunPosted() {
    std::deque<std::function<void()>> work;
    {
        std::lock_guard<std::mutex> hold(m_queueLock);
        work.swap(m_queue);
    }
    int n = 0;
    for (auto& w : work) {
        if (m_bClosed.load()) break;
        w();
        ++n;
    }
    return n;
}

void CConsoleHost::Run(IDialogLogic& logic, const std::function<void()>& afterInit, const std::function<void()>& poll) {
    using Clock = std::chrono::steady_clock;
    logic.OnInitDialog();
    if (afterInit) afterInit();
    auto nextPoll = Clock::now();
    while (!m_bCloseWanted.load()) {
        RunPosted();
        // Timers that are due, each once per round; one killed meanwhile is skipped.
        const auto now = Clock::now();
        std::vector<uint32_t> due;
        for (auto& [id, timer] : m_timers)
            if (timer.due <= now) due.push_back(id);
        for (const uint32_t id : due) {
            auto it = m_timers.find(id);
            if (it == m_timers.end() || m_bCloseWanted.load()) continue;
            it->second.due = now + std::chrono::milliseconds(it->second.periodMs);
            logic.OnTimer(id);
        }
        if (poll && Clock::now() >= nextPoll) {
            poll();
            nextPoll = Clock::now() + std::chrono::milliseconds(100);
        }
        auto wake = nextPoll;
        for (auto& [id, timer] : m_timers) wake = std::min(wake, timer.due);
        std::unique_lock<std::mutex> hold(m_queueLock);
        m_queueSignal.wait_until(hold, wake, [&] { return !m_queue.empty() || m_bCloseWanted.load(); });
    }
    logic.OnDestroy();
    m_bClosed.store(true);
    m_timers.clear();
    std::lock_guard<std::mutex> hold(m_queueLock);
    m_queue.clear();
    if (m_bClockLineOpen && m_pOut) {
        std::fputs("\n", m_pOut);
        m_bClockLineOpen = false;
    }
}

}  // namespace app
