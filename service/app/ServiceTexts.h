#pragma once
// The texts every front end of the service shows the same way: the status
// line by status code, the message of a refused start, the messages'
// caption, and the language packs in the order the language list shows them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/app/LangTable.h"
#include "service/app/ServiceController.h"

namespace app {

// The text of `key` in the active pack; empty when it has none.
std::u16string PackText(const CLangTable& pack, std::u16string_view key);

// The status line for `status`: the pack's text, or the built-in one when
// the pack has none; nullopt for a code outside the table (the line stays).
std::optional<std::u16string> StatusLineText(const CLangTable& pack, int status);

// The caption of the service's messages: the pack's, else the program's name.
std::u16string MessageCaption(const CLangTable& pack);

// The key of the message that explains a refused start; nullptr when the
// outcome is not a refusal.
const char16_t* RefusalMessageKey(StartOutcome outcome);

// The message that the settings could not be saved: the pack's, else a
// built-in one.
std::u16string SaveFailedText(const CLangTable& pack);

// Why the service stopped by itself (the camera went away; the transport
// will not listen under the DID): the pack's text, else a built-in one.
std::u16string CameraLostText(const CLangTable& pack);
std::u16string DidRefusedText(const CLangTable& pack);

// The language names of the packs in `folder`, sorted as the language list
// sorts them (letter case ignored, equal names in the folder's order).
std::vector<std::u16string> SortedLanguagePacks(const std::string& folder);

}  // namespace app
