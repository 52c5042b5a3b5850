// TfrmOperacoes: the recent operations, their rows, and undoing one.

#include "Pkg_Ger10200/historico/historico.h"

#include "Pkg_Ger10200/historico/operationtext.h"
#include "Pkg_Ger10200/historico/widgets_p.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"

#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "clientlib/waitanimation.h"
#include "vcl/guard.h"
#include "vcl/toolbutton.h"
#include "protocol/objects.h"
#include "protocol/historypackets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

namespace fiscal::ger10200 {

namespace field = protocol::history;

namespace method = protocol::method;

using namespace historico;

namespace {

constexpr const char *kPage = "50";

// Columns of tblOperacoes.
enum { ColId, ColTime, ColUser, ColMethod, ColArguments, ColChanged, ColInserted, ColDeleted, ColState };

// The rows one operation changed.
class TfrmItensOperacao : public QDialog {
public:
    TfrmItensOperacao(NetRemoteObject &net, const QString &id, QWidget *parent) : QDialog(parent)
    {
        setObjectName(QStringLiteral("frmItensOperacao"));
        setWindowTitle(QStringLiteral("Registros da operação %1").arg(id));
        resize(900, 420);
        auto *table = readOnlyTable(this, "tblItens",
                                    {QStringLiteral("Tabela"), QStringLiteral("Registro"), QStringLiteral("Ação"),
                                     QStringLiteral("Grupo anterior"), QStringLiteral("Grupo novo")});
        auto *fechar = vcl::newToolButton(this, "sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
        auto *bar = new QHBoxLayout;
        bar->addWidget(fechar);
        bar->addStretch(1);
        bar->addWidget(screenCode(this));
        auto *layout = new QVBoxLayout(this);
        layout->addLayout(bar);
        layout->addWidget(table, 1);
        connect(fechar, &QToolButton::clicked, this, &QDialog::accept);

        dataset::DataPacket p;
        {
            clientlib::WaitScope wait(parent, 6, QStringLiteral("Lendo os registros da operação..."));
            p = net.packet(method::GetOperacaoItens, {id});
        }
        table->setUpdatesEnabled(false);
        for (int r = 0; r < int(p.rows.size()); ++r) {
            const PacketRow row(p, r);
            QStringList key;
            for (const char *k : {field::CDCHAVE1, field::CDCHAVE2, field::CDCHAVE3, field::CDCHAVE4})
                if (!row[k].isEmpty())
                    key << row[k];
            appendRow(table, {tableCaption(row[field::NMTABELA]), key.join(QStringLiteral(" / ")), actionCaption(row[field::IDACAO]),
                              groupText(row[field::CDGRUPOANT], row[field::DSGRUPOANT]),
                              groupText(row[field::CDGRUPONOVO], row[field::DSGRUPONOVO])});
        }
        table->resizeColumnsToContents();
        table->setUpdatesEnabled(true);
    }
};

} // namespace

TfrmOperacoes::TfrmOperacoes(Undone undone, QWidget *parent)
    : QDialog(parent)
    , netHistorico(new NetRemoteObject(QStringLiteral("netHistorico"), protocol::kHistorico, this))
    , m_undone(std::move(undone))
{
    setObjectName(QStringLiteral("frmOperacoes"));
    setWindowTitle(QStringLiteral("Operações recentes"));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(1000, 480);
    helpOnF1(this);

    sbtVerificar = vcl::newToolButton(this, "sbtVerificar", QStringLiteral("Atualizar"), QStyle::SP_BrowserReload);
    sbtMaisAntigas = vcl::newToolButton(this, "sbtMaisAntigas", QStringLiteral("Mais antigas"), QStyle::SP_ArrowDown);
    sbtRegistros = vcl::newToolButton(this, "sbtRegistros", QStringLiteral("Registros..."), QStyle::SP_FileDialogContentsView);
    sbtDesfazer = vcl::newToolButton(this, "sbtDesfazer", QStringLiteral("Desfazer"), QStyle::SP_ArrowBack);
    sbtFechar = vcl::newToolButton(this, "sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
    tblOperacoes = readOnlyTable(this, "tblOperacoes",
                                 {QStringLiteral("Nº"), QStringLiteral("Data e hora"), QStringLiteral("Usuário"),
                                  QStringLiteral("Operação"), QStringLiteral("O que fez"), QStringLiteral("Alterados"),
                                  QStringLiteral("Incluídos"), QStringLiteral("Excluídos"), QStringLiteral("Situação")});

    auto *bar = new QHBoxLayout;
    for (QToolButton *b : {sbtVerificar, sbtMaisAntigas, sbtRegistros, sbtDesfazer, sbtFechar})
        bar->addWidget(b);
    bar->addStretch(1);
    bar->addWidget(screenCode(this));
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(tblOperacoes, 1);

    auto guard = [this](void (TfrmOperacoes::*fn)()) { return [this, fn] { vcl::guarded([this, fn] { (this->*fn)(); }); }; };
    connect(sbtVerificar, &QToolButton::clicked, this, guard(&TfrmOperacoes::Atualiza));
    connect(sbtMaisAntigas, &QToolButton::clicked, this, guard(&TfrmOperacoes::MaisAntigas));
    connect(sbtRegistros, &QToolButton::clicked, this, guard(&TfrmOperacoes::MostraRegistros));
    connect(tblOperacoes, &QTableWidget::cellDoubleClicked, this, guard(&TfrmOperacoes::MostraRegistros));
    connect(sbtDesfazer, &QToolButton::clicked, this, guard(&TfrmOperacoes::Desfazer));
    connect(sbtFechar, &QToolButton::clicked, this, &QDialog::accept);
    connect(tblOperacoes, &QTableWidget::itemSelectionChanged, this, &TfrmOperacoes::selectionChanged);
    connect(this, &QDialog::finished, netHistorico, &NetRemoteObject::Close);
    selectionChanged();
}

TfrmOperacoes::~TfrmOperacoes() = default;

void TfrmOperacoes::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    QTimer::singleShot(0, this, [this] { vcl::guarded([this] { Atualiza(); }); });
}

void TfrmOperacoes::Atualiza()
{
    tblOperacoes->setRowCount(0);
    append(QString());
    if (tblOperacoes->rowCount() > 0)
        tblOperacoes->selectRow(0);
    m_loaded = true;
}

void TfrmOperacoes::MaisAntigas()
{
    const int rows = tblOperacoes->rowCount();
    if (rows > 0)
        append(tblOperacoes->item(rows - 1, ColId)->text());
}

void TfrmOperacoes::append(const QString &before)
{
    dataset::DataPacket p;
    {
        clientlib::WaitScope wait(this, 6, QStringLiteral("Lendo as operações..."));
        p = netHistorico->packet(method::GetOperacoes, {QString::fromLatin1(kPage), before});
    }
    for (int r = 0; r < int(p.rows.size()); ++r) {
        const PacketRow row(p, r);
        QString state;
        if (!row[field::IDDESFEITAPOR].isEmpty())
            state = QStringLiteral("Desfeita pela operação %1").arg(row[field::IDDESFEITAPOR]);
        const QString method = row[field::NMMETODO];
        appendRow(tblOperacoes,
                  {row[field::IDOPERACAO], localTime(row[field::DTOPERACAO]), row[field::NMUSUARIO], methodCaption(method),
                   argumentsInWords(method, row[field::DSARGUMENTOS]), count(row[field::QTALTERADOS].toLongLong()),
                   count(row[field::QTINCLUIDOS].toLongLong()), count(row[field::QTEXCLUIDOS].toLongLong()), state});
        // The counts, kept as numbers for the confirmation.
        const qint64 total = row[field::QTALTERADOS].toLongLong() + row[field::QTINCLUIDOS].toLongLong()
            + row[field::QTEXCLUIDOS].toLongLong();
        tblOperacoes->item(tblOperacoes->rowCount() - 1, ColChanged)->setData(Qt::UserRole, total);
        for (int c : {ColChanged, ColInserted, ColDeleted})
            tblOperacoes->item(tblOperacoes->rowCount() - 1, c)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    sbtMaisAntigas->setEnabled(p.rows.size() == QString::fromLatin1(kPage).toInt());
    tblOperacoes->resizeColumnsToContents();
    selectionChanged();
}

void TfrmOperacoes::selectionChanged()
{
    const int row = tblOperacoes->currentRow();
    const bool any = row >= 0 && tblOperacoes->item(row, ColId);
    sbtRegistros->setEnabled(any);
    sbtDesfazer->setEnabled(any && tblOperacoes->item(row, ColState)->text().isEmpty());
}

void TfrmOperacoes::MostraRegistros()
{
    const int row = tblOperacoes->currentRow();
    if (row < 0)
        return;
    TfrmItensOperacao items(*netHistorico, tblOperacoes->item(row, ColId)->text(), this);
    clientlib::interaction().runModal(items);
}

void TfrmOperacoes::Desfazer()
{
    const int row = tblOperacoes->currentRow();
    if (row < 0)
        return;
    const QString id = tblOperacoes->item(row, ColId)->text();
    const qint64 rows = tblOperacoes->item(row, ColChanged)->data(Qt::UserRole).toLongLong();
    const QString question =
        QStringLiteral("Desfazer a operação %1 (%2), que alterou %3 %4?\n\n"
                       "Cada registro volta ao grupo fiscal que tinha antes dela; os que foram alterados "
                       "depois dela ficam como estão.")
            .arg(id, tblOperacoes->item(row, ColMethod)->text(), count(rows),
                 rows == 1 ? QStringLiteral("registro") : QStringLiteral("registros"));
    if (clientlib::interaction().message(clientlib::mtConfirmation, clientlib::messageTitle(clientlib::mtConfirmation),
                                         question, clientlib::mbYesNo, this)
        != clientlib::mrYes)
        return;

    dataset::DataPacket answer;
    {
        clientlib::WaitScope wait(this, 1, QStringLiteral("Desfazendo a operação..."));
        answer = netHistorico->packet(method::DesfazOperacao, {id});
    }
    const PacketRow result(answer, 0);
    // The tables the undo wrote, as the server recorded them.
    const QStringList tables = result[field::NMTABELAS].split(QLatin1Char(','), Qt::SkipEmptyParts);
    const qint64 restored = result[field::QTRESTAURADOS].toLongLong();
    const qint64 skipped = result[field::QTIGNORADOS].toLongLong();
    QString report;
    if (restored == 0) {
        report = skipped == 1
            ? QStringLiteral("Nada foi desfeito: o registro da operação %1 foi alterado depois dela e ficou como está.").arg(id)
            : QStringLiteral("Nada foi desfeito: os %1 registros da operação %2 foram alterados depois dela e ficaram "
                             "como estão.").arg(count(skipped), id);
    } else {
        report = QStringLiteral("Operação %1 desfeita: %2 %3.")
                     .arg(id, count(restored), restored == 1 ? QStringLiteral("registro restaurado")
                                                             : QStringLiteral("registros restaurados"));
        if (skipped > 0)
            report += QStringLiteral("\n%1 %2 depois dela e %3 como %4.")
                          .arg(count(skipped),
                               skipped == 1 ? QStringLiteral("registro foi alterado") : QStringLiteral("registros foram alterados"),
                               skipped == 1 ? QStringLiteral("ficou") : QStringLiteral("ficaram"),
                               skipped == 1 ? QStringLiteral("está") : QStringLiteral("estão"));
    }
    clientlib::interaction().message(clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                                     report, clientlib::mbOK, this);
    if (restored > 0 && m_undone)
        m_undone(tables);
    Atualiza();
}

void Cria_OperacoesRecentes(QWidget *parent, TfrmOperacoes::Undone undone)
{
    auto *dialog = new TfrmOperacoes(std::move(undone), parent);
    clientlib::interaction().runModal(*dialog);
}

} // namespace fiscal::ger10200
