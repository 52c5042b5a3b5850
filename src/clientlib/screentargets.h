#pragma once
// What a module lets the host draw without a display (erp-host --screenshot): its main screen
// on a chosen tab, one of its dialogs open over it, or one of its windows on its own. Beside
// IniProc a module may export
//
//   extern "C" const fiscal::clientlib::ScreenTargets *ScreenTargets();
//
// The host resolves it by name and knows no menu, button or widget of the module; the
// module's own code opens each target as a person would.

#include <QString>
#include <functional>
#include <vector>

class QWidget;

namespace fiscal::clientlib {

struct ScreenTarget {
    QString name;          // the value of --dialog or --window
    int tab = 0;           // a dialog: the tab it is opened from unless --tab says (1 = the first)
    // Opens it from the main screen, whose data has loaded. A modal window's open returns once
    // it has closed: the host draws it meanwhile and closes it. Returns why it cannot be
    // opened from there (in Portuguese), or nothing.
    std::function<QString(QWidget &screen)> open;
    // A window: the object name of the top-level window to draw once it is visible and, when
    // it has a "loaded" property, once that is true.
    QString window;
};

struct ScreenTargets {
    // Shows tab `tab` (1 = the first) as a click on it would; why not, when it cannot.
    std::function<QString(QWidget &screen, int tab)> showTab;
    std::vector<ScreenTarget> dialogs;
    std::vector<ScreenTarget> windows;
};

// The type of the exported function.
using ScreenTargetsProc = const ScreenTargets *(*)();

} // namespace fiscal::clientlib
