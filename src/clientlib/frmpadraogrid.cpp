#include "clientlib/frmpadraogrid.h"

#include "clientlib/usersession.h"

#include "clientlib/hostservices.h"
#include "clientlib/errorreporter_p.h"
#include "help/help.h"
#include "vcl/guard.h"
#include "vcl/menus.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QStyle>
#include <QVBoxLayout>

namespace fiscal::clientlib {

TfrmPadraoGrid::TfrmPadraoGrid(QWidget *parent) : QWidget(parent)
{
    // Errors escaping this screen's handlers are shown through the interaction service.
    detail::ensureErrorReporter();
    setAttribute(Qt::WA_DeleteOnClose);

    dtsPadrao = new dataset::TDataSource(this);
    dtsPadrao->setObjectName(QStringLiteral("dtsPadrao"));
    msgPadrao = new TMessages(this);
    msgPadrao->setObjectName(QStringLiteral("msgPadrao"));

    // Tool bar.
    panMenu = new vcl::TPanel(this);
    panMenu->setObjectName(QStringLiteral("panMenu"));
    panMenu->setFrameShape(QFrame::StyledPanel);
    sbtAlterar = toolButton("sbtAlterar", QStringLiteral("Alterar"), QStyle::SP_FileDialogDetailedView);
    sbtCancelar = toolButton("sbtCancelar", QStringLiteral("Cancelar"), QStyle::SP_DialogCancelButton);
    sbtVerificar = toolButton("sbtVerificar", QStringLiteral("Atualizar"), QStyle::SP_BrowserReload);
    sbtIncluir = toolButton("sbtIncluir", QStringLiteral("Incluir"), QStyle::SP_FileDialogNewFolder);
    sbtExcluir = toolButton("sbtExcluir", QStringLiteral("Excluir"), QStyle::SP_TrashIcon);
    sbtLocalizar = toolButton("sbtLocalizar", QStringLiteral("Localizar"), QStyle::SP_FileDialogContentsView);
    sbtImprimir = toolButton("sbtImprimir", QStringLiteral("Imprimir"), QStyle::SP_DriveFDIcon);
    sbtAjuda = toolButton("sbtAjuda", QStringLiteral("Ajuda"), QStyle::SP_DialogHelpButton);
    sbtFechar = toolButton("sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
    lblCodTela = new vcl::TLabel(QString(), true, panMenu);
    lblCodTela->setObjectName(QStringLiteral("lblCodTela"));

    auto *bar = new QHBoxLayout(panMenu);
    bar->setContentsMargins(4, 2, 4, 2);
    bar->setSpacing(2);
    for (QWidget *w : {static_cast<QWidget *>(sbtAlterar), static_cast<QWidget *>(sbtCancelar),
                       static_cast<QWidget *>(sbtVerificar)}) {
        bar->addWidget(w);
    }
    bar->addSpacing(8);
    for (QWidget *w : {static_cast<QWidget *>(sbtIncluir), static_cast<QWidget *>(sbtExcluir),
                       static_cast<QWidget *>(sbtLocalizar)}) {
        bar->addWidget(w);
    }
    bar->addSpacing(8);
    for (QWidget *w : {static_cast<QWidget *>(sbtImprimir), static_cast<QWidget *>(sbtAjuda),
                       static_cast<QWidget *>(sbtFechar)}) {
        bar->addWidget(w);
    }
    bar->addStretch(1);
    bar->addWidget(lblCodTela);

    sbtAlterar->OnClick = [this] { sbtAlterarClick(); };
    sbtCancelar->OnClick = [this] { sbtCancelarClick(); };
    sbtVerificar->OnClick = [this] { sbtVerificarClick(); };
    sbtImprimir->OnClick = [this] { sbtImprimirClick(); };
    sbtAjuda->OnClick = [this] { sbtAjudaClick(); };
    sbtFechar->OnClick = [this] { close(); };

    // Pages and grid.
    pgcPadrao = new vcl::TPageControl(this);
    pgcPadrao->setObjectName(QStringLiteral("pgcPadrao"));
    tshPadrao = pgcPadrao->addPage(QString());
    tshPadrao->setObjectName(QStringLiteral("tshPadrao"));
    dbgPadrao = new vcl::TDBGrid(tshPadrao);
    dbgPadrao->setObjectName(QStringLiteral("dbgPadrao"));
    dbgPadrao->setDataSource(dtsPadrao);
    auto *page = new QVBoxLayout(tshPadrao);
    page->setContentsMargins(0, 0, 0, 0);
    page->addWidget(dbgPadrao);
    dbgPadrao->OnKeyDown = [this](int &key, Qt::KeyboardModifiers m) { dbgPadraoKeyDown(key, m); };
    dbgPadrao->OnKeyPress = [this](QChar &key) { dbgPadraoKeyPress(key); };

    pmnNavegar = new QMenu(this);
    pmnNavegar->setObjectName(QStringLiteral("pmnNavegar"));
    pmnNavegar->addAction(vcl::newMenuItem(pmnNavegar, QStringLiteral("&Primeiro"), QKeySequence(), [this] { navigate(0); }));
    pmnNavegar->addAction(vcl::newMenuItem(pmnNavegar, QStringLiteral("&Anterior"), QKeySequence(), [this] { navigate(1); }));
    pmnNavegar->addAction(vcl::newMenuItem(pmnNavegar, QStringLiteral("Pró&ximo"), QKeySequence(), [this] { navigate(2); }));
    pmnNavegar->addAction(vcl::newMenuItem(pmnNavegar, QStringLiteral("Ú&ltimo"), QKeySequence(), [this] { navigate(3); }));
    dbgPadrao->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(dbgPadrao, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { pmnNavegar->popup(dbgPadrao->viewport()->mapToGlobal(pos)); });

    // Navigator panel.
    panNavegar = new vcl::TPanel(this);
    panNavegar->setObjectName(QStringLiteral("panNavegar"));
    dbnPadrao = new vcl::TDBNavigator(panNavegar);
    dbnPadrao->setObjectName(QStringLiteral("dbnPadrao"));
    dbnPadrao->setDataSource(dtsPadrao);
    dbtNome = new vcl::TDBText(panNavegar);
    dbtNome->setObjectName(QStringLiteral("dbtNome"));
    dbtNome->setDataSource(dtsPadrao);
    dbtNome->setDataField(QStringLiteral("NOME"));
    auto *nav = new QHBoxLayout(panNavegar);
    nav->setContentsMargins(4, 2, 4, 2);
    nav->addWidget(dbnPadrao);
    nav->addSpacing(8);
    nav->addWidget(dbtNome, 1);

    // Menus.
    mnuMenu = new QMenuBar(this);
    mnuMenu->setObjectName(QStringLiteral("mnuMenu"));
    mnuMenu->setNativeMenuBar(false);
    mnuOperacao = mnuMenu->addMenu(QStringLiteral("&Operação"));
    mnuOperacao->setObjectName(QStringLiteral("mnuOperacao"));
    mnuManutencao = mnuMenu->addMenu(QStringLiteral("&Manutenção"));
    mnuManutencao->setObjectName(QStringLiteral("mnuManutencao"));

    mnuSeparadorOperacao = mnuOperacao->addSeparator();
    mnuImprimir = vcl::newMenuItem(this, QStringLiteral("Im&primir"), QKeySequence::Print, [this] { sbtImprimir->click(); });
    mnuFechar = vcl::newMenuItem(this, QStringLiteral("Fec&har"), QKeySequence(), [this] { close(); });   // F is "&Fornecedor"'s
    mnuOperacao->addAction(mnuImprimir);
    mnuOperacao->addSeparator();
    mnuOperacao->addAction(mnuFechar);

    mnuAlterar = vcl::newMenuItem(this, QStringLiteral("&Alterar"), QKeySequence(), [this] { sbtAlterar->click(); });
    mnuCancelar = vcl::newMenuItem(this, QStringLiteral("&Cancelar"), QKeySequence(), [this] { sbtCancelar->click(); });
    mnuAtualizar = vcl::newMenuItem(this, QStringLiteral("Atuali&zar"), QKeySequence(Qt::Key_F5), [this] { sbtVerificar->click(); });
    mnuIncluir = vcl::newMenuItem(this, QStringLiteral("&Incluir"));
    mnuExcluir = vcl::newMenuItem(this, QStringLiteral("&Excluir"));
    mnuLocalizar = vcl::newMenuItem(this, QStringLiteral("&Localizar"));
    mnuFiltrar = vcl::newMenuItem(this, QStringLiteral("Fil&trar"));
    for (QAction *a : {mnuAlterar, mnuCancelar, mnuAtualizar, mnuIncluir, mnuExcluir, mnuLocalizar, mnuFiltrar}) {
        mnuManutencao->addAction(a);
    }
    // A menu entry with a button takes the button's enabled state.
    vcl::linkEnabled(mnuAlterar, sbtAlterar);
    vcl::linkEnabled(mnuCancelar, sbtCancelar);
    vcl::linkEnabled(mnuAtualizar, sbtVerificar);
    vcl::linkEnabled(mnuImprimir, sbtImprimir);
    vcl::installPageKeys(this);
    auto *f1 = new QShortcut(QKeySequence::HelpContents, this, [this] { sbtAjuda->click(); });
    f1->setContext(Qt::WidgetWithChildrenShortcut);
    const char *actionNames[] = {"mnuAlterar", "mnuIncluir", "mnuExcluir", "mnuLocalizar", "mnuFiltrar",
                                 "mnuImprimir", "mnuFechar"};
    QAction *actions[] = {mnuAlterar, mnuIncluir, mnuExcluir, mnuLocalizar, mnuFiltrar, mnuImprimir, mnuFechar};
    for (int i = 0; i < 7; ++i) {
        actions[i]->setObjectName(QString::fromLatin1(actionNames[i]));
    }

    // The base offers no record commands of its own beyond edit and cancel.
    for (QWidget *w : idleControls()) {
        w->setEnabled(false);
    }
    for (QAction *a : idleMenuEntries()) {
        a->setEnabled(false);
    }

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->setSpacing(2);
    layout->setMenuBar(mnuMenu);
    layout->addWidget(panMenu);
    layout->addWidget(pgcPadrao, 1);
    layout->addWidget(panNavegar);

    dtsPadrao->OnStateChange = [this](dataset::TDataSource &) {
        vcl::guarded([this] { dtsPadraoStateChange(); });
    };
    dtsPadraoStateChange();
}

vcl::TSpeedButton *TfrmPadraoGrid::toolButton(const char *name, const QString &hint, int icon)
{
    auto *b = new vcl::TSpeedButton(panMenu);
    b->setObjectName(QString::fromLatin1(name));
    b->setHint(hint);
    b->setIcon(style()->standardIcon(QStyle::StandardPixmap(icon)));
    return b;
}

QList<QWidget *> TfrmPadraoGrid::idleControls() const
{
    return {sbtIncluir, sbtExcluir, sbtLocalizar};
}

QList<QAction *> TfrmPadraoGrid::idleMenuEntries() const
{
    return {mnuIncluir, mnuExcluir, mnuLocalizar, mnuFiltrar};
}

void TfrmPadraoGrid::Create()
{
    if (m_created) {
        return;
    }
    m_created = true;
    FormCreate();
    if (!UserSession::instance().may(UserSession::Right::Write)) {
        // A role that may not save never starts an edit: typing into a cell, the navigator's
        // insert and delete, and Ctrl+Del would all lead to a save the server refuses.
        for (vcl::TDBGrid *grid : findChildren<vcl::TDBGrid *>())
            grid->setReadOnly(true);
        for (vcl::TDBNavigator *nav : findChildren<vcl::TDBNavigator *>()) {
            for (vcl::TNavigateBtn b : {vcl::nbInsert, vcl::nbDelete, vcl::nbEdit, vcl::nbPost, vcl::nbCancel})
                nav->Button(b)->hide();
        }
    }
}

void TfrmPadraoGrid::Activate()
{
    vcl::guarded([this] { FormActivate(); });
}

QMdiSubWindow *TfrmPadraoGrid::SubWindow() const
{
    return qobject_cast<QMdiSubWindow *>(parentWidget());
}

void TfrmPadraoGrid::Show()
{
    if (!m_created) {
        Create();
    }
    const bool fresh = SubWindow() == nullptr;
    QMdiSubWindow *sub = showInHost(this);
    if (sub && fresh && minimumSize() == maximumSize()) {
        // A screen of fixed size gets a fixed single border: no resizing, no maximising.
        sub->setWindowFlags(Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                            | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint
                            | Qt::MSWindowsFixedSizeDialogHint);
        sub->show();
        // The frame around the screen's own size: the sub-window's size hint would follow
        // the layout's wish instead and leave empty bands above and below.
        sub->resize(size().grownBy(sub->contentsMargins()));
    }
    watchSubWindow();
    if (sub && sub->mdiArea()) {
        // Brought to the front as the child the user works in (a no-op when the area has
        // just activated it); a change runs FormActivate through watchSubWindow().
        sub->mdiArea()->setActiveSubWindow(sub);
        sub->activateWindow();
    }
}

void TfrmPadraoGrid::RestoreNormal()
{
    QWidget *w = SubWindow() ? static_cast<QWidget *>(SubWindow()) : this;
    w->showNormal();
    if (QMdiSubWindow *sub = SubWindow()) {
        if (sub->mdiArea()) {
            sub->mdiArea()->setActiveSubWindow(sub);
        }
    } else {
        activateWindow();
    }
}

bool TfrmPadraoGrid::IsMinimized() const
{
    const QWidget *w = SubWindow() ? static_cast<const QWidget *>(SubWindow()) : this;
    return w->isMinimized();
}

void TfrmPadraoGrid::watchSubWindow()
{
    QMdiSubWindow *sub = SubWindow();
    if (!sub || m_watching) {
        return;
    }
    m_watching = true;
    // Inside the host the sub-window, not this widget, is what becomes active.
    connect(sub, &QMdiSubWindow::windowStateChanged, this,
            [this](Qt::WindowStates before, Qt::WindowStates now) {
                if (!(before & Qt::WindowActive) && (now & Qt::WindowActive)) {
                    Activate();
                }
            });
    // The area activates a new child as it shows it, before it can be watched; that counts
    // as this screen's activation even while another application holds the focus.
    if ((sub->windowState() & Qt::WindowActive) && sub->mdiArea() && sub->mdiArea()->activeSubWindow() == sub) {
        Activate();
    }
}

bool TfrmPadraoGrid::event(QEvent *event)
{
    if (event->type() == QEvent::WindowActivate && isWindow()) {
        Activate();
    }
    return QWidget::event(event);
}

void TfrmPadraoGrid::closeEvent(QCloseEvent *event)
{
    if (!m_closed) {
        // A question that fails (a refused save) keeps the screen open, as Cancelar does.
        bool canClose = false;
        vcl::guarded([&] { canClose = FormCloseQuery(); });
        if (!canClose) {
            event->ignore();
            return;
        }
        m_closed = true;
        vcl::guarded([this] { FormClose(); });
    }
    event->accept();
    // A screen closed by code must not leave an empty sub-window behind.
    if (QMdiSubWindow *sub = SubWindow()) {
        sub->deleteLater();
    }
}

void TfrmPadraoGrid::dtsPadraoStateChange()
{
    const dataset::TDataSetState state = dtsPadrao->State();
    enableFor(sbtAlterar, UserSession::Right::Write, state == dataset::dsBrowse);
    sbtCancelar->setEnabled(state == dataset::dsEdit || state == dataset::dsInsert);
    sbtVerificar->setEnabled(state == dataset::dsInactive || state == dataset::dsBrowse);
}

void TfrmPadraoGrid::sbtAlterarClick()
{
    dataset::TClientDataSet *ds = dtsPadrao->DataSet();
    // Editing an empty set would start a new row, which these screens never do.
    if (ds && ds->State() == dataset::dsBrowse && !ds->IsEmpty()) {
        ds->Edit();
    }
}

void TfrmPadraoGrid::sbtCancelarClick()
{
    dataset::TClientDataSet *ds = dtsPadrao->DataSet();
    if (ds && (ds->State() == dataset::dsEdit || ds->State() == dataset::dsInsert)) {
        ds->Cancel();
    }
}

void TfrmPadraoGrid::sbtImprimirClick()
{
    interaction().message(mtInformation, windowTitle(), QStringLiteral("Esta tela não tem relatório."), mbOK, this);
}

QString TfrmPadraoGrid::HelpKeyword() const
{
    return QString::fromLatin1(metaObject()->className()).section(QStringLiteral("::"), -1);
}

void TfrmPadraoGrid::sbtAjudaClick()
{
    if (!help::showTopic(HelpKeyword(), this) && !help::showTopic(lblCodTela->text(), this))
        interaction().message(mtInformation, windowTitle(),
                              QStringLiteral("Não há ajuda instalada para a tela %1.").arg(lblCodTela->text()), mbOK, this);
}

void TfrmPadraoGrid::dbgPadraoKeyDown(int &, Qt::KeyboardModifiers)
{
}

void TfrmPadraoGrid::dbgPadraoKeyPress(QChar &)
{
}

void TfrmPadraoGrid::navigate(int how)
{
    dataset::TClientDataSet *ds = dtsPadrao->DataSet();
    if (!ds || !ds->Active()) {
        return;
    }
    switch (how) {
    case 0: ds->First(); break;
    case 1: ds->Prior(); break;
    case 2: ds->Next(); break;
    default: ds->Last(); break;
    }
}

} // namespace fiscal::clientlib
