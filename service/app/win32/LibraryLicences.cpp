#include "service/app/AboutDlg.h"

namespace app {

// On Windows the programs run on the system's own libraries and on the
// runtimes linked into them; nothing else ships beside them.
const char16_t kLibraryLicences[] =
    u"GCC C++ runtime \u2014 GNU GPL 3.0 with the GCC Runtime Library Exception\n"
    u"mingw-w64 runtime \u2014 Zope Public License 2.1 and permissive licences\n"
    u"winpthreads (mingw-w64) \u2014 MIT licence";

// The language packs name the Linux packages' copyright files, which Windows
// has not: the texts are where the libraries come from.
const char16_t* const kLicenceTextsWhere =
    u"The full texts: with the sources of GCC (gcc.gnu.org) and mingw-w64 (mingw-w64.org)";

}  // namespace app
