#pragma once
// The two dialog templates as Qt widgets: the main window (template 102) and
// the About box (template 100). Every control carries its dialog id; the
// layout follows the templates' arrangement with Qt layouts, so that longer
// translated texts widen the window instead of being cut.

#include <QIcon>
#include <QWidget>
#include <map>

class QLabel;

namespace app::qt {

class CQtHyperLink;

// The main window's controls by id (1002 ... 1034), all children of the window.
struct MainWindowControls {
    std::map<int, QWidget*> byId;
    CQtHyperLink* pLink = nullptr;  // control 1031
};

// Fills `window` (an empty top-level widget) with template 102's controls:
// template texts, the quality group and its radios hidden, the DID edit
// limited to 20 characters, the password edit to what fits its box.
MainWindowControls BuildMainWindow(QWidget& window);

// Template 100 in `box`: icon, version line (1016), transport version (1026),
// legal notice (1035) and the OK button (id 1), which closes it.
std::map<int, QWidget*> BuildAboutBox(QWidget& box, const QIcon& icon);

// The application icon, drawn from our own picture in the resources.
QIcon AppIcon();

}  // namespace app::qt
