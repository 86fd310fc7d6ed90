#pragma once
// The link's error box: "Unable to open hyperlink:" and why. The reasons are
// keyed by the codes the desktop shell has always reported them by.

#include <string>

#include "platform/Url.h"

namespace app {

inline constexpr int kErrOutOfResources = 0;
inline constexpr int kErrFileNotFound = 2;
inline constexpr int kErrPathNotFound = 3;
inline constexpr int kErrAccessDenied = 5;
inline constexpr int kErrNotEnoughMemory = 8;
inline constexpr int kErrBadExecutable = 11;
inline constexpr int kErrNoAssociation = 31;

// "Unable to open hyperlink:\n\n" and the reason for `code`; a code without
// a reason of its own reads "Unknown Error (<code>) occurred."
std::u16string ReportErrorText(int code);

// The code that says why `result` did not open (a result that opened has none).
int ReportErrorCode(const platform::UrlOpenResult& result);

}  // namespace app
