#pragma once
// Module-level state and the creation routines of the four screens.
//
// The screens are released when they close; every reference to one is a QPointer, so
// a closed (or otherwise destroyed) screen reads as null instead of dangling.

#include <QPointer>
#include <QWidget>

namespace fiscal::ger10200 {

class TfrmParamGrupFiscal;

// True while a main screen exists; false at load and after the main screen closed.
extern bool boCriado;
// True from the creation of the main screen until its first activation starts loading.
extern bool boPrimeiraVez;

extern QPointer<TfrmParamGrupFiscal> frmParamGrupFiscal;
extern QPointer<QWidget> frmCadAutomatico;
extern QPointer<QWidget> frmCadAutoImpInscEsta;
extern QPointer<QWidget> frmReplica;

// Creates the main screen once, shows it and restores it to the normal window state.
void Cria_ParamGrupFiscal();

// The dialogs of automatic registration and replication are not part of this build yet:
// each routine reports that clearly instead of pretending to run.
void Cria_CadAutomatico();
void Cria_CadAutoImpInscEsta();
void Cria_Replica();

} // namespace fiscal::ger10200
