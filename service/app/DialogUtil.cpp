#include "service/app/DialogUtil.h"

#include <cstdio>

#include "platform/Text.h"

namespace app {

int FindStringPrefix(const std::vector<std::u16string>& items, int startAfter, std::u16string_view prefix) {
    const int count = static_cast<int>(items.size());
    if (count <= 0) return -1;
    const int first = (startAfter < 0 || startAfter >= count) ? 0 : startAfter + 1;
    for (int n = 0; n < count; ++n) {
        const int index = (first + n) % count;
        const std::u16string& item = items[index];
        if (item.size() >= prefix.size() &&
            platform::EqualsIgnoreCase(std::u16string_view(item).substr(0, prefix.size()), prefix))
            return index;
    }
    return -1;
}

int SelectStringPrefix(IDialogHost& host, int id, int startAfter, std::u16string_view prefix) {
    std::vector<std::u16string> items;
    for (int i = 0; i < host.ComboGetCount(id); ++i) items.push_back(host.ComboGetItemText(id, i));
    const int index = FindStringPrefix(items, startAfter, prefix);
    if (index >= 0) host.ComboSetCurSel(id, index);
    return index;
}

std::u16string FormatClockText(const std::tm& local) {
    const int hour12 = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char text[64];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d/%s", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900, hour12, local.tm_min, local.tm_sec, local.tm_hour < 12 ? "AM" : "PM");
    return platform::Utf8ToUtf16(text);
}

std::u16string TrimBlanks(std::u16string_view text) {
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::u16string(text);
}

}  // namespace app
