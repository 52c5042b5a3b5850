#pragma once
// The shape every dialog creation routine shares:
//
//   void Cria_CadAutomatico() { RunModalDialog(frmCadAutomatico); }
//
// The hourglass is up while the dialog is created (its create handler connects to the
// server); the dialog is owned by the host's main window, so it is centred over it, and
// runs modally through the interaction service with the normal cursor. The call returns
// when the dialog has closed; the dialog releases itself then and the module variable (a
// QPointer) reads null. An error while creating releases the half-made dialog and goes on
// to the caller with the cursor back to normal.

#include "clientlib/forms.h"
#include "clientlib/hostservices.h"
#include "clientlib/interaction.h"
#include "vcl/cursor.h"

#include <QMainWindow>
#include <QPointer>

namespace fiscal::ger10200 {

template <typename Dialog>
void RunModalDialog(QPointer<Dialog> &moduleVariable)
{
    Dialog *dialog = nullptr;
    {
        vcl::HourGlass hourglass;
        dialog = clientlib::CreateForm<Dialog>(clientlib::hostMainWindow());
        moduleVariable = dialog;
    }
    clientlib::interaction().runModal(*dialog);
}

} // namespace fiscal::ger10200
