// The automatic registration by tax and state registration: its controls, the tax and
// fiscal-group code fields, and the connection opened on create and closed on close.

#include "Pkg_Ger10200/cadastroinscricao/frmcadautoimpinscesta.h"

#include "Pkg_Ger10200/shared/builders.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/celltext.h"
#include "Pkg_Ger10200/shared/codefield.h"

#include "clientlib/adoibquery.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/datasetroutines.h"
#include "clientlib/hostservices.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/colors.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/edit.h"
#include "vcl/maskedit.h"
#include "protocol/objects.h"
#include "protocol/lookups.h"

#include <QBoxLayout>
#include <QGridLayout>
#include <QLineEdit>
#include <QMainWindow>

namespace fiscal::ger10200 {

namespace lookup = protocol::lookup;

namespace method = protocol::method;

namespace {

using layout::FieldSpec;

constexpr FieldSpec kGrupoFiscal[] = {
    {"CDGRUPOFISC", 3, "Código", true, false, "!999;0; "},
    {"DSGRUPOFISC", 30, "Descrição"},
};
constexpr FieldSpec kImposto[] = {
    {"CDIMPOSTO", 2, "Código"},
    {"NMIMPOSTO", 30, "Nome"},
};
constexpr FieldSpec kValidImposto[] = {
    {"CDIMPOSTO", 2, nullptr, false},
    {"NMIMPOSTO", 30, nullptr, false},
};
constexpr FieldSpec kInscrestad[] = {
    {"CDEMPRESA", 2, "Empresa"},
    {"CDINSCESTA", 16, "Código"},
    {"NRINSJURIEST", 20, "Inscrição"},
    {"NMREPRINSEST", 40, "Representante Legal"},
    {"IDTPIJURIEST", 1, nullptr, false},
    {"COD", 18, nullptr, false},
};
constexpr FieldSpec kCliente[] = {
    {"CDCLIENTE", 21, "Código"},
    {"IDTPIJURCLIE", 1, nullptr, false},
    {"NRINSJURCLIE", 20, "Inscrição"},
    {"NMRAZSOCCLIE", 50, "Razão Social"},
};
constexpr FieldSpec kFornecedor[] = {
    {"CDFORNECED", 21, "Código"},
    {"IDTPIJURFORN", 1, nullptr, false},
    {"NRINSJURFORN", 20, "Inscrição"},
    {"NMRAZSOCFORN", 40, "Razão Social"},
};

const char *const kMessages[] = {
    "Grup_inf|Grupo fiscal deve ser informado.",
    "Grup_n_cad|Grupo fiscal não cadastrado.",
    "Imp_Inf|Imposto deve ser informado.",
    "Imp_Cad|Imposto não cadastrado.",
    "InscrEstad|Inscrição Estadual",
    "Cliente|Cliente",
    "NInscrEstad|Não há Inscrição Estadual cadastrada.",
    "NCliente|Não há Cliente cadastrado.",
    "NFornecedor|Não há fornecedor cadastrado.",
    "TipoCad_Inf|Tipo de cadastramento deve ser informado.",
    "Insc_Inf|Inscrição Estadual deve ser informada.",
    "Cliente_Inf|Cliente deve ser informado.",
    "Fornecedor_Inf|Fornecedor deve ser informado.",
    "ClieForn_Inf|Nenhum Cliente e nenhum Fornecedor selecionado.",
    "ConfirmaTodos|Atenção! O cadastramento automático será realizado em todos os clientes e todos os "
    "fornecedores. Confirma operação?",
    "ConfirmaTodosVazios|Atenção! O cadastramento automático será realizado em todos os clientes e todos os "
    "fornecedores não vinculados a um grupo fiscal. Confirma operação?",
    "ConfirmaTodosLimpar|Atenção! O cadastramento automático irá excluir o grupo fiscal de todos os clientes e "
    "todos os fornecedores. Confirma operação?",
    "ConfirmaTodosClientes|Atenção! O cadastramento automático será realizado em todos os clientes. Confirma "
    "operação?",
    "ConfirmaTodosVaziosClientes|Atenção! O cadastramento automático será realizado em todos os clientes não "
    "vinculados a um grupo fiscal. Confirma operação?",
    "ConfirmaTodosLimparClientes|Atenção! O cadastramento automático irá excluir o grupo fiscal de todos os "
    "clientes. Confirma operação?",
    "ConfirmaTodosFornecedores|Atenção! O cadastramento automático será realizado em todos os fornecedores. "
    "Confirma operação?",
    "ConfirmaTodosVaziosFornecedores|Atenção! O cadastramento automático será realizado em todos os fornecedores "
    "não vinculados a um grupo fiscal. Confirma operação?",
    "ConfirmaTodosLimparFornecedores|Atenção! O cadastramento automático irá excluir o grupo fiscal de todos os "
    "fornecedores. Confirma operação?",
    "CadaAuto|Realizando cadastramento automático...",
};

// Bold, as every caption of the dialog.
template <typename W>
W *bold(W *w, const char *name)
{
    w->setObjectName(QString::fromLatin1(name));
    QFont f = w->font();
    f.setBold(true);
    w->setFont(f);
    return w;
}

// A list button: the screen's own click opens the list (no code box, no title of its own);
// `list` names it for screen readers.
clientlib::TBtnPesquisa *listButton(vcl::TPanel *panel, const char *name, const QString &list)
{
    clientlib::TBtnPesquisa *b = makeSearch(panel, QString::fromLatin1(name), nullptr, QString(), nullptr, QString());
    b->setAccessibleName(list);
    panel->layout()->addWidget(b);
    return b;
}

} // namespace

TfrmCadAutoImpInscEsta::TfrmCadAutoImpInscEsta(QWidget *parent)
    : clientlib::TfrmRotiGeral(parent)
{
    setObjectName(QStringLiteral("frmCadAutoImpInscEsta"));
    setWindowTitle(QStringLiteral("Cadastramento Automático Imposto/Inscrição Estadual"));
    lblCodTela->setCaption(QStringLiteral("GER10201"));
    setClientSize(421, 243);
    QStringList rows;
    for (const char *row : kMessages)
        rows << QString::fromUtf8(row);
    msgPadrao->setStrings(rows);

    netCadAutInscEsta = new NetRemoteObject(QStringLiteral("netCadAutInscEsta"), protocol::kCadAutParGrpFis, this);
    sbtSimular = addColumnButton("sbtSimular", QStringLiteral("Si&mular"), QStyle::SP_FileDialogContentsView);
    sbtSimular->OnClick = [this] { sbtSimularClick(); };
    buildDataSets();
    buildControls();

    m_vdImposto = std::make_unique<CodeField>(
        medImposto, edtNmImposto, msgPadrao,
        CodeFieldSpec{2, QStringLiteral("Imp_Inf"), QStringLiteral("Imp_Cad")},
        [this](const QString &code) { return lookUpTax(code); });
    m_vdImposto->wire();
    m_vdGrupoFiscal = std::make_unique<CodeField>(
        edtGrupoFiscal, edtNMGrupoFiscal, msgPadrao,
        CodeFieldSpec{3, QStringLiteral("Grup_inf"), QStringLiteral("Grup_n_cad")},
        [this](const QString &code) { return lookUpGroup(code); });
    m_vdGrupoFiscal->wire();
    edtGrupoFiscal->OnKeyPress = [this](QChar &key) { edtGrupoFiscalKeyPress(key); };
    btpImposto->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) { btpImpostoBeforePesq(); };
    btpImposto->OnAfterPesq = [this](clientlib::TBtnPesquisa &) { btpImpostoAfterPesq(); };
    btpGrupoFiscal->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) { btpGrupoFiscalBeforePesq(); };
    btpGrupoFiscal->OnAfterPesq = [this](clientlib::TBtnPesquisa &) { btpGrupoFiscalAfterPesq(); };
    wireSelection();
}

TfrmCadAutoImpInscEsta::~TfrmCadAutoImpInscEsta() = default;

void TfrmCadAutoImpInscEsta::buildDataSets()
{
    cdsGrupoFiscal = new dataset::TClientDataSet(this);
    cdsGrupoFiscal->setObjectName(QStringLiteral("cdsGrupoFiscal"));
    addFields(cdsGrupoFiscal, kGrupoFiscal);
    dtsGrupoFisc = makeSource(this, QStringLiteral("dtsGrupoFisc"), cdsGrupoFiscal);

    qryImposto = makeQuery(this, QStringLiteral("qryImposto"), lookup::kImpostoOuTodos, kImposto);
    dtsImposto = makeSource(this, QStringLiteral("dtsImposto"), qryImposto);
    qryValidImposto = makeQuery(this, QStringLiteral("qryValidImposto"), lookup::kImposto, kValidImposto);
    qryInscrestad = makeQuery(this, QStringLiteral("qryInscrestad"), lookup::kInscricoes, kInscrestad);
    dtsInscrestad = makeSource(this, QStringLiteral("dtsInscrestad"), qryInscrestad);
    qryCliente = makeQuery(this, QStringLiteral("qryCliente"), lookup::kClientes, kCliente);
    dtsCliente = makeSource(this, QStringLiteral("dtsCliente"), qryCliente);
    qryFornecedor = makeQuery(this, QStringLiteral("qryFornecedor"), lookup::kFornecedores, kFornecedor);
    dtsFornecedor = makeSource(this, QStringLiteral("dtsFornecedor"), qryFornecedor);

    wireRegistrationText(qryInscrestad, QStringLiteral("NRINSJURIEST"), QStringLiteral("IDTPIJURIEST"));
    wireRegistrationText(qryCliente, QStringLiteral("NRINSJURCLIE"), QStringLiteral("IDTPIJURCLIE"));
    wireRegistrationText(qryFornecedor, QStringLiteral("NRINSJURFORN"), QStringLiteral("IDTPIJURFORN"));
}

void TfrmCadAutoImpInscEsta::buildControls()
{
    // The tax and the registrations stand beside the button column; the other lines take
    // the dialog's whole width below it, so that no caption is cut in 421 pixels.
    grbDadosRel->setFlat(true);
    grbDadosRel->setStyleSheet(QStringLiteral("QGroupBox#grbDadosRel { border: 0; margin: 0; padding: 0; }"));
    auto *upper = new QGridLayout(grbDadosRel);
    auto *lower = new QGridLayout;
    for (QGridLayout *g : {upper, lower}) {
        g->setContentsMargins(0, 0, 0, 0);
        g->setSpacing(4);
        g->setColumnStretch(1, 1);
    }
    upper->setRowStretch(2, 1);
    auto line = [](QGridLayout *grid, int row, vcl::TLabel *label, QWidget *content) {
        grid->addWidget(label, row, 0);
        grid->addWidget(content, row, 1);
    };
    auto label = [](QWidget *parent, const char *name, const QString &caption) {
        return bold(new vcl::TLabel(caption, true, parent), name);
    };
    auto panel = [](QWidget *parent, const char *name) {
        auto *p = new vcl::TPanel(parent);
        p->setObjectName(QString::fromLatin1(name));
        p->setFrameShape(QFrame::NoFrame);
        auto *l = new QHBoxLayout(p);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(4);
        return p;
    };
    auto radio = [](vcl::TPanel *p, const char *name, const QString &caption) {
        auto *r = bold(new vcl::TRadioButton(caption, p), name);
        p->layout()->addWidget(r);
        return r;
    };

    // Tax line: a panel of its own only for the layout.
    auto *taxLine = panel(grbDadosRel, "panImposto");
    lblImposto = label(grbDadosRel, "lblImposto", QStringLiteral("Imposto"));
    medImposto = makeCodeBox(taxLine, QStringLiteral("medImposto"), QStringLiteral("99;0; "), 2,
                             taxLine->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 12);
    const CodeFieldRow tax = addCodeFieldRow(static_cast<QHBoxLayout *>(taxLine->layout()), medImposto,
                                             {"btpImposto", QStringLiteral("Imposto"), dtsImposto,
                                              QStringLiteral("Não há imposto cadastrado."), "edtNmImposto"});
    btpImposto = tax.search;
    btpImposto->setPesqChave(QStringLiteral("CDIMPOSTO"));
    edtNmImposto = tax.name;
    line(upper, 0, lblImposto, taxLine);

    // The three selection panels: each its own group of radio buttons.
    panInscEsta = panel(grbDadosRel, "panInscEsta");
    lblInscrEstad = label(grbDadosRel, "lblInscrEstad", QStringLiteral("Insc. Estadual"));
    rbtTodasInscEsta = radio(panInscEsta, "rbtTodasInscEsta", QStringLiteral("Todas"));
    rbtListaIncEst = radio(panInscEsta, "rbtListaIncEst", QStringLiteral("Lista"));
    btpInscrestad = listButton(panInscEsta, "btpInscrestad", QStringLiteral("Lista de inscrições estaduais"));
    line(upper, 1, lblInscrEstad, panInscEsta);

    panCliente = panel(this, "panCliente");
    lblCliente = label(this, "lblCliente", QStringLiteral("Cliente"));
    rbtTodosClientes = radio(panCliente, "rbtTodosClientes", QStringLiteral("Todos"));
    rbtListaCliente = radio(panCliente, "rbtListaCliente", QStringLiteral("Lista"));
    btpCliente = listButton(panCliente, "btpCliente", QStringLiteral("Lista de clientes"));
    rbtNenhumCliente = radio(panCliente, "rbtNenhumCliente", QStringLiteral("Nenhum"));
    line(lower, 0, lblCliente, panCliente);

    panFornecedor = panel(this, "panFornecedor");
    lblFornecedor = label(this, "lblFornecedor", QStringLiteral("Fornecedor"));
    rbtTodosFornecedor = radio(panFornecedor, "rbtTodosFornecedor", QStringLiteral("Todos"));
    rbtListaFornecedor = radio(panFornecedor, "rbtListaFornecedor", QStringLiteral("Lista"));
    btpFornecedor = listButton(panFornecedor, "btpFornecedor", QStringLiteral("Lista de fornecedores"));
    rbtNenhumrbtNenhumFornecedor = radio(panFornecedor, "rbtNenhumrbtNenhumFornecedor", QStringLiteral("Nenhum"));
    line(lower, 1, lblFornecedor, panFornecedor);
    for (vcl::TPanel *p : {panInscEsta, panCliente, panFornecedor})
        static_cast<QHBoxLayout *>(p->layout())->addStretch(1);
    rbtTodasInscEsta->setChecked(true);
    rbtListaCliente->setChecked(true);
    rbtListaFornecedor->setChecked(true);

    // Fiscal-group line.
    panGrupo = panel(this, "panGrupo");
    lblGrupo = label(this, "lblGrupo", QStringLiteral("Grupo Fiscal"));
    edtGrupoFiscal = makeGrupoFiscalBox(panGrupo, QStringLiteral("edtGrupoFiscal"));
    const CodeFieldRow group = addCodeFieldRow(static_cast<QHBoxLayout *>(panGrupo->layout()), edtGrupoFiscal,
                                               {"btpGrupoFiscal", QStringLiteral("Grupo Fiscal"), dtsGrupoFisc,
                                                QStringLiteral("Não há grupo fiscal cadastrado."), "edtNMGrupoFiscal"});
    btpGrupoFiscal = group.search;
    edtNMGrupoFiscal = group.name;
    line(lower, 2, lblGrupo, panGrupo);

    // Mode: none chosen at first, the user must pick one.
    grbTipoCad = bold(new vcl::TGroupBox(QStringLiteral("Tipo Cadastramento"), this), "grbTipoCad");
    rdbTodos = bold(new vcl::TRadioButton(QStringLiteral("Todos Registros"), grbTipoCad), "rdbTodos");
    rdbVazios = bold(new vcl::TRadioButton(QStringLiteral("Registros Vazios"), grbTipoCad), "rdbVazios");
    rdbLimpar = bold(new vcl::TRadioButton(QStringLiteral("Limpar Registros"), grbTipoCad), "rdbLimpar");
    auto *modes = new QVBoxLayout(grbTipoCad);
    modes->setContentsMargins(8, 0, 8, 0);
    modes->setSpacing(0);
    modes->addWidget(rdbTodos);
    modes->addWidget(rdbVazios);
    modes->addWidget(rdbLimpar);

    FormLayout()->addLayout(lower, 1, 0, 1, 2);
    FormLayout()->addWidget(grbTipoCad, 2, 0, 1, 2);
    FormLayout()->setRowStretch(2, 1);

    // Labels in one column and the choices of the three panels in columns, above and below
    // the button column alike.
    int labelWidth = 0;
    for (QWidget *l : {lblImposto, lblInscrEstad, lblCliente, lblFornecedor, lblGrupo})
        labelWidth = std::max(labelWidth, l->sizeHint().width());
    upper->setColumnMinimumWidth(0, labelWidth);
    lower->setColumnMinimumWidth(0, labelWidth);
    for (const auto &column : {std::initializer_list<QWidget *>{rbtTodasInscEsta, rbtTodosClientes, rbtTodosFornecedor},
                               std::initializer_list<QWidget *>{rbtListaIncEst, rbtListaCliente, rbtListaFornecedor}}) {
        int width = 0;
        for (QWidget *w : column)
            width = std::max(width, w->sizeHint().width());
        for (QWidget *w : column)
            w->setMinimumWidth(width);
    }

    const QList<QWidget *> order = {medImposto, btpImposto, rbtTodasInscEsta, rbtListaIncEst, btpInscrestad,
                                    rbtTodosClientes, rbtListaCliente, btpCliente, rbtNenhumCliente,
                                    rbtTodosFornecedor, rbtListaFornecedor, btpFornecedor,
                                    rbtNenhumrbtNenhumFornecedor, edtGrupoFiscal, btpGrupoFiscal,
                                    rdbTodos, rdbVazios, rdbLimpar, sbtConfirma, sbtFechar};
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
    // Where the focus is when the dialog is shown.
    medImposto->setFocus(Qt::OtherFocusReason);
}

// ---- open, activate, close ----------------------------------------------------------------

void TfrmCadAutoImpInscEsta::FormCreate()
{
    clientlib::TfrmRotiGeral::FormCreate();
    clientlib::WaitScope wait(clientlib::hostMainWindow(), 0);
    netCadAutInscEsta->Open();
}

void TfrmCadAutoImpInscEsta::FormActivate()
{
    // No focus move here: the dialog is activated again after every box, list and
    // question, and whenever the user comes back from another program. Moving the focus
    // then ran the check of the box it left (a refused code showed its box without end)
    // and took the user away from the box or button a message had named.
    clientlib::TfrmRotiGeral::FormActivate();
    repaint();
}

void TfrmCadAutoImpInscEsta::FormClose()
{
    netCadAutInscEsta->Close();
    clientlib::TfrmRotiGeral::FormClose();
}

// ---- the code fields ------------------------------------------------------------------------

std::optional<QString> TfrmCadAutoImpInscEsta::lookUpTax(const QString &code)
{
    return lookUpQuery(qryValidImposto, {{QStringLiteral("P_CDIMPOSTO"), code}}, QStringLiteral("NMIMPOSTO"));
}

std::optional<QString> TfrmCadAutoImpInscEsta::lookUpGroup(const QString &code)
{
    cdsGrupoFiscal->setData(netCadAutInscEsta->packet(method::GetGrupoFiscal, {code}));
    if (cdsGrupoFiscal->IsEmpty())
        return std::nullopt;
    return cdsGrupoFiscal->FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString();
}

void TfrmCadAutoImpInscEsta::btpImpostoBeforePesq()
{
    lookUpQuery(qryImposto, {{QStringLiteral("P_CDIMPOSTO"), QString()}, {QStringLiteral("P_TCDIMPOSTO"), QStringLiteral("T")}},
                QString());
}

void TfrmCadAutoImpInscEsta::btpImpostoAfterPesq()
{
    m_vdImposto->setFromSearch(qryImposto->FieldByName(QStringLiteral("CDIMPOSTO"))->AsString(),
                               qryImposto->FieldByName(QStringLiteral("NMIMPOSTO"))->AsString());
}

void TfrmCadAutoImpInscEsta::btpGrupoFiscalBeforePesq()
{
    cdsGrupoFiscal->setData(netCadAutInscEsta->packet(method::GetGrupoFiscal, {QString()}));
}

void TfrmCadAutoImpInscEsta::btpGrupoFiscalAfterPesq()
{
    m_vdGrupoFiscal->setFromSearch(cdsGrupoFiscal->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString(),
                                   cdsGrupoFiscal->FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString());
}

void TfrmCadAutoImpInscEsta::edtGrupoFiscalKeyPress(QChar &key)
{
    filterGrupoFiscalKey(key);
}

} // namespace fiscal::ger10200
