#pragma once
// The tray icon record of the main window: what the window asks of the tray
// when it adds its icon, and its removal. The host draws the icon; the
// record says which one, with which tip and callback.

#include <cstdint>
#include <string>

#include "service/app/DialogHost.h"
#include "service/app/DialogIds.h"

namespace app {

inline constexpr uint32_t kTrayIconId = 5;
// The first message number a window may define for itself.
inline constexpr uint32_t kFirstOwnMessage = 0x0400;
inline constexpr uint32_t kTrayNotifyMessage = kFirstOwnMessage + 5;  // the tray's callback message
// What the record carries: its callback message, its icon, its tip.
inline constexpr uint32_t kTrayFlagMessage = 1;
inline constexpr uint32_t kTrayFlagIcon = 2;
inline constexpr uint32_t kTrayFlagTip = 4;
inline constexpr uint32_t kTrayFlagsMessageIconTip = kTrayFlagMessage | kTrayFlagIcon | kTrayFlagTip;

struct TrayRecord {
    uint32_t uID = 0;
    uint32_t uFlags = 0;
    uint32_t uCallbackMessage = 0;
    std::u16string szTip;

    // Fills the record for the main window's icon.
    void Fill() {
        uID = kTrayIconId;
        uFlags = kTrayFlagsMessageIconTip;
        uCallbackMessage = kTrayNotifyMessage;
        szTip = kTrayTip;
    }
    // Adds the icon through the host (an icon with its tip).
    void Add(IDialogHost& host) const {
        if (uFlags != 0) host.SetTrayTip(szTip);
    }
    // Clears the flags and removes the icon (an empty tip removes it).
    void Remove(IDialogHost& host) {
        uFlags = 0;
        host.SetTrayTip(u"");
    }
};

}  // namespace app
