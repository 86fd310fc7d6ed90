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

// What a DID may be, said wherever one is refused: the pack's, else built in.
std::u16string DidRuleText(const CLangTable& pack);

// The message that explains a refused start (the text of its key; a refused
// DID adds the rule); empty when the outcome is not a refusal.
std::u16string RefusalMessageText(const CLangTable& pack, StartOutcome outcome);

// A password shorter than this many characters is easy to guess.
inline constexpr size_t kPasswordShortChars = 8;
// The warning a password deserves: an empty one lets any viewer in, a short
// one is easy to guess; empty for a password that needs none.
std::u16string PasswordWarningText(const CLangTable& pack, std::u16string_view password);

// The pack's text of `key`, else `fallback`.
std::u16string PackTextOr(const CLangTable& pack, std::u16string_view key, const char16_t* fallback);

// The message that the settings could not be saved: the pack's, else a
// built-in one.
std::u16string SaveFailedText(const CLangTable& pack);

// Why the service stopped by itself (the camera went away; the transport
// will not listen under the DID): the pack's text, else a built-in one.
std::u16string CameraLostText(const CLangTable& pack);
std::u16string DidRefusedText(const CLangTable& pack);

// The owner's warning that `refusals` logins were made over another channel
// than the device's (someone may sit in the middle): the pack's, else built in.
std::u16string InterceptedLoginText(const CLangTable& pack, uint32_t refusals);

// The language names of the packs in `folder`, sorted as the language list
// sorts them (letter case ignored, equal names in the folder's order).
std::vector<std::u16string> SortedLanguagePacks(const std::string& folder);

}  // namespace app
