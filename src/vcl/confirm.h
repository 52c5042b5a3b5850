#pragma once
// Yes/No confirmation used by the visual components themselves (the grid's
// "Confirma exclusão?" before deleting a row, the navigator's delete button).
//
//   bool confirm(text)          true when the user answered Yes.
//   setConfirmHandler(fn)       replaces how the question is asked (default: a
//                               QMessageBox::question with Yes/No, No as default);
//                               an empty function restores the default. Returns the
//                               previous handler. The client library installs its
//                               interaction service here; tests install a scripted answer.

#include <QString>
#include <functional>

namespace fiscal::vcl {

using ConfirmHandler = std::function<bool(const QString &question)>;

bool confirm(const QString &question);
ConfirmHandler setConfirmHandler(ConfirmHandler handler);

} // namespace fiscal::vcl
