// Entry of the module: the one routine the host calls, the module variables and the
// creation routines of the screens.

#include "Pkg_Ger10200/module.h"

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"
#include "Pkg_Ger10200/cadastro/frmcadautomatico.h"
#include "Pkg_Ger10200/cadastroinscricao/frmcadautoimpinscesta.h"
#include "Pkg_Ger10200/replica/frmreplica.h"
#include "Pkg_Ger10200/modaldialog.h"
#include "vcl/cursor.h"
#include "vcl/guard.h"

#include <memory>

namespace fiscal::ger10200 {

bool boCriado = false;
bool boPrimeiraVez = false;
QPointer<TfrmParamGrupFiscal> frmParamGrupFiscal;
QPointer<TfrmCadAutomatico> frmCadAutomatico;
QPointer<TfrmCadAutoImpInscEsta> frmCadAutoImpInscEsta;
QPointer<TfrmReplica> frmReplica;

void Cria_ParamGrupFiscal()
{
    vcl::HourGlass hourglass;   // back to the default also when creating fails
    // A screen destroyed without passing through its close handler (its host window
    // went away) must not leave boCriado pointing at nothing.
    if (!boCriado || frmParamGrupFiscal.isNull()) {
        // Registered only once it exists whole: a creation that fails leaves nothing for
        // the next IniProc to show.
        boCriado = false;
        auto screen = std::make_unique<TfrmParamGrupFiscal>();
        screen->Create();
        frmParamGrupFiscal = screen.release();
        boCriado = true;
    }
    // Shown and made the active window: its first activation loads it.
    frmParamGrupFiscal->Show();
    frmParamGrupFiscal->RestoreNormal();
}

void Cria_CadAutomatico()
{
    RunModalDialog(frmCadAutomatico);
}

void Cria_CadAutoImpInscEsta()
{
    RunModalDialog(frmCadAutoImpInscEsta);
}

void Cria_Replica()
{
    RunModalDialog(frmReplica);
}

} // namespace fiscal::ger10200

// The host resolves this by name. Nothing may escape into the host: errors are shown
// through the guarded dispatch like those of any other event.
extern "C" Q_DECL_EXPORT void IniProc()
{
    fiscal::vcl::guarded([] { fiscal::ger10200::Cria_ParamGrupFiscal(); });
}
