#pragma once
// --screenshot: the module's main screen drawn without a display, optionally on one of its
// tabs (--tab N, 1 = the first) and with one of its dialogs open over it (--dialog NAME); or,
// with --window NAME, one of its windows on its own. The module says what there is to draw
// (clientlib/screentargets.h); the host knows no widget of it.

class QApplication;
class HostWindow;
struct HostOptions;

// Opens the module (its index in options.modules), waits for its data, selects the tab, opens the dialog and saves the
// picture. Returns the process exit code: 0 saved, 1 something could not be shown.
int takeScreenshot(QApplication &app, HostWindow &window, int module, const HostOptions &options);

// --exit-when-drawn: the same wait for the data, without the picture: prints "drawn" the
// moment the main screen has been drawn with it (what a user waits for, as the start-up
// benchmark measures it). Returns 0, or 1 when the screen did not load in time.
int exitWhenDrawn(QApplication &app, HostWindow &window, int module, const HostOptions &options);
