// TfrmHistoricoRegistro: every change of one record, newest first.

#include "Pkg_Ger10200/historico/historico.h"

#include "Pkg_Ger10200/historico/operationtext.h"
#include "Pkg_Ger10200/historico/widgets_p.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"

#include "clientlib/interaction.h"
#include "clientlib/waitanimation.h"
#include "vcl/guard.h"
#include "vcl/toolbutton.h"
#include "protocol/objects.h"
#include "protocol/historypackets.h"
#include "reports/reporttable.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSet>
#include <QTimer>
#include <QVBoxLayout>

namespace fiscal::ger10200 {

namespace field = protocol::history;

namespace method = protocol::method;

using namespace historico;

namespace {

// The record's key in the selection format the server reads: 'a','b'.
QString keySelection(const QStringList &key)
{
    QStringList quoted;
    for (QString k : key)
        quoted << QLatin1Char('\'') + k.replace(QLatin1Char('\''), QStringLiteral("''")) + QLatin1Char('\'');
    return quoted.join(QLatin1Char(','));
}

} // namespace

TfrmHistoricoRegistro::TfrmHistoricoRegistro(RecordRef record, QWidget *parent)
    : QDialog(parent)
    , netHistorico(new NetRemoteObject(QStringLiteral("netHistorico"), protocol::kHistorico, this))
    , m_record(std::move(record))
{
    setObjectName(QStringLiteral("frmHistoricoRegistro"));
    setWindowTitle(QStringLiteral("Histórico do registro"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(980, 420);
    helpOnF1(this);

    sbtVerificar = vcl::newToolButton(this, "sbtVerificar", QStringLiteral("Atualizar"), QStyle::SP_BrowserReload);
    sbtFechar = vcl::newToolButton(this, "sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
    lblRegistro = new QLabel(m_record.caption, this);
    lblRegistro->setObjectName(QStringLiteral("lblRegistro"));
    lblRegistro->setTextFormat(Qt::PlainText);
    tblHistorico = readOnlyTable(this, "tblHistorico",
                                 {QStringLiteral("Data e hora"), QStringLiteral("Usuário"), QStringLiteral("Operação"),
                                  QStringLiteral("Ação"), QStringLiteral("Grupo anterior"), QStringLiteral("Grupo novo"),
                                  QStringLiteral("Situação")});
    lblNenhuma = emptyTableNote(tblHistorico, QStringLiteral("Nenhuma alteração registrada."));

    const ReportButtons report = reportButtons(this, [this] {
        reports::ReportTable t = tableReport(this, *tblHistorico->model());
        t.section = m_record.caption;
        return t;
    });
    sbtImprimir = report.print;
    sbtExportar = report.exportTo;

    auto *bar = new QHBoxLayout;
    for (QToolButton *b : {sbtVerificar, sbtImprimir, sbtExportar, sbtFechar})
        bar->addWidget(b);
    bar->addStretch(1);
    bar->addWidget(screenCode(this));
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(lblRegistro);
    layout->addWidget(tblHistorico, 1);

    connect(sbtVerificar, &QToolButton::clicked, this, [this] { vcl::guarded([this] { Atualiza(); }); });
    connect(sbtFechar, &QToolButton::clicked, this, &QDialog::accept);
    connect(this, &QDialog::finished, netHistorico, &NetRemoteObject::Close);
    tblHistorico->setFocus();
}

TfrmHistoricoRegistro::~TfrmHistoricoRegistro() = default;

void TfrmHistoricoRegistro::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    // Read once the window is on screen, so the wait animation has a window to sit on.
    QTimer::singleShot(0, this, [this] { vcl::guarded([this] { Atualiza(); }); });
}

void TfrmHistoricoRegistro::Atualiza()
{
    dataset::DataPacket p;
    {
        clientlib::WaitScope wait(this, 6, QStringLiteral("Lendo o histórico..."));
        p = netHistorico->packet(method::GetHistoricoRegistro, {m_record.table, keySelection(m_record.key)});
    }
    tblHistorico->setRowCount(0);
    // An undo that restored the record changed it too, so it is listed with the operation it
    // undid: an undone undo reads as redone, as in "Operações recentes". An undo that left the
    // record as it was (changed since by someone else) is not listed, and undid nothing here.
    QSet<QString> listed;
    for (int r = 0; r < int(p.rows.size()); ++r)
        listed.insert(PacketRow(p, r)[field::IDOPERACAO]);
    QHash<QString, QString> undoneBy;
    for (int r = 0; r < int(p.rows.size()); ++r) {
        const PacketRow row(p, r);
        if (listed.contains(row[field::IDDESFEITAPOR]))
            undoneBy.insert(row[field::IDOPERACAO], row[field::IDDESFEITAPOR]);
    }
    for (int r = 0; r < int(p.rows.size()); ++r) {
        const PacketRow row(p, r);
        appendRow(tblHistorico,
                  {localTime(row[field::DTOPERACAO]), row[field::NMUSUARIO],
                   QStringLiteral("%1 - %2").arg(row[field::IDOPERACAO], methodCaption(row[field::NMMETODO])),
                   actionCaption(row[field::IDACAO]), groupText(row[field::CDGRUPOANT], row[field::DSGRUPOANT]),
                   groupText(row[field::CDGRUPONOVO], row[field::DSGRUPONOVO]),
                   undoState(undoneBy, row[field::IDOPERACAO])},
                  row[field::IDOPERACAO]);
    }
    lblNenhuma->setVisible(p.rows.isEmpty());
    tblHistorico->resizeColumnsToContents();
    m_loaded = true;
}

void Cria_HistoricoRegistro(QWidget *parent, const RecordRef &record)
{
    auto *dialog = new TfrmHistoricoRegistro(record, parent);
    clientlib::interaction().runModal(*dialog);
}

} // namespace fiscal::ger10200
