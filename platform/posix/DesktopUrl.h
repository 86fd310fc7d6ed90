#pragma once
// How OpenUrl reaches a freedesktop desktop: first the desktop's opener, a
// program that opens a target with the user's preferred application and tells
// by its exit status whether it could (0 yes; 1 and 2 no such file; 3 and 4
// nothing could open it); when that fails, the default web browser started
// directly. Here so that tests can name their own opener and desktop.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Url.h"

namespace platform::posix {

struct UrlOpener {
    std::string strProgram = "xdg-open";
    // How long to wait for the opener's verdict. An opener still running by
    // then has found a program to open the target with (a browser it runs
    // in the foreground, for example) and counts as success.
    uint32_t dwWaitMs = 2000;
};

// OpenUrl with `opener`. When the opener cannot open the target, the default
// browser's command (below) is started; when there is none, the opener's own
// verdict is the result (no handler, or a file that was not found).
UrlOpenResult OpenUrlWith(std::u16string_view target, const UrlOpener& opener);

// The default browser's command line for `target` as program arguments
// (UTF-8): the text/html handler named by the desktop's mimeapps.list, whose
// desktop entry's Exec line is cut at its %u, %U, %f or %F placeholder, with
// the target appended as one more argument. Empty when the desktop names no
// usable browser or the command would exceed 519 UTF-16 units.
std::vector<std::string> DefaultBrowserCommand(std::u16string_view target);

}  // namespace platform::posix
