#include "platform/Url.h"

#include <cerrno>

#include "platform/Text.h"
#include "platform/posix/Detached.h"
#include "platform/posix/DesktopUrl.h"

namespace platform::posix {
namespace {

UrlOpenResult FailureForErrno(int err) {
    switch (err) {
        case ENOENT: return UrlOpenResult::Failure(UrlFailure::kFileNotFound);
        case ENOTDIR: return UrlOpenResult::Failure(UrlFailure::kPathNotFound);
        case EACCES:
        case EPERM: return UrlOpenResult::Failure(UrlFailure::kAccessDenied);
        case ENOMEM: return UrlOpenResult::Failure(UrlFailure::kNotEnoughMemory);
        case ENOEXEC:
        case ELIBBAD: return UrlOpenResult::Failure(UrlFailure::kBadExecutable);
        default: return UrlOpenResult::Failure(UrlFailure::kOutOfResources);
    }
}

// The opener's verdict.
UrlOpenResult OpenWithOpener(std::string_view target, const UrlOpener& opener) {
    const DetachedStart started = StartDetached({opener.strProgram, std::string(target)}, true, opener.dwWaitMs);
    if (started.nErrno != 0) return UrlOpenResult::NoHandler();  // no opener on this desktop
    if (!started.nExitStatus) return UrlOpenResult::Success();    // still busy opening it
    switch (*started.nExitStatus) {
        case 0: return UrlOpenResult::Success();
        case 1:
        case 2: return UrlOpenResult::Failure(UrlFailure::kFileNotFound);
        default: return UrlOpenResult::NoHandler();
    }
}

}  // namespace

UrlOpenResult OpenUrlWith(std::u16string_view target, const UrlOpener& opener) {
    const UrlOpenResult opened = OpenWithOpener(Utf16ToUtf8(target), opener);
    if (opened.Opened()) return opened;
    std::vector<std::string> args = DefaultBrowserCommand(target);
    if (args.empty()) return opened;
    const DetachedStart started = StartDetached(std::move(args), false, 0);
    if (started.nErrno != 0) return FailureForErrno(started.nErrno);
    return UrlOpenResult::Success();
}

}  // namespace platform::posix

namespace platform {

UrlOpenResult OpenUrl(std::u16string_view target) { return posix::OpenUrlWith(target, posix::UrlOpener{}); }

}  // namespace platform
