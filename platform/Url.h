#pragma once
// Opening an address (a web link, a file) with the application the desktop
// has for it, the way a user's click on a link would.

#include <string_view>

namespace platform {

// Why an address did not open when an application was there for it.
enum class UrlFailure {
    kOutOfResources,   // the system could not start anything
    kFileNotFound,     // the address, or the application, does not exist
    kPathNotFound,     // a folder on the way to the application does not exist
    kAccessDenied,
    kNotEnoughMemory,
    kBadExecutable,    // the application is not a program this system runs
};

struct UrlOpenResult {
    enum class Outcome {
        kOpened,     // handed to an application
        kNoHandler,  // the desktop has no application for it
        kFailed,     // an application was there, but it could not be opened
    };
    Outcome eOutcome = Outcome::kOpened;
    UrlFailure eReason = UrlFailure::kOutOfResources;  // with kFailed: why

    bool Opened() const { return eOutcome == Outcome::kOpened; }
    static UrlOpenResult Success() { return {}; }
    static UrlOpenResult NoHandler() { return {Outcome::kNoHandler, UrlFailure::kOutOfResources}; }
    static UrlOpenResult Failure(UrlFailure reason) { return {Outcome::kFailed, reason}; }
};

// Opens `target` with the desktop's application for it. Returns once the
// desktop has taken it or said why not (within a few seconds); the
// application itself keeps running on its own.
UrlOpenResult OpenUrl(std::u16string_view target);

}  // namespace platform
