// A stand-in module for the host test: IniProc opens a base grid screen in the host and
// says it has loaded, as a real module does after its first data load.
#include "clientlib/forms.h"
#include "clientlib/frmpadraogrid.h"
#include "clientlib/hostservices.h"
#include "clientlib/settings.h"

#include <QPointer>

#ifndef FAKE_TITLE
#define FAKE_TITLE "Tela de teste"
#endif

namespace {
QPointer<fiscal::clientlib::TfrmPadraoGrid> screen;
}

extern "C" __attribute__((visibility("default"))) void IniProc()
{
    using namespace fiscal::clientlib;
    if (!screen) {
        screen = CreateForm<TfrmPadraoGrid>();
        screen->setWindowTitle(QStringLiteral(FAKE_TITLE));
        // What the host handed over through the settings reaches the module.
        screen->lblCodTela->setCaption(WebURL() + QLatin1Char(':') + QString::number(WebPort()));
    }
    screen->Show();
    screen->RestoreNormal();
    markScreenLoaded(screen);
}
