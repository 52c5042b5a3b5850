#include "Pkg_Ger10200/cobertura/frmsemgrupo.h"

#include "Pkg_Ger10200/cobertura/coveragemodel.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "clientlib/textroutines.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/packet.h"
#include "dataset/roworder.h"
#include "help/help.h"
#include "protocol/objects.h"
#include "Pkg_Ger10200/shared/reportprompts.h"
#include "reports/printflow.h"
#include "reports/reporttable.h"
#include "vcl/editmask.h"
#include "vcl/guard.h"
#include "vcl/toolbutton.h"

#include <QAbstractTableModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QShortcut>
#include <QStyle>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace fiscal::ger10200::cobertura {

namespace method = protocol::method;

namespace {

// The records as read, shown without copying them: 500,000 clients stay one data set.
class MissingModel : public QAbstractTableModel {
public:
    MissingModel(dataset::DataPacket &&packet, TfrmSemGrupo::NameLookup names, bool byName, QObject *parent)
        : QAbstractTableModel(parent), m_names(std::move(names))
    {
        m_cds.setData(std::move(packet));
        // The database orders names by their bytes, "Álvaro" after "Zeca"; a clerk reads
        // them, and prints them, in the order of the grids, accents and case ignored.
        if (byName)
            m_order.sort(m_cds, 1, Qt::AscendingOrder);
    }
    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : m_cds.rowCount(); }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : 3; }
    QVariant headerData(int section, Qt::Orientation o, int role) const override
    {
        if (o != Qt::Horizontal || role != Qt::DisplayRole)
            return QAbstractTableModel::headerData(section, o, role);
        static const char *const titles[] = {"Código", "Nome", "Inscrição"};
        return QString::fromUtf8(titles[section]);
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole || !index.isValid())
            return {};
        const int r = m_order.toData(index.row());
        switch (index.column()) {
        case 0: return m_cds.textAt(r, 0, false);
        case 1: {
            const QString name = m_cds.textAt(r, 1, false);
            return name.isEmpty() && m_names ? m_names(m_cds.textAt(r, 0, false)) : name;
        }
        default: {
            const QString number = clientlib::AllTrim(m_cds.textAt(r, 2, false));
            const QString mask = clientlib::PictPess(m_cds.textAt(r, 3, false));
            return number.isEmpty() || mask.isEmpty() ? number : vcl::FormatMaskText(mask, number);
        }
        }
    }

private:
    dataset::TClientDataSet m_cds;
    dataset::RowOrder m_order;
    TfrmSemGrupo::NameLookup m_names;
};

// The lists of suppliers and clients come by name, the others by code.
bool listedByName(const QString &entity)
{
    for (const char *byName : {"FORNECEDOR", "CLIENTE", "GRFISIMPIEFORN", "GRFISIMPIECLIE"})
        if (entity == QLatin1String(byName))
            return true;
    return false;
}

} // namespace

TfrmSemGrupo::TfrmSemGrupo(NetRemoteObject &net, const CoverageRow &row, const NameLookup &billingNames,
                           QWidget *parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmSemGrupo"));
    // Its page is the coverage report's, where the list is told.
    new QShortcut(QKeySequence::HelpContents, this, [this] { help::showTopic(QStringLiteral("TfrmCobertura"), this); });
    setWindowTitle(QStringLiteral("Registros sem grupo fiscal"));
    resize(760, 480);

    m_section = QStringLiteral("%1 sem grupo fiscal").arg(entityCaption(row.entity));
    if (!row.imposto.isEmpty())
        m_context << QStringLiteral("Imposto: %1 - %2").arg(row.imposto, row.nmImposto);
    if (!row.empresa.isEmpty())
        m_context << QStringLiteral("Empresa: %1").arg(row.empresa)
                  << QStringLiteral("Inscrição Estadual: %1").arg(row.inscEsta);

    {
        // Over the window that asked: this one is not on screen yet.
        clientlib::WaitScope wait(parentWidget() ? parentWidget() : this, 6, QStringLiteral("Recebendo dados do servidor..."));
        dataset::DataPacket packet = net.packet(method::GetSemGrupo, {row.entity, row.imposto, row.empresa, row.inscEsta});
        // Only billing types come without their names (the message table has them); another
        // record without a name shows none rather than a message that shares its code.
        m_model = new MissingModel(std::move(packet),
                                   row.entity == QLatin1String("TIPOFATUR") ? billingNames : NameLookup(),
                                   listedByName(row.entity), this);
    }

    sbtImprimir = vcl::newToolButton(this, "sbtImprimir", QStringLiteral("Imprimir"), QStyle::SP_FileDialogDetailedView);
    sbtExportar = vcl::newToolButton(this, "sbtExportar", QStringLiteral("Exportar..."), QStyle::SP_DialogSaveButton);
    sbtFechar = vcl::newToolButton(this, "sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
    lblContexto = new QLabel(this);
    lblContexto->setObjectName(QStringLiteral("lblContexto"));
    const int rows = m_model->rowCount();
    lblContexto->setText(QStringLiteral("<b>%1</b>%2 — %3 %4")
                             .arg(m_section.toHtmlEscaped(),
                                  m_context.isEmpty() ? QString() : QStringLiteral("<br>") + m_context.join(QStringLiteral("; ")).toHtmlEscaped(),
                                  QLocale(QLocale::Portuguese, QLocale::Brazil).toString(rows),
                                  rows == 1 ? QStringLiteral("registro") : QStringLiteral("registros")));

    tblRegistros = new QTableView(this);
    tblRegistros->setObjectName(QStringLiteral("tblRegistros"));
    tblRegistros->setModel(m_model);
    tblRegistros->setSelectionBehavior(QAbstractItemView::SelectRows);
    tblRegistros->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tblRegistros->setTabKeyNavigation(false);   // Tab goes on to the window's buttons
    tblRegistros->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    tblRegistros->verticalHeader()->hide();
    tblRegistros->horizontalHeader()->setStretchLastSection(true);
    tblRegistros->setColumnWidth(0, 140);
    tblRegistros->setColumnWidth(1, 360);

    auto *bar = new QHBoxLayout;
    bar->addWidget(sbtImprimir);
    bar->addWidget(sbtExportar);
    bar->addStretch(1);
    bar->addWidget(sbtFechar);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(lblContexto);
    layout->addWidget(tblRegistros, 1);

    connect(sbtImprimir, &QToolButton::clicked, this, [this] { vcl::guarded([this] { reports::previewReport(Report(), this, reportPrompts()); }); });
    connect(sbtExportar, &QToolButton::clicked, this, [this] { vcl::guarded([this] { reports::exportReport(Report(), this, reportPrompts()); }); });
    connect(sbtFechar, &QToolButton::clicked, this, &QDialog::accept);
    new QShortcut(QKeySequence::Print, this, [this] { sbtImprimir->click(); });
    tblRegistros->setFocus();
}

int TfrmSemGrupo::rowCount() const
{
    return m_model->rowCount();
}

reports::ReportTable TfrmSemGrupo::Report() const
{
    reports::ReportTable t = reports::reportFromModel(*m_model);
    t.title = QStringLiteral("Cobertura de grupos fiscais");
    t.screenCode = QStringLiteral("GER10205");
    t.section = m_section;
    t.context = m_context;
    return t;
}

} // namespace fiscal::ger10200::cobertura
