#include "Pkg_Ger10200/cobertura/frmcobertura.h"

#include "Pkg_Ger10200/cobertura/coveragechart.h"
#include "Pkg_Ger10200/cobertura/frmsemgrupo.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "clientlib/interaction.h"
#include "clientlib/waitanimation.h"
#include "dataset/packet.h"
#include "help/help.h"
#include "protocol/objects.h"
#include "Pkg_Ger10200/shared/reportprompts.h"
#include "reports/printflow.h"
#include "reports/reporttable.h"
#include "vcl/guard.h"
#include "vcl/toolbutton.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QShortcut>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace fiscal::ger10200::cobertura {

namespace method = protocol::method;

TfrmCobertura::TfrmCobertura(QWidget *parent, NameLookup billingNames)
    : QDialog(parent)
    , m_net(new NetRemoteObject(QStringLiteral("netRelatorios"), protocol::kRelatorios, this))
    , m_model(new CoverageModel(this))
    , m_billingNames(std::move(billingNames))
{
    setObjectName(QStringLiteral("frmCobertura"));
    setWindowTitle(QStringLiteral("Cobertura de grupos fiscais"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(1120, 580);

    sbtVerificar = vcl::newToolButton(this, "sbtVerificar", QStringLiteral("Atualizar"), QStyle::SP_BrowserReload);
    sbtImprimir = vcl::newToolButton(this, "sbtImprimir", QStringLiteral("Imprimir"), QStyle::SP_FileDialogDetailedView);
    sbtExportar = vcl::newToolButton(this, "sbtExportar", QStringLiteral("Exportar..."), QStyle::SP_DialogSaveButton);
    sbtSemGrupo = vcl::newToolButton(this, "sbtSemGrupo", QStringLiteral("Registros sem grupo..."), QStyle::SP_FileDialogContentsView);
    sbtAjuda = vcl::newToolButton(this, "sbtAjuda", QStringLiteral("Ajuda"), QStyle::SP_DialogHelpButton);
    sbtFechar = vcl::newToolButton(this, "sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
    lblCodTela = new QLabel(QStringLiteral("GER10205"), this);
    lblCodTela->setObjectName(QStringLiteral("lblCodTela"));
    QFont bold = lblCodTela->font();
    bold.setBold(true);
    lblCodTela->setFont(bold);

    auto *mostrar = new QLabel(QStringLiteral("Mostrar:"), this);
    cbxParte = new QComboBox(this);
    cbxParte->setObjectName(QStringLiteral("cbxParte"));
    for (Part p : {Part::Cadastros, Part::ImpostoFilial, Part::ImpostoInscFornecedor, Part::ImpostoInscCliente})
        cbxParte->addItem(partCaption(p), int(p));
    lblAtualizado = new QLabel(this);
    lblAtualizado->setObjectName(QStringLiteral("lblAtualizado"));

    tblCobertura = new QTableView(this);
    tblCobertura->setObjectName(QStringLiteral("tblCobertura"));
    tblCobertura->setModel(m_model);
    tblCobertura->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblCobertura->setSelectionMode(QAbstractItemView::SingleSelection);
    tblCobertura->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblCobertura->setTabKeyNavigation(false);   // Tab goes on to the window's buttons
    tblCobertura->verticalHeader()->hide();
    tblCobertura->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    tblCobertura->horizontalHeader()->setStretchLastSection(true);

    chtCobertura = new QChartView(this);
    chtCobertura->setObjectName(QStringLiteral("chtCobertura"));
    chtCobertura->setRenderHint(QPainter::Antialiasing);
    chtCobertura->chart()->setTitle(QStringLiteral("Registros com e sem grupo fiscal"));
    chtCobertura->setMinimumWidth(420);

    auto *bar = new QHBoxLayout;
    for (QToolButton *b : {sbtVerificar, sbtImprimir, sbtExportar, sbtSemGrupo, sbtAjuda, sbtFechar})
        bar->addWidget(b);
    bar->addStretch(1);
    bar->addWidget(lblCodTela);
    auto *partRow = new QHBoxLayout;
    partRow->addWidget(mostrar);
    partRow->addWidget(cbxParte);
    partRow->addStretch(1);
    partRow->addWidget(lblAtualizado);
    auto *split = new QSplitter(this);
    split->addWidget(tblCobertura);
    split->addWidget(chtCobertura);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);
    // The chart's names are as long as the table's; it gets room for them.
    split->setSizes({560, 540});
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addLayout(partRow);
    layout->addWidget(split, 1);

    auto guard = [this](void (TfrmCobertura::*fn)()) { return [this, fn] { vcl::guarded([this, fn] { (this->*fn)(); }); }; };
    connect(sbtVerificar, &QToolButton::clicked, this, guard(&TfrmCobertura::Atualiza));
    connect(sbtImprimir, &QToolButton::clicked, this, [this] { vcl::guarded([this] { reports::previewReport(Report(), this, reportPrompts()); }); });
    connect(sbtExportar, &QToolButton::clicked, this, [this] { vcl::guarded([this] { reports::exportReport(Report(), this, reportPrompts()); }); });
    connect(sbtSemGrupo, &QToolButton::clicked, this, guard(&TfrmCobertura::MostraSemGrupo));
    connect(tblCobertura, &QTableView::doubleClicked, this, guard(&TfrmCobertura::MostraSemGrupo));
    // Enter on a row opens it too (the view would report it only as "activated", which some
    // desktops also send for a single click).
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter})
        new QShortcut(QKeySequence(key), tblCobertura, guard(&TfrmCobertura::MostraSemGrupo), Qt::WidgetShortcut);
    connect(sbtAjuda, &QToolButton::clicked, this, [this] { help::showTopic(QStringLiteral("TfrmCobertura"), this); });
    connect(sbtFechar, &QToolButton::clicked, this, &QDialog::accept);
    connect(cbxParte, &QComboBox::currentIndexChanged, this, guard(&TfrmCobertura::partChanged));
    new QShortcut(QKeySequence::Print, this, [this] { sbtImprimir->click(); });
    new QShortcut(QKeySequence::HelpContents, this, [this] { sbtAjuda->click(); });
    partChanged();
    tblCobertura->setFocus();
}

TfrmCobertura::~TfrmCobertura() = default;

void TfrmCobertura::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // Counted once the dialog is on screen, so the wait animation has a window to sit on.
    QTimer::singleShot(0, this, [this] { vcl::guarded([this] { Atualiza(); }); });
}

void TfrmCobertura::Atualiza()
{
    dataset::DataPacket packet;
    {
        clientlib::WaitScope wait(this, 6, QStringLiteral("Contando os registros..."));
        packet = m_net->packet(method::GetCobertura);
    }
    m_model->setPacket(packet);
    m_countedAt = QDateTime::currentDateTime();
    lblAtualizado->setText(QStringLiteral("Contado em %1")
                               .arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(m_countedAt, QStringLiteral("dd/MM/yyyy HH:mm"))));
    partChanged();
    m_loaded = true;
}

void TfrmCobertura::partChanged()
{
    m_model->setPart(Part(cbxParte->currentData().toInt()));
    const QList<int> unused = m_model->unusedColumns();
    for (int c = 0; c < m_model->columnCount(); ++c)
        tblCobertura->setColumnHidden(c, unused.contains(c));
    tblCobertura->resizeColumnsToContents();
    if (m_model->rowCount() > 0)
        tblCobertura->selectRow(0);
    fillChart(*chtCobertura->chart(), chartBars(*m_model));
    const bool any = m_model->rowCount() > 0;
    sbtSemGrupo->setEnabled(any);
    sbtImprimir->setEnabled(m_loaded || any);
    sbtExportar->setEnabled(m_loaded || any);
}

reports::ReportTable TfrmCobertura::Report() const
{
    reports::ReportTable t = reports::reportFromModel(*m_model, m_model->unusedColumns());
    t.title = windowTitle();
    t.screenCode = lblCodTela->text();
    t.section = partCaption(m_model->part());
    if (m_countedAt.isValid())
        t.context << QStringLiteral("Contado em %1").arg(QLocale(QLocale::Portuguese, QLocale::Brazil).toString(m_countedAt, QStringLiteral("dd/MM/yyyy HH:mm")));
    return t;
}

void TfrmCobertura::MostraSemGrupo()
{
    const QModelIndex current = tblCobertura->currentIndex();
    if (!current.isValid())
        return;
    TfrmSemGrupo list(*m_net, m_model->row(current.row()), m_billingNames, this);
    clientlib::interaction().runModal(list);
}

void Cria_Cobertura(QWidget *parent, TfrmCobertura::NameLookup billingNames)
{
    auto *dialog = new TfrmCobertura(parent, std::move(billingNames));
    clientlib::interaction().runModal(*dialog);
}

} // namespace fiscal::ger10200::cobertura
