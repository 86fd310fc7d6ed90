#include "service/app/ServiceTexts.h"

#include <algorithm>

#include "platform/Text.h"
#include "service/app/DialogIds.h"
#include "service/app/LangKeys.h"

namespace app {
namespace {

struct StatusText {
    const char16_t* key;
    const char16_t* defaultText;
};
// By status code 0 to 5.
constexpr StatusText kStatusTexts[] = {
    {langkey::kStatusStopped, u"Stopped"},
    {langkey::kStatusRunning, u"Running"},
    {langkey::kStatusApiInitFailure, u"API Initialize failure"},
    {langkey::kStatusNoCamera, u"Please select one USB video device"},
    {langkey::kStatusCaptureFailed, u"Failed to create live capture"},
    {langkey::kStatusWrongDid, u"Wrong DID"},
};

// Keys that a pack may lack, so they have built-in texts.
constexpr char16_t kSaveFailedDefault[] =
    u"The settings could not be saved. They stay in effect until the program ends.";
constexpr char16_t kCameraLostDefault[] =
    u"The camera stopped answering (was it unplugged?). The service has stopped; connect again to resume.";
constexpr char16_t kLoginInterceptedDefault[] =
    u"A viewer's login over the internet was refused: it was made over another connection than the device's, "
    u"so someone between them (such as whoever runs the rendezvous) may be trying to listen in. Nothing was "
    u"shown to them. Logins refused so since the last warning:";
constexpr char16_t kDidRefusedDefault[] =
    u"The transport will not serve under this DID. The service has stopped; check the DID and connect again.";

constexpr char16_t kDidRuleDefault[] = u"The DID is 1 to 20 letters (A to Z), digits, '-' or '_'.";
constexpr char16_t kPasswordEmptyDefault[] =
    u"No password is set: any viewer on the network can watch without one. Set a password to protect the camera.";
constexpr char16_t kPasswordShortDefault[] = u"This password is short (fewer than 8 characters) and easy to guess.";

}  // namespace

std::u16string PackTextOr(const CLangTable& pack, std::u16string_view key, const char16_t* fallback) {
    const std::u16string text = PackText(pack, key);
    return text.empty() ? std::u16string(fallback) : text;
}

std::u16string DidRuleText(const CLangTable& pack) { return PackTextOr(pack, langkey::kDidRule, kDidRuleDefault); }

std::u16string RefusalMessageText(const CLangTable& pack, StartOutcome outcome) {
    const char16_t* key = RefusalMessageKey(outcome);
    if (!key) return {};
    std::u16string text = PackText(pack, key);
    if (outcome == StartOutcome::EmptyDid || outcome == StartOutcome::DidTooLong) {
        // "Wrong DID" alone leaves the user guessing what a right one is.
        if (!text.empty()) text += u"\n\n";
        text += DidRuleText(pack);
    }
    return text;
}

std::u16string PasswordWarningText(const CLangTable& pack, std::u16string_view password) {
    if (password.empty()) return PackTextOr(pack, langkey::kPasswordEmpty, kPasswordEmptyDefault);
    // Characters as the user counts them: a pair of surrogates is one.
    const size_t chars = static_cast<size_t>(
        std::count_if(password.begin(), password.end(), [](char16_t c) { return c < 0xDC00 || c > 0xDFFF; }));
    if (chars < kPasswordShortChars) return PackTextOr(pack, langkey::kPasswordShort, kPasswordShortDefault);
    return {};
}

std::u16string PackText(const CLangTable& pack, std::u16string_view key) {
    const std::u16string* text = pack.GetText(key);
    return text ? *text : std::u16string();
}

std::optional<std::u16string> StatusLineText(const CLangTable& pack, int status) {
    if (status < 0 || status >= static_cast<int>(std::size(kStatusTexts))) return std::nullopt;
    const std::u16string text = PackText(pack, kStatusTexts[status].key);
    return text.empty() ? std::u16string(kStatusTexts[status].defaultText) : text;
}

std::u16string MessageCaption(const CLangTable& pack) {
    const std::u16string caption = PackText(pack, langkey::kMessageCaption);
    return caption.empty() ? std::u16string(kAppName) : caption;
}

const char16_t* RefusalMessageKey(StartOutcome outcome) {
    switch (outcome) {
    case StartOutcome::NoCamera: return langkey::kStatusNoCamera;
    case StartOutcome::CameraNotAnswering: return langkey::kMessageCameraNotAnswering;
    case StartOutcome::EmptyDid: return langkey::kMessageEnterDid;
    case StartOutcome::DidTooLong: return langkey::kStatusWrongDid;
    case StartOutcome::Started:
    case StartOutcome::NotTried: break;
    }
    return nullptr;
}

std::u16string SaveFailedText(const CLangTable& pack) {
    return PackTextOr(pack, langkey::kMessageSaveFailed, kSaveFailedDefault);
}

std::u16string CameraLostText(const CLangTable& pack) {
    return PackTextOr(pack, langkey::kMessageCameraLost, kCameraLostDefault);
}

std::u16string DidRefusedText(const CLangTable& pack) {
    return PackTextOr(pack, langkey::kMessageDidRefused, kDidRefusedDefault) + u"\n\n" + DidRuleText(pack);
}

std::u16string InterceptedLoginText(const CLangTable& pack, uint32_t refusals) {
    return PackTextOr(pack, langkey::kMessageLoginIntercepted, kLoginInterceptedDefault) + u" (" +
           platform::Utf8ToUtf16(std::to_string(refusals)) + u")";
}

std::vector<std::u16string> SortedLanguagePacks(const std::string& folder) {
    std::vector<std::u16string> names = ListLanguagePacks(folder);
    std::stable_sort(names.begin(), names.end(), [](const std::u16string& a, const std::u16string& b) {
        return platform::ToUpper(a) < platform::ToUpper(b);
    });
    return names;
}

}  // namespace app
