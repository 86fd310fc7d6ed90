#include "service/app/AboutDlg.h"

namespace app {

const char16_t kLibraryLicences[] =
    u"Qt 6 (Core, Gui, Widgets, Svg) \u2014 GNU LGPL 3.0\n"
    u"GStreamer 1.0 (core, base, WebRTC, SDP) \u2014 GNU LGPL 2.1 or later\n"
    u"GLib, GObject \u2014 GNU LGPL 2.1 or later\n"
    u"JSON-GLib \u2014 GNU LGPL 2.1 or later\n"
    u"libnice \u2014 Mozilla Public License 1.1 or GNU LGPL 2.1\n"
    u"Eclipse Mosquitto client library \u2014 Eclipse Public License 2.0 or Eclipse Distribution License 1.0\n"
    u"GCC C++ runtime \u2014 GNU GPL 3.0 with the GCC Runtime Library Exception";

// The packages' copyright files, as the language packs say.
const char16_t* const kLicenceTextsWhere = nullptr;

}  // namespace app
