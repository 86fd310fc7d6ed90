#include "service/app/LinkErrorText.h"

#include <cstdio>

#include "platform/Text.h"

namespace app {

std::u16string ReportErrorText(int code) {
    const char* reason = nullptr;
    switch (code) {
        case 0: reason = "The operating system is out\nof memory or resources."; break;
        case 2: reason = "The specified file was not found."; break;
        case 3: reason = "The specified path was not found."; break;
        case 5: reason = "The operating system denied\naccess to the specified file."; break;
        case 8: reason = "There was not enough memory to complete the operation."; break;
        case 11: reason = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."; break;
        case 26: reason = "A sharing violation occurred. "; break;
        case 27: reason = "The filename association is\nincomplete or invalid."; break;
        case 28: reason = "The DDE transaction could not\nbe completed because the request timed out."; break;
        case 29: reason = "The DDE transaction failed."; break;
        case 30:
            reason = "The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.";
            break;
        case 31: reason = "There is no application associated\nwith the given filename extension."; break;
        case 32: reason = "The specified dynamic-link library was not found."; break;
        default: break;
    }
    std::string text = "Unable to open hyperlink:\n\n";
    if (reason) {
        text += reason;
    } else {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "Unknown Error (%d) occurred.", code);
        text += buffer;
    }
    return platform::Utf8ToUtf16(text);
}

int ReportErrorCode(const platform::UrlOpenResult& result) {
    using platform::UrlFailure;
    using Outcome = platform::UrlOpenResult::Outcome;
    if (result.eOutcome == Outcome::kNoHandler) return kErrNoAssociation;
    switch (result.eReason) {
        case UrlFailure::kOutOfResources: return kErrOutOfResources;
        case UrlFailure::kFileNotFound: return kErrFileNotFound;
        case UrlFailure::kPathNotFound: return kErrPathNotFound;
        case UrlFailure::kAccessDenied: return kErrAccessDenied;
        case UrlFailure::kNotEnoughMemory: return kErrNotEnoughMemory;
        case UrlFailure::kBadExecutable: return kErrBadExecutable;
    }
    return kErrOutOfResources;
}

}  // namespace app
