#pragma once
// TfrmRotiGeral: the base of the dialogs.
//
//   +--------------------------------------+-------------+
//   | grbDadosRel: the dialog's own        | panMenu     |
//   | controls                             |  panBotoes  |
//   |                                      |  Confirmar  |
//   |                                      |  Fechar     |
//   |                                      |  lblCodTela |
//   +--------------------------------------+-------------+
//
// The button column leaves the whole height to the dialog's controls, which the small
// fixed client areas of the dialogs need. "Fechar" (sbtFechar) closes the dialog without
// confirming, as Esc and the window button do; a dialog may put buttons of its own between
// them (addColumnButton). The two columns sit in row 0 of FormLayout(), a
// grid; a dialog may add a row below them that spans both columns (row 1, column span 2).
//
// Handlers, overridden by name (an override calls the inherited one first; FormClose
// closes the screen's connection before calling it):
//   FormCreate()     once, by Create() (CreateForm<T>() calls it; a first show does too)
//   FormActivate()   each time the dialog becomes the active window
//   FormClose()      when the dialog closes, however it closes (confirm, Esc, window
//                    button, done()); then the dialog releases itself
//   sbtConfirmaClick()   the confirm button
// Dialogs run modally through the interaction service: interaction().runModal(*dlg).
// F1 opens the manual at the page of HelpContext() when one is set, else at the page of
// HelpKeyword() (the class name) or of the screen code.

#include "clientlib/messages.h"
#include "vcl/containers.h"
#include "vcl/controls.h"

#include <QDialog>
#include <QStyle>

class QGridLayout;
class QVBoxLayout;

namespace fiscal::clientlib {

class TfrmRotiGeral : public QDialog {
    Q_OBJECT
public:
    explicit TfrmRotiGeral(QWidget *parent = nullptr);

    // Runs FormCreate once; exceptions reach the caller.
    void Create();
    bool Created() const { return m_created; }
    // Runs FormActivate (as activation does), guarded.
    void Activate();

    // Fixed client area, as the dialogs have a single border.
    void setClientSize(int width, int height);

    // Help context number of the dialog's page in the manual (0: none).
    int HelpContext() const { return m_helpContext; }
    void setHelpContext(int context) { m_helpContext = context; }
    virtual QString HelpKeyword() const;
    // What F1 does.
    void ShowHelp();

    QGridLayout *FormLayout() const { return m_layout; }
    // A button of the dialog's own in the column, between "Confirmar" and "Fechar".
    vcl::TSpeedButton *addColumnButton(const char *name, const QString &caption, QStyle::StandardPixmap icon);

    vcl::TPanel *panMenu;
    vcl::TPanel *panBotoes;
    vcl::TSpeedButton *sbtConfirma;
    vcl::TSpeedButton *sbtFechar;
    vcl::TLabel *lblCodTela;
    vcl::TGroupBox *grbDadosRel;
    TMessages *msgPadrao;

protected:
    virtual void FormCreate() {}
    virtual void FormActivate() {}
    virtual void FormClose() {}
    virtual void sbtConfirmaClick() {}

    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    vcl::TSpeedButton *columnButton(const char *name, const QString &caption, QStyle::StandardPixmap icon);

    QGridLayout *m_layout;
    QVBoxLayout *m_buttons;
    bool m_created = false;
    bool m_closed = false;
    int m_helpContext = 0;
};

} // namespace fiscal::clientlib
