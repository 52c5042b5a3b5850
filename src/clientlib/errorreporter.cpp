#include "clientlib/errorreporter_p.h"

#include "clientlib/interaction.h"
#include "vcl/confirm.h"
#include "vcl/guard.h"

#include <QApplication>

namespace fiscal::clientlib::detail {

void ensureErrorReporter()
{
    static bool installed = false;
    if (installed) {
        return;
    }
    installed = true;
    // Both look the service up at call time, so a later setInteraction() takes effect.
    vcl::setErrorReporter([](const QString &text) {
        interaction().message(mtError, messageTitle(mtError), text, mbOK, QApplication::activeWindow());
    });
    vcl::setConfirmHandler([](const QString &question) {
        return interaction().message(mtConfirmation, messageTitle(mtConfirmation), question, mbYesNo,
                                     QApplication::activeWindow()) == mrYes;
    });
}

} // namespace fiscal::clientlib::detail
