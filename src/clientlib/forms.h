#pragma once
// Creating a screen: construct it, then run its create handler once, as a screen's
// controls must all exist before FormCreate (a virtual) can use them.
//
//   auto *frm = CreateForm<TfrmCadAutomatico>();          // FormCreate has run
//   QPointer<TfrmCadAutomatico> frmCadAutomatico = frm;   // module variables: QPointer,
//                                                         // null once the screen is gone
//
// An exception from FormCreate releases the half-made screen and reaches the caller.
// Closed screens release themselves (WA_DeleteOnClose), so only QPointer may hold them.

#include <QPointer>
#include <exception>
#include <utility>

namespace fiscal::clientlib {

template <typename Form, typename... Args>
Form *CreateForm(Args &&...args)
{
    auto *form = new Form(std::forward<Args>(args)...);
    try {
        form->Create();
    } catch (...) {
        delete form;
        throw;
    }
    return form;
}

} // namespace fiscal::clientlib
