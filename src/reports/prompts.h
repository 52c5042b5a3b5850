#pragma once
// What the print and export flows (printflow.h) ask of the person at the screen: a file to
// write, a modal window to run, a box that says how it went. The screens pass their
// interaction service through it, so that this library needs no screen library.

#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

namespace fiscal::reports {

class Prompts {
public:
    virtual ~Prompts() = default;
    virtual void tell(const QString &text, QWidget *parent) = 0;
    virtual void tellError(const QString &text, QWidget *parent) = 0;
    // Runs the dialog modally; returns when it has closed.
    virtual void runModal(QDialog &dialog) = 0;
    // The file to write, or empty when the user gave up. `filter` comes in as the one
    // offered first and goes out as the one chosen.
    virtual QString chooseSaveFile(const QString &title, const QString &suggested, const QStringList &filters,
                                   QString &filter, QWidget *parent) = 0;
};

} // namespace fiscal::reports
