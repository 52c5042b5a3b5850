#pragma once
// TfrmPadraoGrid: the base of grid-maintenance screens. A QWidget that lives in a
// sub-window of the host's MDI area (Show()), or on its own without a host.
//
//   mnuMenu:  mnuOperacao   [mnuImprimir] ---- [mnuFechar]
//             mnuManutencao [mnuAlterar] [mnuCancelar] [mnuAtualizar] [mnuIncluir*]
//                           [mnuExcluir*] [mnuLocalizar*] [mnuFiltrar*]
//   panMenu:  sbtAlterar sbtCancelar sbtVerificar | sbtIncluir* sbtExcluir* sbtLocalizar*
//             | sbtImprimir sbtAjuda sbtFechar                              lblCodTela
//   pgcPadrao: tshPadrao with dbgPadrao (pmnNavegar as its context menu)
//   panNavegar: dbnPadrao dbtNome
//   dtsPadrao, msgPadrao
// (* the idle commands: idleControls() / idleMenuEntries(); the screen enables them as it
//  needs; the base never does.) mnuAlterar, mnuCancelar, mnuAtualizar and mnuImprimir
//  follow their buttons' enabled state, so that the keyboard reaches every button. Keys:
//  Ctrl+P prints (mnuImprimir), F5 reloads (mnuAtualizar), F1 opens the help.
//
// Handlers, overridden by name (an override calls the inherited one first, unless it
// replaces it as a screen's own refresh does):
//   FormCreate()              once, by Create() (CreateForm<T>() calls it)
//   FormActivate()            each time the screen becomes the active window/sub-window
//   FormCloseQuery()          before the screen closes: false keeps it open
//   FormClose()               when the screen closes; it is then released, sub-window too
//   dtsPadraoStateChange()    dtsPadrao's state changed (rebinding included): base sets
//                             sbtAlterar (browsing), sbtCancelar (editing or inserting),
//                             sbtVerificar (not editing)
//   sbtAlterarClick()         starts editing the data set bound to dtsPadrao
//   sbtCancelarClick()        cancels its edit
//   sbtVerificarClick()       refresh; the base has nothing to reload
//   sbtImprimirClick()        the screen's report; the base has none and says so
//   sbtAjudaClick()           the manual at the page of HelpKeyword(), else of the screen
//                             code in lblCodTela
//   dbgPadraoKeyDown(key, modifiers), dbgPadraoKeyPress(key)
// Every handler runs through the event guard.

#include "clientlib/messages.h"
#include "dataset/datasource.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/pagecontrol.h"

#include <QList>
#include <QWidget>

class QAction;
class QMenu;
class QMenuBar;
class QMdiSubWindow;

namespace fiscal::clientlib {

class TfrmPadraoGrid : public QWidget {
    Q_OBJECT
public:
    explicit TfrmPadraoGrid(QWidget *parent = nullptr);

    void Create();
    bool Created() const { return m_created; }
    void Activate();

    // Shows the screen in the host (an MDI child) as the active sub-window; its activation
    // runs FormActivate even while another application holds the focus. A screen of fixed
    // size (setFixedSize) gets a fixed single border there: no resizing, no maximising.
    void Show();
    void RestoreNormal();
    bool IsMinimized() const;
    // The sub-window holding the screen in the host; nullptr without a host.
    QMdiSubWindow *SubWindow() const;

    // The manual's page for the screen as it stands: by default its class name.
    virtual QString HelpKeyword() const;

    QList<QWidget *> idleControls() const;
    QList<QAction *> idleMenuEntries() const;

    QMenuBar *mnuMenu;
    QMenu *mnuOperacao;
    QMenu *mnuManutencao;
    QAction *mnuAlterar;
    QAction *mnuCancelar;
    QAction *mnuAtualizar;
    QAction *mnuIncluir;
    QAction *mnuExcluir;
    QAction *mnuLocalizar;
    QAction *mnuFiltrar;
    QAction *mnuImprimir;
    QAction *mnuFechar;
    QAction *mnuSeparadorOperacao;   // tab entries go above it

    vcl::TPanel *panMenu;
    vcl::TSpeedButton *sbtAlterar;
    vcl::TSpeedButton *sbtCancelar;
    vcl::TSpeedButton *sbtVerificar;
    vcl::TSpeedButton *sbtIncluir;
    vcl::TSpeedButton *sbtExcluir;
    vcl::TSpeedButton *sbtLocalizar;
    vcl::TSpeedButton *sbtImprimir;
    vcl::TSpeedButton *sbtAjuda;
    vcl::TSpeedButton *sbtFechar;
    vcl::TLabel *lblCodTela;

    vcl::TPageControl *pgcPadrao;
    vcl::TTabSheet *tshPadrao;
    vcl::TDBGrid *dbgPadrao;
    QMenu *pmnNavegar;

    vcl::TPanel *panNavegar;
    vcl::TDBNavigator *dbnPadrao;
    vcl::TDBText *dbtNome;

    dataset::TDataSource *dtsPadrao;
    TMessages *msgPadrao;

protected:
    virtual void FormCreate() {}
    virtual void FormActivate() {}
    virtual bool FormCloseQuery() { return true; }
    virtual void FormClose() {}
    virtual void dtsPadraoStateChange();
    virtual void sbtAlterarClick();
    virtual void sbtCancelarClick();
    virtual void sbtVerificarClick() {}
    virtual void sbtImprimirClick();
    virtual void sbtAjudaClick();
    virtual void dbgPadraoKeyDown(int &key, Qt::KeyboardModifiers modifiers);
    virtual void dbgPadraoKeyPress(QChar &key);

    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    vcl::TSpeedButton *toolButton(const char *name, const QString &hint, int icon);
    void navigate(int how);
    void watchSubWindow();

    bool m_created = false;
    bool m_closed = false;
    bool m_watching = false;
};

} // namespace fiscal::clientlib
