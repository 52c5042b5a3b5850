// The replication dialog: its two boxes, the queries behind the lookups and lists, the four
// code fields and the search and list buttons.

#include "Pkg_Ger10200/replica/frmreplica.h"

#include "Pkg_Ger10200/shared/builders.h"
#include "Pkg_Ger10200/shared/celltext.h"
#include "Pkg_Ger10200/shared/codefield.h"

#include "clientlib/adoibquery.h"
#include "clientlib/btnpesquisa.h"
#include "clientlib/search.h"
#include "clientlib/textroutines.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/containers.h"
#include "vcl/controls.h"
#include "vcl/maskedit.h"
#include "protocol/lookups.h"

#include <QBoxLayout>
#include <QGridLayout>
#include <QLineEdit>

namespace fiscal::ger10200 {

namespace lookup = protocol::lookup;

namespace {

using layout::FieldSpec;

constexpr FieldSpec kEmpresaFields[] = {
    {"CDEMPRESA", 2, "Código"},
    {"NMEMPRESA", 40, "Nome"},
    {"NMRAZSOCEMPR", 80, "Razão Social"},
};
constexpr FieldSpec kInscEstadFields[] = {
    {"CDINSCESTA", 16, "Código"},
    {"CDEMPRESA", 2, nullptr, false},
    {"NRINSJURIEST", 20, "Inscrição"},
    {"NMREPRINSEST", 40, "Representante Legal"},
    {"SGESTADO", 2, nullptr, false},
    {"IDTPIJURIEST", 1, nullptr, false},
};
constexpr FieldSpec kImpostoFields[] = {
    {"CDIMPOSTO", 2, "Código"},
    {"CDFORNECED", 21, nullptr, false},
    {"NMIMPOSTO", 30, "Nome"},
    {"IDTRATIMPO", 1, nullptr, false},
    {"CDOFICIMPO", 10, nullptr, false},
    {"SGIMPOSTO", 10, "Sigla"},
    {"IDTIPCONTAB", 1, nullptr, false},
    {"IDPRODNOTA", 1, nullptr, false},
    {"IDUTMUNIORIG", 1, nullptr, false},
    {"IDUTUFORIG", 1, nullptr, false},
    {"IDUTUFDEST", 1, nullptr, false},
    {"IDUTFAIXVLR", 1, nullptr, false},
    {"IDUTPARCDED", 1, nullptr, false},
    {"IDUTREDUBC", 1, nullptr, false},
    {"IDUTALIQTPOPER", 1, nullptr, false},
};
constexpr FieldSpec kGrupoFiscalFields[] = {
    {"CDGRUPOFISC", 3, "Código"},
    {"DSGRUPOFISC", 30, "Nome"},
};
constexpr FieldSpec kAuxFornInscFields[] = {
    {"CDIMPOSTO", 2, nullptr}, {"CDEMPRESA", 2, nullptr}, {"CDINSCESTA", 16, nullptr},
    {"CDFORNECED", 21, nullptr}, {"CDGRUPOFISC", 3, nullptr},
};
constexpr FieldSpec kAuxCliInscFields[] = {
    {"CDIMPOSTO", 2, nullptr}, {"CDEMPRESA", 2, nullptr}, {"CDINSCESTA", 16, nullptr},
    {"CDCLIENTE", 21, nullptr}, {"CDGRUPOFISC", 3, nullptr},
};

vcl::TLabel *rowLabel(QWidget *parent, const char *name, const QString &caption)
{
    auto *l = new vcl::TLabel(caption, false, parent);
    l->setObjectName(QString::fromLatin1(name));
    return l;
}

vcl::TRadioButton *radio(QWidget *parent, const char *name, const QString &caption)
{
    auto *r = new vcl::TRadioButton(caption, parent);
    r->setObjectName(QString::fromLatin1(name));
    return r;
}

// The radio pair and its list button, in a panel of their own so that each pair is
// exclusive on its own.
vcl::TPanel *radioPanel(QWidget *parent, const char *name, QWidget *all, QWidget *list, QWidget *button)
{
    auto *pan = new vcl::TPanel(parent);
    pan->setObjectName(QString::fromLatin1(name));
    pan->setFrameShape(QFrame::NoFrame);
    all->setParent(pan);
    list->setParent(pan);
    button->setParent(pan);
    auto *line = new QHBoxLayout(pan);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(4);
    line->addWidget(all);
    line->addWidget(list);
    line->addWidget(button);
    line->addStretch(1);
    return pan;
}

// Labels in the first column, each row's controls in the second; tight, as the boxes
// share a small fixed client area.
QGridLayout *rowsGrid(QWidget *box)
{
    auto *grid = new QGridLayout(box);
    grid->setContentsMargins(6, 2, 6, 4);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(3);
    return grid;
}

QHBoxLayout *row(QGridLayout *grid, int r, vcl::TLabel *label)
{
    auto *line = new QHBoxLayout;
    line->setSpacing(2);
    grid->addWidget(label, r, 0);
    grid->addLayout(line, r, 1);
    return line;
}

// A bold caption over a box whose contents keep the normal font.
void boldCaption(vcl::TGroupBox *box, const QString &caption)
{
    box->setCaption(caption);
    QFont bold = box->font();
    bold.setBold(true);
    box->setFont(bold);
    for (QWidget *child : box->findChildren<QWidget *>()) {
        QFont normal = child->font();
        normal.setBold(false);
        child->setFont(normal);
    }
}

} // namespace

TfrmReplica::TfrmReplica(QWidget *parent)
    : clientlib::TfrmRotiGeral(parent)
{
    setObjectName(QStringLiteral("frmReplica"));
    setWindowTitle(QStringLiteral("Replicação de Parâmetros Grupo Fiscal Imposto/Inscrição Estadual"));
    lblCodTela->setCaption(QStringLiteral("GER00508"));
    setClientSize(487, 199);
    setHelpContext(12400502);
    msgPadrao->setStrings({
        QStringLiteral("Imp_Inf|Imposto de origem deve ser informado."),
        QStringLiteral("Imp_Cad|Imposto não cadastrado."),
        QStringLiteral("Emp_InfO|Empresa de origem deve ser informada."),
        QStringLiteral("Emp_InfD|Empresa de destino deve ser informada."),
        QStringLiteral("Emp_Cad|Empresa não cadastrada."),
        QStringLiteral("InscEsta_Inf|Incrição estadual de origem deve ser informada."),
        QStringLiteral("InscEsta_Cad|Inscrição estadual não cadastrada."),
        QStringLiteral("Grupo_Inf|Grupo fiscal deve ser informado."),
        QStringLiteral("Insc_Inf|Inscrição estadual de destino deve ser informada."),
        QStringLiteral("GrupoFiscal|Grupo Fiscal|Não há grupo fiscal cadastrado."),
        QStringLiteral("InscrEstad|Inscrição Estadual|Não há inscrição estadual cadastrada para a empresa informada."),
        QStringLiteral("N_Ha_Orig|Não há parâmetro grupo fiscal Imposto/Inscrição Estadual cadastrada na origem "
                       "para os parâmetros informados."),
        QStringLiteral("Registros_Enc|Atenção! Ao realizar a replicação de parâmetros grupo fiscal "
                       "imposto/inscrição estadual todo cadastro preexistente de acordo com os parâmetros de "
                       "destino informados será apagado. Deseja confirmar a operação?"),
        QStringLiteral("Registros_EncL|Atenção! Ao realizar a replicação de parâmetros grupo fiscal "
                       "imposto/inscrição estadual somente o cadastro de acordo com os parâmetros de destino "
                       "informados será afetados. Deseja confirmar a operação?"),
        QStringLiteral("Sucesso|A Replicação foi realizada com sucesso."),
        QStringLiteral("N_Ha_Da|Não foi possível concluir a replicação para os dados informados."),
    });

    buildQueries();
    buildOrigin();
    buildDestination();
    wireCodeFields();
    wireButtons();

    setTabOrder(medCdEmpresa, medCdInscEsta);
    setTabOrder(medCdInscEsta, medCdImposto);
    setTabOrder(medCdImposto, rbtTGrupoFisc);
    setTabOrder(rbtTGrupoFisc, rbtLGrupoFisc);
    setTabOrder(rbtLGrupoFisc, btpGrupoFisc);   // list buttons are Tab stops
    setTabOrder(btpGrupoFisc, medCdEmpDest);
    setTabOrder(medCdEmpDest, rbtTodasInsc);
    setTabOrder(rbtTodasInsc, rbtListInscEsta);
    setTabOrder(rbtListInscEsta, btpInscrEstad);
    // The tax first, although its row is the third.
    medCdImposto->setFocus(Qt::OtherFocusReason);
}

TfrmReplica::~TfrmReplica() = default;

const QString &TfrmReplica::ListaGrupoFiscal() const
{
    return m_grupoFiscal->selection();
}

const QString &TfrmReplica::ListaInscEstaDest() const
{
    return m_inscEstaDest->selection();
}

void TfrmReplica::buildQueries()
{
    qryEmpresa = makeQuery(this, QStringLiteral("qryEmpresa"), lookup::kEmpresas, kEmpresaFields);
    qryValidEmpresa = makeQuery(this, QStringLiteral("qryValidEmpresa"), lookup::kEmpresa, {});
    qryInscEstad = makeQuery(this, QStringLiteral("qryInscEstad"), lookup::kInscricoesDaEmpresa, kInscEstadFields);
    qryInscEstadDest =
        makeQuery(this, QStringLiteral("qryInscEstadDest"), lookup::kInscricoesDaEmpresa, kInscEstadFields);
    qryValidInscEstad = makeQuery(this, QStringLiteral("qryValidInscEstad"), lookup::kInscricaoDaEmpresa, {});
    qryImposto = makeQuery(this, QStringLiteral("qryImposto"), lookup::kImpostosDetalhe, kImpostoFields);
    qryValidImposto = makeQuery(this, QStringLiteral("qryValidImposto"), lookup::kImpostoDetalhe, {});
    qryGrupoFiscal = makeQuery(this, QStringLiteral("qryGrupoFiscal"), lookup::kGruposFiscais, kGrupoFiscalFields);

    dtsEmpresa = makeSource(this, QStringLiteral("dtsEmpresa"), qryEmpresa);
    dtsInscEstad = makeSource(this, QStringLiteral("dtsInscEstad"), qryInscEstad);
    dtsInscEstadDest = makeSource(this, QStringLiteral("dtsInscEstadDest"), qryInscEstadDest);
    dtsImposto = makeSource(this, QStringLiteral("dtsImposto"), qryImposto);
    dtsGrupoFiscal = makeSource(this, QStringLiteral("dtsGrupoFiscal"), qryGrupoFiscal);

    // Origin list only: the number through its person type's mask, nothing without a type.
    qryInscEstad->FieldByName(QStringLiteral("NRINSJURIEST"))->OnGetText =
        [this](dataset::TField &sender, QString &text, bool) {
            const QString type = qryInscEstad->FieldByName(QStringLiteral("IDTPIJURIEST"))->AsString();
            text = clientlib::EmptyString(type) ? QString() : registrationText(sender.AsString(), type);
        };

    cdsAuxFornInsc = makeDataSet(this, QStringLiteral("cdsAuxFornInsc"), kAuxFornInscFields);
    cdsAuxCliInsc = makeDataSet(this, QStringLiteral("cdsAuxCliInsc"), kAuxCliInscFields);
}

void TfrmReplica::buildOrigin()
{
    QWidget *box = grbDadosRel;
    const QString mask = QString::fromLatin1(layout::kMaskCodigo2);
    lblEmpresa = rowLabel(box, "lblEmpresa", QStringLiteral("Empresa"));
    medCdEmpresa = makeCodeBox(box, QStringLiteral("medCdEmpresa"), mask, 2, 28);
    lblInscEsta = rowLabel(box, "lblInscEsta", QStringLiteral("Insc. Estadual"));
    medCdInscEsta = makeCodeBox(box, QStringLiteral("medCdInscEsta"), QString(), 16, 128);
    medCdInscEsta->setCharCase(vcl::ecUpperCase);
    lblImposto = rowLabel(box, "lblImposto", QStringLiteral("Imposto"));
    medCdImposto = makeCodeBox(box, QStringLiteral("medCdImposto"), mask, 2, 28);

    lblGrupoFisc = rowLabel(box, "lblGrupoFisc", QStringLiteral("Grupo Fiscal"));
    rbtTGrupoFisc = radio(box, "rbtTGrupoFisc", QStringLiteral("Todos"));
    rbtLGrupoFisc = radio(box, "rbtLGrupoFisc", QStringLiteral("Lista"));
    btpGrupoFisc = makeSearch(box, QStringLiteral("btpGrupoFisc"), rbtLGrupoFisc, QStringLiteral("Grupo Fiscal"),
                              dtsGrupoFiscal, QString());
    panGrupoFisc = radioPanel(box, "panGrupoFisc", rbtTGrupoFisc, rbtLGrupoFisc, btpGrupoFisc);
    rbtTGrupoFisc->setChecked(true);

    QGridLayout *grid = rowsGrid(box);
    CodeFieldRow r = addCodeFieldRow(row(grid, 0, lblEmpresa), medCdEmpresa,
                                     {"btpEmpresa", QStringLiteral("Empresa"), dtsEmpresa,
                                      QStringLiteral("Não há empresa cadastrada."), "edtNmEmpresa", 185});
    btpEmpresa = r.search;
    edtNmEmpresa = r.name;
    btpInscEsta = addCodeFieldRow(row(grid, 1, lblInscEsta), medCdInscEsta,
                                  {"btpInscEsta", QStringLiteral("Inscrição Estadual"), dtsInscEstad,
                                   QStringLiteral("Não há inscrição estadual cadastrada para a empresa informada.")})
                      .search;
    r = addCodeFieldRow(row(grid, 2, lblImposto), medCdImposto,
                        {"btpImposto", QStringLiteral("Imposto"), dtsImposto, QStringLiteral("Não há imposto cadastrado."),
                         "edtNmImposto", 185});
    btpImposto = r.search;
    edtNmImposto = r.name;
    grid->addWidget(lblGrupoFisc, 3, 0);
    grid->addWidget(panGrupoFisc, 3, 1);
    boldCaption(grbDadosRel, QStringLiteral(" Origem "));
}

void TfrmReplica::buildDestination()
{
    grbDestino = new vcl::TGroupBox(QString(), this);
    grbDestino->setObjectName(QStringLiteral("grbDestino"));
    QWidget *box = grbDestino;
    lblEmpDest = rowLabel(box, "lblEmpDest", QStringLiteral("Empresa"));
    medCdEmpDest = makeCodeBox(box, QStringLiteral("medCdEmpDest"), QString::fromLatin1(layout::kMaskCodigo2), 2, 28);

    lblInscDest = rowLabel(box, "lblInscDest", QStringLiteral("Insc. Estadual"));
    rbtTodasInsc = radio(box, "rbtTodasInsc", QStringLiteral("Todas"));
    rbtListInscEsta = radio(box, "rbtListInscEsta", QStringLiteral("Lista"));
    btpInscrEstad = makeSearch(box, QStringLiteral("btpInscrEstad"), rbtListInscEsta,
                               QStringLiteral("Inscrição Estadual"), dtsInscEstadDest, QString());
    panInsc = radioPanel(box, "panInsc", rbtTodasInsc, rbtListInscEsta, btpInscrEstad);
    rbtTodasInsc->setChecked(true);

    QGridLayout *grid = rowsGrid(box);
    const CodeFieldRow r = addCodeFieldRow(row(grid, 0, lblEmpDest), medCdEmpDest,
                                           {"btpEmprDest", QStringLiteral("Empresa"), dtsEmpresa,
                                            QStringLiteral("Não há empresa cadastrada."), "edtNMEmpresaDest", 185});
    btpEmprDest = r.search;
    edtNMEmpresaDest = r.name;
    grid->addWidget(lblInscDest, 1, 0);
    grid->addWidget(panInsc, 1, 1);
    boldCaption(grbDestino, QStringLiteral(" Destino "));

    // Below the origin, beside the button column, which spans both.
    FormLayout()->removeWidget(panMenu);
    FormLayout()->addWidget(grbDestino, 1, 0);
    FormLayout()->addWidget(panMenu, 0, 1, 2, 1);
}

void TfrmReplica::wireCodeFields()
{
    m_vdImposto = std::make_unique<CodeField>(
        medCdImposto, edtNmImposto, msgPadrao, CodeFieldSpec{2, QStringLiteral("Imp_Inf"), QStringLiteral("Imp_Cad")},
        [this](const QString &code) {
            return lookUpQuery(qryValidImposto, {{QStringLiteral("P_CDIMPOSTO"), code}}, QStringLiteral("NMIMPOSTO"));
        });
    m_vdImposto->wire();
    medCdImposto->OnExit = [this] { Vd_Imposto(false); };

    const auto company = [this](const QString &code) {
        return lookUpQuery(qryValidEmpresa, {{QStringLiteral("P_CDEMPRESA"), code}}, QStringLiteral("NMRAZSOCEMPR"));
    };
    m_vdEmpresa = std::make_unique<CodeField>(
        medCdEmpresa, edtNmEmpresa, msgPadrao, CodeFieldSpec{2, QStringLiteral("Emp_InfO"), QStringLiteral("Emp_Cad")},
        company);
    m_vdEmpresa->addDependent(medCdInscEsta);
    m_vdEmpresa->wire();
    medCdEmpresa->OnExit = [this] { Vd_Empresa(*m_vdEmpresa, false); };

    // The registration is looked up under the origin company as the box holds it.
    m_vdInscricao = std::make_unique<CodeField>(
        medCdInscEsta, nullptr, msgPadrao,
        CodeFieldSpec{0, QStringLiteral("InscEsta_Inf"), QStringLiteral("InscEsta_Cad")},
        [this](const QString &code) {
            return lookUpQuery(qryValidInscEstad,
                               {{QStringLiteral("P_CDEMPRESA"), medCdEmpresa->Text()},
                                {QStringLiteral("P_CDINSCESTA"), code}},
                               QString());
        });
    medCdInscEsta->OnExit = [this] { Vd_Inscricao(false); };

    m_vdEmpDest = std::make_unique<CodeField>(
        medCdEmpDest, edtNMEmpresaDest, msgPadrao,
        CodeFieldSpec{2, QStringLiteral("Emp_InfD"), QStringLiteral("Emp_Cad")}, company);
    m_vdEmpDest->wire();
    medCdEmpDest->OnExit = [this] { Vd_Empresa(*m_vdEmpDest, false); };
    medCdEmpDest->OnChange = [this] { medCdEmpDestChange(); };
}

void TfrmReplica::wireButtons()
{
    sbtSimular = addColumnButton("sbtSimular", QStringLiteral("Si&mular"), QStyle::SP_FileDialogContentsView);
    sbtSimular->OnClick = [this] { sbtSimularClick(); };
    btpEmpresa->setPesqChave(QStringLiteral("CDEMPRESA"));
    btpEmprDest->setPesqChave(QStringLiteral("CDEMPRESA"));
    btpInscEsta->setPesqChave(QStringLiteral("CDINSCESTA"));
    btpImposto->setPesqChave(QStringLiteral("CDIMPOSTO"));
    btpGrupoFisc->setPesqChave(QStringLiteral("CDGRUPOFISC"));
    btpInscrEstad->setPesqChave(QStringLiteral("CDINSCESTA"));

    const auto reopenCompanies = [this](clientlib::TBtnPesquisa &, bool &) {
        qryEmpresa->Close();
        qryEmpresa->Open();
    };
    btpEmpresa->OnBeforePesq = reopenCompanies;
    btpEmpresa->OnAfterPesq = [this](clientlib::TBtnPesquisa &) {
        m_vdEmpresa->setFromSearch(qryEmpresa->FieldByName(QStringLiteral("CDEMPRESA"))->AsString(),
                                   qryEmpresa->FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString());
    };
    btpEmprDest->OnBeforePesq = reopenCompanies;
    btpEmprDest->OnAfterPesq = [this](clientlib::TBtnPesquisa &) {
        m_vdEmpDest->setFromSearch(qryEmpresa->FieldByName(QStringLiteral("CDEMPRESA"))->AsString(),
                                   qryEmpresa->FieldByName(QStringLiteral("NMRAZSOCEMPR"))->AsString());
    };
    btpInscEsta->OnBeforePesq = [this](clientlib::TBtnPesquisa &, bool &) { btpInscEstaBeforePesq(); };
    btpInscEsta->OnAfterPesq = [this](clientlib::TBtnPesquisa &) {
        m_vdInscricao->setFromSearch(qryInscEstad->FieldByName(QStringLiteral("CDINSCESTA"))->AsString(), std::nullopt);
    };
    // No before-handler: the button opens the tax list itself.
    btpImposto->OnAfterPesq = [this](clientlib::TBtnPesquisa &) {
        m_vdImposto->setFromSearch(qryImposto->FieldByName(QStringLiteral("CDIMPOSTO"))->AsString(),
                                   qryImposto->FieldByName(QStringLiteral("NMIMPOSTO"))->AsString());
    };

    m_grupoFiscal = std::make_unique<ListChoice>(rbtTGrupoFisc, rbtLGrupoFisc, btpGrupoFisc, true);
    m_grupoFiscal->wire();
    m_inscEstaDest = std::make_unique<ListChoice>(rbtTodasInsc, rbtListInscEsta, btpInscrEstad, false);
    m_inscEstaDest->wire();
    btpGrupoFisc->OnClick = [this] { btpGrupoFiscClick(); };
    btpInscrEstad->OnClick = [this] { btpInscrEstadClick(); };
}

void TfrmReplica::FormCreate()
{
    clientlib::TfrmRotiGeral::FormCreate();
    m_inscEstaDest->setSelection(QString());
}

// ---- code fields ---------------------------------------------------------------------------

void TfrmReplica::validate(CodeField &field, bool mandatory)
{
    // Confirming (or a search that needs the code) with the focus elsewhere: the code was
    // checked when the focus left its box. An empty box is still refused.
    if (mandatory && !clientlib::EmptyString(field.box()->Text()) && focusWidget() != field.box())
        return;
    field.Validate(mandatory);
}

void TfrmReplica::Vd_Imposto(bool mandatory)
{
    validate(*m_vdImposto, mandatory);
}

void TfrmReplica::Vd_Empresa(CodeField &field, bool mandatory)
{
    validate(field, mandatory);
}

void TfrmReplica::Vd_Inscricao(bool mandatory)
{
    validate(*m_vdInscricao, mandatory);
}

void TfrmReplica::medCdEmpDestChange()
{
    // A list chosen for another company is never sent.
    m_vdEmpDest->changed();
    m_inscEstaDest->setSelection(QString());
}

// ---- search and list buttons ---------------------------------------------------------------

void TfrmReplica::btpInscEstaBeforePesq()
{
    Vd_Empresa(*m_vdEmpresa, true);
    lookUpQuery(qryInscEstad, {{QStringLiteral("P_CDEMPRESA"), medCdEmpresa->Text()}}, QString());
}

void TfrmReplica::btpGrupoFiscClick()
{
    qryGrupoFiscal->Close();
    qryGrupoFiscal->Open();
    clientlib::PesquisaLista(dtsGrupoFiscal, QStringLiteral("CDGRUPOFISC"), msgPadrao->Msg(QStringLiteral("GrupoFiscal")),
                             false, m_grupoFiscal->selection());
}

void TfrmReplica::btpInscrEstadClick()
{
    Vd_Empresa(*m_vdEmpDest, true);
    lookUpQuery(qryInscEstadDest, {{QStringLiteral("P_CDEMPRESA"), medCdEmpDest->Text()}}, QString());
    clientlib::PesquisaLista(dtsInscEstadDest, QStringLiteral("CDINSCESTA"), msgPadrao->Msg(QStringLiteral("InscrEstad")),
                             false, m_inscEstaDest->selection());
}

} // namespace fiscal::ger10200
