#pragma once
// What a link says when its address does not open, in the window's language:
// why, and the address itself, so that the user can copy it into a browser.

#include <string>
#include <string_view>

#include "platform/Url.h"

namespace app {

struct LinkFailureTexts {
    std::u16string strCaption;    // the box's caption
    std::u16string strHeading;    // the page could not be opened
    std::u16string strNoHandler;  // nothing on this desktop opens addresses
    std::u16string strFailed;     // the program for addresses did not start
    std::u16string strCopyHint;   // copy the address (which follows) into a browser
};

// The box's text for `result` (which did not open) on `target`.
inline std::u16string LinkFailureText(const LinkFailureTexts& texts, const platform::UrlOpenResult& result,
                                      std::u16string_view target) {
    const bool noHandler = result.eOutcome == platform::UrlOpenResult::Outcome::kNoHandler;
    std::u16string text = texts.strHeading;
    text += u"\n\n";
    text += noHandler ? texts.strNoHandler : texts.strFailed;
    text += u"\n\n";
    text += texts.strCopyHint;
    text += u"\n";
    text += target;
    return text;
}

}  // namespace app
