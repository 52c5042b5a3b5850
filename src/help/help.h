#pragma once
// Opening the manual from a screen:
//
//   showTopic("TfrmReplica", this)   the page with that id or keyword (screen codes and class
//                                    names are keywords), in the first manual that has it
//   showContext(12400502, this)      the page of that help context
//
// One help window per process: an open one is brought up at the new page. Opened from a
// modal dialog it becomes that dialog's window, so that it can be read and used while the
// dialog waits. False (and nothing shown) when no manual has the topic.

#include <QString>

class QWidget;

namespace fiscal::help {

bool showTopic(const QString &keyword, QWidget *from = nullptr);
bool showContext(int context, QWidget *from = nullptr);

// The help window open in the process, or nullptr.
QWidget *helpWindow();

} // namespace fiscal::help
