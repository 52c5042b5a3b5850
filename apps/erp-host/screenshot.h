#pragma once
// --screenshot: the module's main screen drawn without a display, optionally on one of
// its tabs (--tab N, 1 = the first) and with one of its dialogs open over it
// (--dialog NAME); or, with --window, the coverage report or the help window on its own.
// The host knows the screen only through Qt: the page control named "pgcPadrao", the menu
// entries and buttons that open each window.

#include <QString>
#include <span>

class QApplication;
class HostWindow;
struct HostOptions;

struct ScreenshotDialog {
    const char *name;      // value of --dialog
    int tab;               // tab the dialog is opened from when --tab is not given
    const char *action;    // object name of the menu entry that opens it
};

// One row per dialog.
std::span<const ScreenshotDialog> screenshotDialogs();
const ScreenshotDialog *findScreenshotDialog(const QString &name);
// The names joined by `separator`, for messages and the usage text.
QString screenshotDialogNames(const QString &separator);

// Opens the module (its index in options.modules), waits for its data, selects the tab, opens the dialog and saves the
// picture. Returns the process exit code: 0 saved, 1 something could not be shown.
int takeScreenshot(QApplication &app, HostWindow &window, int module, const HostOptions &options);

// --exit-when-drawn: the same wait for the data, without the picture: prints "drawn" the
// moment the main screen has been drawn with it (what a user waits for, as the start-up
// benchmark measures it). Returns 0, or 1 when the screen did not load in time.
int exitWhenDrawn(QApplication &app, HostWindow &window, int module, const HostOptions &options);
