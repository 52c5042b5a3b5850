#pragma once
// Keys of the plain Qt dialogs whose buttons act on much at once (import, users).
//
// Qt makes the first push button of a dialog its default, so Enter in a list or a box
// clicks a button the user never chose. Here Enter clicks the button that has the focus,
// and nothing else.
//
//   vcl::enterClicksOnlyTheFocusedButton(this);

class QDialog;

namespace fiscal::vcl {

void enterClicksOnlyTheFocusedButton(QDialog *dialog);

} // namespace fiscal::vcl
