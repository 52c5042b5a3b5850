#pragma once
// Guarded event dispatch: every event handler of a screen is entered through guarded(),
// so that no exception ever crosses Qt's event loop.
//
//   bool guarded(fn)                    runs fn; true when it returned normally.
//                                       dataset::EAbort is swallowed silently (false);
//                                       any other exception is shown through the error
//                                       reporter (false).
//   setErrorReporter(fn)                replaces how errors are shown (default: a critical
//                                       QMessageBox titled "Erro"); an empty function
//                                       restores the default. Returns the previous one.
//   reportError(text)                   shows a text through the current reporter.
//
// The reporter itself runs guarded: an exception escaping it is dropped (and written to
// stderr), never rethrown into the event loop.

#include <QString>
#include <functional>

namespace fiscal::vcl {

using ErrorReporter = std::function<void(const QString &message)>;

bool guarded(const std::function<void()> &fn);

ErrorReporter setErrorReporter(ErrorReporter reporter);
void reportError(const QString &message);

} // namespace fiscal::vcl
