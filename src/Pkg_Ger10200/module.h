#pragma once
// Module-level state and the creation routines of the four screens.
//
// The screens are released when they close; every reference to one is a QPointer, so
// a closed (or otherwise destroyed) screen reads as null instead of dangling.

#include <QPointer>
#include <QWidget>

namespace fiscal::ger10200 {

class TfrmParamGrupFiscal;
class TfrmCadAutomatico;
class TfrmCadAutoImpInscEsta;
class TfrmReplica;

// True while a main screen exists; false at load and after the main screen closed.
extern bool boCriado;
// True from the creation of the main screen until its first activation starts loading.
extern bool boPrimeiraVez;

extern QPointer<TfrmParamGrupFiscal> frmParamGrupFiscal;
extern QPointer<TfrmCadAutomatico> frmCadAutomatico;
extern QPointer<TfrmCadAutoImpInscEsta> frmCadAutoImpInscEsta;
extern QPointer<TfrmReplica> frmReplica;

// Creates the main screen once, shows it and restores it to the normal window state.
void Cria_ParamGrupFiscal();

// Each creates a fresh dialog, stores it in its module variable and runs it modally;
// they return when the dialog has closed (see modaldialog.h).
void Cria_CadAutomatico();
void Cria_CadAutoImpInscEsta();
void Cria_Replica();

} // namespace fiscal::ger10200
