// The main screen's tabs, grids, data sets, queries, tool buttons and menus.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/mainscreen/layout.h"
#include "Pkg_Ger10200/shared/builders.h"
#include "Pkg_Ger10200/mainscreen/toolicons.h"
#include "Pkg_Ger10200/module.h"
#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "Pkg_Ger10200/shared/celltext.h"
#include "Pkg_Ger10200/shared/codefield.h"

#include "clientlib/adoibquery.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/hostservices.h"
#include "clientlib/messages.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/colors.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/dbgrid.h"
#include "vcl/guard.h"
#include "vcl/maskedit.h"
#include "vcl/menus.h"
#include "vcl/pagecontrol.h"
#include "protocol/objects.h"
#include "protocol/lookups.h"

#include <QBoxLayout>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QTimer>

namespace fiscal::ger10200 {

namespace lookup = protocol::lookup;

namespace method = protocol::method;

using dataset::TClientDataSet;
using dataset::TDataSource;

namespace {

vcl::TDBGrid *makeGrid(QWidget *parent, const QString &name, TDataSource *dts,
                       std::span<const layout::ColumnSpec> columns, bool alwaysShowSelection)
{
    auto *grid = new vcl::TDBGrid(parent);
    grid->setObjectName(name);
    grid->setColor(vcl::clInfoBk());
    grid->setFrameShape(QFrame::NoFrame);
    vcl::TDBGridOptions options = vcl::dgEditing | vcl::dgTitles | vcl::dgColumnResize
        | vcl::dgColLines | vcl::dgRowLines | vcl::dgTabs | vcl::dgConfirmDelete
        | vcl::dgCancelOnExit;
    if (alwaysShowSelection)
        options |= vcl::dgAlwaysShowSelection;
    grid->setOptions(options);
    grid->setDataSource(dts);
    addColumns(grid, columns);
    return grid;
}

vcl::TLabel *boldLabel(QWidget *parent, const QString &name, const QString &caption)
{
    auto *l = new vcl::TLabel(caption, true, parent);
    l->setObjectName(name);
    return l;
}

} // namespace

TfrmParamGrupFiscal::TfrmParamGrupFiscal(QWidget *parent)
    : clientlib::TfrmPadraoGrid(parent)
{
    setObjectName(QStringLiteral("frmParamGrupFiscal"));
    setWindowTitle(QStringLiteral("Parâmetros de Grupo Fiscal"));
    lblCodTela->setCaption(QStringLiteral("GER10200"));
    // A fixed single border: the base screen keeps the host's sub-window at this size.
    setFixedSize(877, 308);

    QStringList rows;
    for (const char *row : layout::msgPadrao)
        rows << QString::fromUtf8(row);
    msgPadrao->setStrings(rows);

    netParamGrupFiscal = new NetParamGrupFiscal(this);
    buildTabs();
    buildMenus();
    buildReportMenus();
    buildHistoryMenus();
    buildImportCommands();
    wireImpFili();
    wireImpInscEsta();
    wireOperInter();
    wireTipoGest();
    for (const GridMember &m : std::as_const(m_members)) {
        wireSaving(m);
        wireGridCells(m);
    }
    wireRegistrationText(cdsFornecedor, QStringLiteral("NRINSJURFORN"), QStringLiteral("IDTPIJURFORN"));
    wireRegistrationText(cdsCliente, QStringLiteral("NRINSJURCLIE"), QStringLiteral("IDTPIJURCLIE"));
    wireRegistrationText(cdsFornInsc, QStringLiteral("NRINSJURFORN"), QStringLiteral("IDTPIJURFORN"));
    wireRegistrationText(cdsCliInsc, QStringLiteral("NRINSJURCLIE"), QStringLiteral("IDTPIJURCLIE"));
    wireRegistrationText(qryInscEsta, QStringLiteral("NRINSJURIEST"), QStringLiteral("IDTPIJURIEST"));

    // The billing-type name shows in the navigator panel through NOME.
    cdsTipoFatur->FieldByName(QStringLiteral("NOME"))->OnGetText =
        [this](dataset::TField &, QString &text, bool) {
            text = msgPadrao->Msg(cdsTipoFatur->FieldByName(QStringLiteral("CDTIPOFATUR"))->AsString());
        };
    cdsTipoFatur->FieldByName(QStringLiteral("CDTIPOFATUR"))->OnGetText =
        [this](dataset::TField &sender, QString &text, bool) {
            text = sender.AsString() + QStringLiteral(" - ") + msgPadrao->Msg(sender.AsString());
        };

    pgcPadrao->OnChanging = [this](bool &allow) { allow = mayLeaveTab(); };
    pgcPadrao->OnChange = [this] { pgcPadraoChange(); };
}

TfrmParamGrupFiscal::~TfrmParamGrupFiscal()
{
    // The data sets go before the widgets that show them; nothing may call back into this
    // half-destroyed screen on the way.
    for (TDataSource *dts : findChildren<TDataSource *>()) {
        dts->OnStateChange = {};
        dts->OnDataChange = {};
        dts->blockSignals(true);
    }
    for (TClientDataSet *cds : findChildren<TClientDataSet *>())
        cds->blockSignals(true);
}

void TfrmParamGrupFiscal::buildTabs()
{
    namespace L = layout;
    cdsFornecedor = makeDataSet(this, QStringLiteral("cdsFornecedor"), L::cdsFornecedor);
    cdsCliente = makeDataSet(this, QStringLiteral("cdsCliente"), L::cdsCliente);
    cdsFilial = makeDataSet(this, QStringLiteral("cdsFilial"), L::cdsFilial);
    cdsTipoOperac = makeDataSet(this, QStringLiteral("cdsTipoOperac"), L::cdsTipoOperac);
    cdsTipoFatur = makeDataSet(this, QStringLiteral("cdsTipoFatur"), L::cdsTipoFatur);
    cdsOperInter = makeDataSet(this, QStringLiteral("cdsOperInter"), L::cdsOperInter);
    cdsTipoGest = makeDataSet(this, QStringLiteral("cdsTipoGest"), L::cdsTipoGest);
    cdsImpFili = makeDataSet(this, QStringLiteral("cdsImpFili"), L::cdsImpFili);
    cdsFornInsc = makeDataSet(this, QStringLiteral("cdsFornInsc"), L::cdsFornInsc);
    cdsCliInsc = makeDataSet(this, QStringLiteral("cdsCliInsc"), L::cdsCliInsc);
    cdsGrupoFiscal = makeDataSet(this, QStringLiteral("cdsGrupoFiscal"), L::cdsGrupoFiscal);

    dtsFornecedor = makeSource(this, QStringLiteral("dtsFornecedor"), cdsFornecedor);
    dtsCliente = makeSource(this, QStringLiteral("dtsCliente"), cdsCliente);
    dtsFilial = makeSource(this, QStringLiteral("dtsFilial"), cdsFilial);
    dtsTipooperac = makeSource(this, QStringLiteral("dtsTipooperac"), cdsTipoOperac);
    dtsTipoFatur = makeSource(this, QStringLiteral("dtsTipoFatur"), cdsTipoFatur);
    dtsOperInter = makeSource(this, QStringLiteral("dtsOperInter"), cdsOperInter);
    dtsTipoGest = makeSource(this, QStringLiteral("dtsTipoGest"), cdsTipoGest);
    dtsImpFili = makeSource(this, QStringLiteral("dtsImpFili"), cdsImpFili);
    dtsFornInsc = makeSource(this, QStringLiteral("dtsFornInsc"), cdsFornInsc);
    dtsCliInsc = makeSource(this, QStringLiteral("dtsCliInsc"), cdsCliInsc);
    dtsGrupoFiscal = makeSource(this, QStringLiteral("dtsGrupoFiscal"), cdsGrupoFiscal);

    qryImposto = makeQuery(this, QStringLiteral("qryImposto"), lookup::kImpostos, L::qryImposto);
    qryValidImposto = makeQuery(this, QStringLiteral("qryValidImposto"), lookup::kImposto, L::qryImposto);
    qryEmpresa = makeQuery(this, QStringLiteral("qryEmpresa"), lookup::kEmpresaOuTodas, L::qryEmpresa);
    qryInscEsta = makeQuery(this, QStringLiteral("qryInscEsta"), lookup::kInscricaoDaEmpresaOuTodas, L::qryInscEsta);
    qryImp = makeQuery(this, QStringLiteral("qryImp"), lookup::kImpostoOuTodos, L::qryImposto);
    qryGrupoFisc = makeQuery(this, QStringLiteral("qryGrupoFisc"), lookup::kGruposFiscais, L::qryGrupoFisc);
    qryVd_GrupoFiscGrid = makeQuery(this, QStringLiteral("qryVd_GrupoFiscGrid"), lookup::kGrupoFiscal, L::qryGrupoFisc);
    dtsImposto = makeSource(this, QStringLiteral("dtsImposto"), qryImposto);
    dtsEmpresa = makeSource(this, QStringLiteral("dtsEmpresa"), qryEmpresa);
    dtsInscEsta = makeSource(this, QStringLiteral("dtsInscEsta"), qryInscEsta);
    dtsImp = makeSource(this, QStringLiteral("dtsImp"), qryImp);
    dtsGrupoFisc = makeSource(this, QStringLiteral("dtsGrupoFisc"), qryGrupoFisc);

    // 1: the base screen's tab and grid.
    tshPadrao->setCaption(QStringLiteral("Fornecedor"));
    dbgPadrao->setDataSource(dtsFornecedor);
    addColumns(dbgPadrao, L::dbgPadrao);

    auto gridTab = [this](const char *tabName, const char *caption, vcl::TDBGrid *&grid,
                          const char *gridName, TDataSource *dts,
                          std::span<const L::ColumnSpec> columns, bool showSelection) {
        vcl::TTabSheet *tab = pgcPadrao->addPage(QString::fromUtf8(caption));
        tab->setObjectName(QString::fromLatin1(tabName));
        grid = makeGrid(tab, QString::fromLatin1(gridName), dts, columns, showSelection);
        auto *lay = new QVBoxLayout(tab);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->addWidget(grid);
        return tab;
    };
    tshCliente = gridTab("tshCliente", "Cliente", dbgCliente, "dbgCliente", dtsCliente, L::dbgCliente, true);
    tshFilial = gridTab("tshFilial", "Filial", dbgFilial, "dbgFilial", dtsFilial, L::dbgFilial, true);
    tshTipoOperac = gridTab("tshTipoOperac", "Tipo de Operação", dbgTipooperac, "dbgTipooperac",
                            dtsTipooperac, L::dbgTipooperac, true);
    tshTipoContrato = gridTab("tshTipoContrato", "Tipo de Contrato (Faturamento)", dbgTipoFatur,
                              "dbgTipoFatur", dtsTipoFatur, L::dbgTipoFatur, true);
    buildOperInterTab();
    tshTipoGest = gridTab("tshTipoGest", "Tipo de Gestão Fiscal", dbgTipoGest, "dbgTipoGest",
                          dtsTipoGest, L::dbgTipoGest, false);
    buildImpFiliTab();
    buildImpInscEstaTab();

    // The grids of tabs 2 to 5 and 8 share the base screen's key handling.
    for (vcl::TDBGrid *g : {dbgCliente, dbgFilial, dbgTipooperac, dbgTipoFatur, dbgImpFili}) {
        g->OnKeyDown = [this](int &key, Qt::KeyboardModifiers mods) { dbgPadraoKeyDown(key, mods); };
        g->OnKeyPress = [this](QChar &key) { dbgPadraoKeyPress(key); };
    }

    auto copyTax = [this] {
        cdsImpFili->FieldByName(QStringLiteral("CDIMPOSTO"))->setAsString(medCdImposto->Text());
    };
    auto copyInsc = [this](TClientDataSet *cds) {
        return [this, cds] {
            cds->FieldByName(QStringLiteral("CDIMPOSTO"))->setAsString(medImp->Text());
            cds->FieldByName(QStringLiteral("CDEMPRESA"))->setAsString(medCdEmpresa->Text());
            cds->FieldByName(QStringLiteral("CDINSCESTA"))->setAsString(medInscEsta->Text());
        };
    };
    m_members = {
        {cdsFornecedor, dtsFornecedor, dbgPadrao, method::SetFornecedor, QStringLiteral("FORNECEDOR")},
        {cdsCliente, dtsCliente, dbgCliente, method::SetCliente, QStringLiteral("CLIENTE")},
        {cdsFilial, dtsFilial, dbgFilial, method::SetFilial, QStringLiteral("FILIAL")},
        {cdsTipoOperac, dtsTipooperac, dbgTipooperac, method::SetTipoOperac, QStringLiteral("TIPOOPERAC")},
        {cdsTipoFatur, dtsTipoFatur, dbgTipoFatur, method::SetTipoFatur, QStringLiteral("PARAMFILIAL"),
         {}, true},
        {cdsImpFili, dtsImpFili, dbgImpFili, method::SetImpFili, QStringLiteral("FILIAL"), copyTax},
        {cdsFornInsc, dtsFornInsc, dbgFornInsc, method::SetFornInsc, QString(), copyInsc(cdsFornInsc)},
        {cdsCliInsc, dtsCliInsc, dbgCliInsc, method::SetCliInsc, QString(), copyInsc(cdsCliInsc)},
    };

    // Tool bar buttons of this screen, disabled until a tab enables them.
    sbtAutomatico = addToolButton(QStringLiteral("sbtAutomatico"), QStringLiteral("Cadastramento Automático"),
                                  automaticIcon());
    sbtReplica = addToolButton(QStringLiteral("sbtReplica"), QStringLiteral("Replicação de Alíquotas"),
                               replicationIcon());
    sbtAutomatico->setEnabled(false);
    sbtReplica->setEnabled(false);
    sbtAutomatico->OnClick = [this] { sbtAutomaticoClick(); };
    sbtReplica->OnClick = [this] { sbtReplicaClick(); };

    lblNome = boldLabel(this, QStringLiteral("lblNome"), QString());
    panNavegar->layout()->addWidget(lblNome);
    lblNome->hide();
    dbtNome->setDataSource(dtsFornecedor);
}

void TfrmParamGrupFiscal::buildOperInterTab()
{
    tshOperInter = pgcPadrao->addPage(QStringLiteral("Operações Interestaduais"));
    tshOperInter->setObjectName(QStringLiteral("tshOperInter"));
    auto *box = new vcl::TGroupBox(QString(), tshOperInter);
    lblGrupoFiscal = boldLabel(box, QStringLiteral("lblGrupoFiscal"), QStringLiteral("Grupo Fiscal"));
    medGrFiscOpEs = makeCodeBox(box, QStringLiteral("medGrFiscOpEs"), QString::fromLatin1(layout::kMaskGrupo), 3, 40);
    edtNmGrupFisc = makeNameBox(box, QStringLiteral("edtNmGrupFisc"), 258);
    btpPesqGrupFisc = makeSearch(box, QStringLiteral("btpPesqGrupFisc"), medGrFiscOpEs,
                                 QStringLiteral("Grupo Fiscal"), dtsGrupoFiscal,
                                 QStringLiteral("Não há grupo fiscal cadastrado."));
    auto *row = new QHBoxLayout(box);
    row->addWidget(lblGrupoFiscal);
    row->addWidget(medGrFiscOpEs);
    row->addWidget(btpPesqGrupFisc);
    row->addWidget(edtNmGrupFisc);
    row->addStretch();
    auto *lay = new QVBoxLayout(tshOperInter);
    lay->addWidget(box);
    lay->addStretch();
}

void TfrmParamGrupFiscal::buildImpFiliTab()
{
    tshImpFili = pgcPadrao->addPage(QStringLiteral("Imposto/Filial"));
    tshImpFili->setObjectName(QStringLiteral("tshImpFili"));
    panImposto = new vcl::TPanel(tshImpFili);
    panImposto->setObjectName(QStringLiteral("panImposto"));
    panImposto->setFixedHeight(32);
    lblImposto = boldLabel(panImposto, QStringLiteral("lblImposto"), QStringLiteral("Imposto"));
    medCdImposto = makeCodeBox(panImposto, QStringLiteral("medCdImposto"), QString::fromLatin1(layout::kMaskCodigo2), 2, 30);
    btpImposto = makeSearch(panImposto, QStringLiteral("btpImposto"), medCdImposto, QStringLiteral("Imposto"),
                            dtsImposto, QStringLiteral("Não há imposto cadastrado."));
    edtNmImposto = makeNameBox(panImposto, QStringLiteral("edtNmImposto"), 296);
    auto *row = new QHBoxLayout(panImposto);
    row->setContentsMargins(4, 2, 4, 2);
    row->addWidget(lblImposto);
    row->addWidget(medCdImposto);
    row->addWidget(btpImposto);
    row->addWidget(edtNmImposto);
    row->addStretch();
    dbgImpFili = makeGrid(tshImpFili, QStringLiteral("dbgImpFili"), dtsImpFili, layout::dbgImpFili, true);
    auto *lay = new QVBoxLayout(tshImpFili);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->addWidget(panImposto);
    lay->addWidget(dbgImpFili);
}

void TfrmParamGrupFiscal::buildImpInscEstaTab()
{
    tshImpInscEsta = pgcPadrao->addPage(QStringLiteral("Imposto/Inscrição Estadual"));
    tshImpInscEsta->setObjectName(QStringLiteral("tshImpInscEsta"));
    panImpInscEsta = new vcl::TPanel(tshImpInscEsta);
    panImpInscEsta->setObjectName(QStringLiteral("panImpInscEsta"));
    panImpInscEsta->setFixedHeight(78);

    medCdEmpresa = makeCodeBox(panImpInscEsta, QStringLiteral("medCdEmpresa"), QString::fromLatin1(layout::kMaskCodigo2), 2, 25);
    btpEmpresa = makeSearch(panImpInscEsta, QStringLiteral("btpEmpresa"), medCdEmpresa, QStringLiteral("Empresa"),
                            dtsEmpresa, QStringLiteral("Não há empresa cadastrada."));
    edtNmEmpresa = makeNameBox(panImpInscEsta, QStringLiteral("edtNmEmpresa"), 297);
    // Free text, no length limit: a code that no registration has is reported as such.
    medInscEsta = makeCodeBox(panImpInscEsta, QStringLiteral("medInscEsta"), QString(), 0, 154);
    btpInscEsta = makeSearch(panImpInscEsta, QStringLiteral("btpInscEsta"), medInscEsta,
                             QStringLiteral("Inscrição Estadual"), dtsInscEsta,
                             QStringLiteral("Não há Inscrição Estadual cadastrada."));
    medImp = makeCodeBox(panImpInscEsta, QStringLiteral("medImp"), QString::fromLatin1(layout::kMaskCodigo2), 2, 30);
    btpImp = makeSearch(panImpInscEsta, QStringLiteral("btpImp"), medImp, QStringLiteral("Imposto"), dtsImp,
                        QStringLiteral("Não há imposto cadastrado."));
    edtNmImp = makeNameBox(panImpInscEsta, QStringLiteral("edtNmImp"), 296);
    for (clientlib::TBtnPesquisa *b : {btpEmpresa, btpInscEsta, btpImp})
        b->setPesqChave(qobject_cast<QWidget *>(b->Associate()) == medInscEsta ? QStringLiteral("CDINSCESTA")
                        : b == btpEmpresa ? QStringLiteral("CDEMPRESA") : QStringLiteral("CDIMPOSTO"));

    auto *grid = new QGridLayout(panImpInscEsta);
    grid->setContentsMargins(4, 2, 4, 2);
    grid->addWidget(boldLabel(panImpInscEsta, QStringLiteral("lblEmpresa"), QStringLiteral("Empresa")), 0, 0);
    grid->addWidget(medCdEmpresa, 0, 1);
    grid->addWidget(btpEmpresa, 0, 2);
    grid->addWidget(edtNmEmpresa, 0, 3);
    grid->addWidget(boldLabel(panImpInscEsta, QStringLiteral("lblInscEstad"), QStringLiteral("Inscrição Estadual")), 1, 0);
    grid->addWidget(medInscEsta, 1, 1, 1, 1);
    grid->addWidget(btpInscEsta, 1, 2);
    grid->addWidget(boldLabel(panImpInscEsta, QStringLiteral("Label1"), QStringLiteral("Imposto")), 2, 0);
    grid->addWidget(medImp, 2, 1);
    grid->addWidget(btpImp, 2, 2);
    grid->addWidget(edtNmImp, 2, 3);
    grid->setColumnStretch(4, 1);

    pgcCliente = new vcl::TPageControl(tshImpInscEsta);
    pgcCliente->setObjectName(QStringLiteral("pgcCliente"));
    pgcCliente->setFocusPolicy(Qt::NoFocus);
    tshFornecedor = pgcCliente->addPage(QStringLiteral("Fornecedor"));
    tshFornecedor->setObjectName(QStringLiteral("tshFornecedor"));
    tshCli = pgcCliente->addPage(QStringLiteral("Cliente"));
    tshCli->setObjectName(QStringLiteral("tshCli"));
    dbgFornInsc = makeGrid(tshFornecedor, QStringLiteral("dbgFornInsc"), dtsFornInsc, layout::dbgFornInsc, true);
    dbgCliInsc = makeGrid(tshCli, QStringLiteral("dbgCliInsc"), dtsCliInsc, layout::dbgCliInsc, true);
    for (auto [tab, g] : {std::pair{tshFornecedor, dbgFornInsc}, std::pair{tshCli, dbgCliInsc}}) {
        auto *l = new QVBoxLayout(tab);
        l->setContentsMargins(0, 0, 0, 0);
        l->addWidget(g);
    }

    auto *lay = new QVBoxLayout(tshImpInscEsta);
    lay->setContentsMargins(0, 0, 0, 0);
    lay->addWidget(panImpInscEsta);
    lay->addWidget(pgcCliente);
}

void TfrmParamGrupFiscal::buildMenus()
{
    auto tabEntry = [this](const char *name, const char *caption, vcl::TTabSheet *tab) {
        QAction *a = vcl::newMenuItem(this, QString::fromUtf8(caption), {},
                                      [this, tab] { selectTabFromMenu(tab); }, true);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    mnuFornecedor = tabEntry("mnuFornecedor", "&Fornecedor", tshPadrao);
    mnuCliente = tabEntry("mnuCliente", "C&liente", tshCliente);
    mnuFilial = tabEntry("mnuFilial", "F&ilial", tshFilial);
    mnuTipoOperac = tabEntry("mnuTipoOperac", "&Tipo de Operação", tshTipoOperac);
    mnuTipoContrato = tabEntry("mnuTipoContrato", "Tipo de Contrato (Faturamento)", tshTipoContrato);
    mnuOperInter = tabEntry("mnuOperInter", "Operações Interestaduais", tshOperInter);
    mnuImpFili = tabEntry("mnuImpFili", "Imposto/Filial", tshImpFili);
    mnuImpInscEsta = tabEntry("mnuImpInscEsta", "Imposto/Inscrição Estadual", tshImpInscEsta);
    mnuFornecedor->setChecked(true);

    mnuOperacao->insertActions(mnuSeparadorOperacao, tabMenus());

    mnuManutencao->addSeparator();
    mnuCadAutomatico = vcl::newMenuItem(this, QStringLiteral("Ca&dastramento Automático"),
                                        QKeySequence(QStringLiteral("Ctrl+A")),
                                        [this] { sbtAutomaticoClick(); });
    mnuCadAutomatico->setObjectName(QStringLiteral("mnuCadAutomatico"));
    mnuReplica = vcl::newMenuItem(this, QStringLiteral("Replicação"), QKeySequence(QStringLiteral("Ctrl+R")),
                                  [this] { sbtReplicaClick(); });
    mnuReplica->setObjectName(QStringLiteral("mnuReplica"));
    mnuManutencao->addAction(mnuCadAutomatico);
    mnuManutencao->addAction(mnuReplica);
    vcl::linkEnabled(mnuCadAutomatico, sbtAutomatico);
    vcl::linkEnabled(mnuReplica, sbtReplica);
    // The shortcuts work while the screen has the focus; Ctrl+A also in its boxes and
    // grid editors, where it would otherwise select the text.
    addAction(mnuCadAutomatico);
    addAction(mnuReplica);
    vcl::shortcutWins(mnuCadAutomatico, this);

    // Screen readers name each grid by its tab ("Imposto/Inscrição Estadual - Cliente").
    for (vcl::TDBGrid *g : findChildren<vcl::TDBGrid *>()) {
        QStringList tabs;
        for (QWidget *w = g->parentWidget(); w && w != this; w = w->parentWidget()) {
            if (auto *sheet = qobject_cast<vcl::TTabSheet *>(w))
                tabs.prepend(sheet->Caption());
        }
        if (g->accessibleName().isEmpty() && !tabs.isEmpty())
            g->setAccessibleName(tabs.join(QStringLiteral(" - ")));
    }
}

vcl::TSpeedButton *TfrmParamGrupFiscal::addToolButton(const QString &name, const QString &hint,
                                                      const QIcon &icon)
{
    auto *btn = new vcl::TSpeedButton(panMenu);
    btn->setObjectName(name);
    btn->setHint(hint);
    btn->setIcon(icon);
    // After the base's record commands, in the order they are added.
    QWidget *after = sbtAutomatico ? static_cast<QWidget *>(sbtAutomatico) : static_cast<QWidget *>(sbtLocalizar);
    if (auto *bar = qobject_cast<QBoxLayout *>(panMenu->layout()))
        bar->insertWidget(bar->indexOf(after) + 1, btn);
    return btn;
}

} // namespace fiscal::ger10200
