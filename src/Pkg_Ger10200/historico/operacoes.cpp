// TfrmOperacoes: the recent operations, their rows, and undoing one.

#include "Pkg_Ger10200/historico/historico.h"

#include "Pkg_Ger10200/historico/operationtext.h"
#include "Pkg_Ger10200/historico/widgets_p.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"

#include "Pkg_Ger10200/shared/preview.h"

#include "clientlib/interaction.h"
#include "clientlib/checkresult.h"
#include "clientlib/messages.h"
#include "clientlib/netconnection.h"
#include "clientlib/settings.h"
#include "clientlib/usersession.h"
#include "clientlib/waitanimation.h"
#include "vcl/guard.h"
#include "vcl/toolbutton.h"
#include "protocol/objects.h"
#include "protocol/historypackets.h"
#include "rpc/dispatcher.h"
#include "reports/reporttable.h"

#include <QAbstractTableModel>
#include <QHBoxLayout>
#include <QLabel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <optional>
#include <utility>

namespace fiscal::ger10200 {

namespace field = protocol::history;

namespace method = protocol::method;

using namespace historico;

namespace {

constexpr const char *kPage = "50";

// Columns of tblOperacoes.
enum { ColId, ColTime, ColUser, ColAddress, ColMethod, ColArguments, ColChanged, ColInserted, ColDeleted, ColState };

// The rows of an operation as texts, made when they are drawn: an automatic registration
// over 500,000 clients has as many, too many for an item per cell.
class ItemsModel : public QAbstractTableModel {
public:
    ItemsModel(dataset::DataPacket packet, QObject *parent) : QAbstractTableModel(parent), m_p(std::move(packet)) {}
    int rowCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : int(m_p.rows.size()); }
    int columnCount(const QModelIndex &parent = {}) const override { return parent.isValid() ? 0 : 5; }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        static const char *const titles[] = {"Tabela", "Registro", "Ação", "Grupo anterior", "Grupo novo"};
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 5)
            return {};
        return QString::fromUtf8(titles[section]);
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role != Qt::DisplayRole || !index.isValid())
            return {};
        const PacketRow row(m_p, index.row());
        switch (index.column()) {
        case 0:
            return tableCaption(row[field::NMTABELA]);
        case 1: {
            QStringList key;
            for (const char *k : {field::CDCHAVE1, field::CDCHAVE2, field::CDCHAVE3, field::CDCHAVE4})
                if (!row[k].isEmpty())
                    key << row[k];
            return key.join(QStringLiteral(" / "));
        }
        case 2:
            return actionCaption(row[field::IDACAO]);
        case 3:
            return groupText(row[field::CDGRUPOANT], row[field::DSGRUPOANT]);
        default:
            return groupText(row[field::CDGRUPONOVO], row[field::DSGRUPONOVO]);
        }
    }

private:
    dataset::DataPacket m_p;
};

// The rows one operation changed.
class TfrmItensOperacao : public QDialog {
public:
    TfrmItensOperacao(NetRemoteObject &net, const QString &id, QWidget *parent) : QDialog(parent)
    {
        setObjectName(QStringLiteral("frmItensOperacao"));
        setWindowTitle(QStringLiteral("Registros da operação %1").arg(id));
        resize(900, 420);
        auto *table = new QTableView(this);
        readOnlyLook(table, "tblItens");
        table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        auto *fechar = vcl::newToolButton(this, "sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
        auto *bar = new QHBoxLayout;
        bar->addWidget(fechar);
        bar->addStretch(1);
        bar->addWidget(screenCode(this));
        auto *layout = new QVBoxLayout(this);
        layout->addLayout(bar);
        layout->addWidget(table, 1);
        connect(fechar, &QToolButton::clicked, this, &QDialog::accept);
        helpOnF1(this);

        dataset::DataPacket p;
        {
            clientlib::WaitScope wait(parent, 6, QStringLiteral("Lendo os registros da operação..."));
            p = net.packet(method::GetOperacaoItens, {id});
        }
        table->setModel(new ItemsModel(std::move(p), table));
        table->resizeColumnsToContents();
    }
};


// What an undo restores and leaves, as SimulaDesfazOperacao (summed over its tables) or
// DesfazOperacao answers it.
struct UndoCounts {
    QList<std::pair<QString, qint64>> items;   // preview: the operation's rows per table
    QStringList tables;                        // preview: the tables the undo may write
    qint64 restored = 0, later = 0, outside = 0, gone = 0;
    qint64 skipped() const { return later + outside + gone; }
};

std::optional<qint64> numberIn(const PacketRow &row, const char *field)
{
    bool ok = false;
    const qint64 n = row[field].toLongLong(&ok);
    return ok && n >= 0 ? std::optional<qint64>(n) : std::nullopt;
}

// Reads the counts of one row into `c`; false when any is missing or not a count.
bool addCounts(const PacketRow &row, UndoCounts &c)
{
    const auto restored = numberIn(row, field::QTRESTAURADOS), later = numberIn(row, field::QTALTERADOSDEPOIS),
               outside = numberIn(row, field::QTALTERADOSFORA), gone = numberIn(row, field::QTINEXISTENTES);
    if (!restored || !later || !outside || !gone)
        return false;
    c.restored += *restored;
    c.later += *later;
    c.outside += *outside;
    c.gone += *gone;
    return true;
}

std::optional<UndoCounts> readPreview(const dataset::DataPacket &p)
{
    UndoCounts c;
    for (int r = 0; r < int(p.rows.size()); ++r) {
        const PacketRow row(p, r);
        const std::optional<qint64> items = numberIn(row, field::QTREGISTROS);
        if (row[field::NMTABELA].isEmpty() || !items || !addCounts(row, c))
            return std::nullopt;
        c.items.append({row[field::NMTABELA], *items});
        // Every table of the operation, not only those the preview would restore: by the time
        // the undo runs, another user may have undone what held a table's rows back.
        c.tables << row[field::NMTABELA];
    }
    if (c.items.isEmpty())
        return std::nullopt;
    return c;
}

std::optional<UndoCounts> readAnswer(const dataset::DataPacket &p)
{
    UndoCounts c;
    if (p.rows.size() != 1)
        return std::nullopt;
    const PacketRow row(p, 0);
    if (!addCounts(row, c) || numberIn(row, field::QTIGNORADOS) != c.skipped())
        return std::nullopt;
    return c;
}

QString registros(qint64 n)
{
    return count(n) + (n == 1 ? QStringLiteral(" registro") : QStringLiteral(" registros"));
}

// "Desfazer a operação 12, feita por Maria em 08/12/2026 10:15 — Cadastramento automático de
// 500.000 clientes?", then what comes back and what stays, and whose it is when not the user's.
QString undoQuestion(const QString &id, const QString &user, const QString &utc, const QString &method,
                     const UndoCounts &preview, bool mine)
{
    QString text = QStringLiteral("Desfazer a operação %1, feita por %2 em %3 — %4 de %5?\n\n")
                       .arg(id, user.isEmpty() ? QStringLiteral("usuário não identificado") : user,
                            localTime(utc, false), methodCaption(method), countedRows(preview.items));
    if (preview.skipped() == 0)
        text += preview.restored == 1 ? QStringLiteral("O registro volta a ser como era antes dela.")
                                      : QStringLiteral("Os %1 voltam a ser como eram antes dela.").arg(registros(preview.restored));
    else
        text += QStringLiteral("%1 %2 a ser como %3 antes dela. %4: %5.")
                    .arg(registros(preview.restored),
                         preview.restored == 1 ? QStringLiteral("volta") : QStringLiteral("voltam"),
                         preview.restored == 1 ? QStringLiteral("era") : QStringLiteral("eram"),
                         preview.skipped() == 1 ? QStringLiteral("Fica como está") : QStringLiteral("Ficam como estão"),
                         skippedInWords(preview.later, preview.outside, preview.gone));
    if (!mine)
        text += user.isEmpty() ? QStringLiteral("\n\nAtenção: não se sabe quem fez esta operação; ela pode não ser sua.")
                               : QStringLiteral("\n\nAtenção: esta operação foi feita por outro usuário (%1), não por você.")
                                     .arg(user);
    return text;
}

QString nothingToUndo(const QString &id, const UndoCounts &preview)
{
    const QString why = skippedInWords(preview.later, preview.outside, preview.gone);
    return preview.skipped() == 1
        ? QStringLiteral("Nada a desfazer na operação %1: o registro dela fica como está (%2).").arg(id, why)
        : QStringLiteral("Nada a desfazer na operação %1: os %2 dela ficam como estão (%3).")
              .arg(id, registros(preview.skipped()), why);
}

QString undoReport(const QString &id, const UndoCounts &done)
{
    const QString why = skippedInWords(done.later, done.outside, done.gone);
    if (done.restored == 0)
        return done.skipped() == 1
            ? QStringLiteral("Nada foi desfeito: o registro da operação %1 ficou como estava (%2).").arg(id, why)
            : QStringLiteral("Nada foi desfeito: os %1 da operação %2 ficaram como estavam (%3).")
                  .arg(registros(done.skipped()), id, why);
    QString text = QStringLiteral("Operação %1 desfeita: %2 %3.")
                       .arg(id, registros(done.restored),
                            done.restored == 1 ? QStringLiteral("restaurado") : QStringLiteral("restaurados"));
    if (done.skipped() > 0)
        text += (done.skipped() == 1 ? QStringLiteral("\nFicou como estava: %1.") : QStringLiteral("\nFicaram como estavam: %1."))
                    .arg(why);
    return text;
}

} // namespace

TfrmOperacoes::TfrmOperacoes(ScreenBehind behind, QWidget *parent)
    : QDialog(parent)
    , netHistorico(new NetRemoteObject(QStringLiteral("netHistorico"), protocol::kHistorico, this))
    , m_behind(std::move(behind))
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
                                  QStringLiteral("Endereço"), QStringLiteral("Operação"), QStringLiteral("O que fez"), QStringLiteral("Alterados"),
                                  QStringLiteral("Incluídos"), QStringLiteral("Excluídos"), QStringLiteral("Situação")});

    lblNenhuma = emptyTableNote(tblOperacoes, QStringLiteral("Nenhuma operação registrada."));

    const ReportButtons report = reportButtons(this, [this] { return tableReport(this, *tblOperacoes->model()); });
    sbtImprimir = report.print;
    sbtExportar = report.exportTo;

    auto *bar = new QHBoxLayout;
    for (QToolButton *b : {sbtVerificar, sbtMaisAntigas, sbtRegistros, sbtDesfazer, sbtImprimir, sbtExportar, sbtFechar})
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
    openOnEnter(tblOperacoes, guard(&TfrmOperacoes::MostraRegistros));
    connect(sbtDesfazer, &QToolButton::clicked, this, guard(&TfrmOperacoes::Desfazer));
    connect(sbtFechar, &QToolButton::clicked, this, &QDialog::accept);
    connect(tblOperacoes, &QTableWidget::itemSelectionChanged, this, &TfrmOperacoes::selectionChanged);
    connect(this, &QDialog::finished, netHistorico, &NetRemoteObject::Close);
    selectionChanged();
    tblOperacoes->setFocus();   // the arrows go down the list at once
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
    m_undoneBy.clear();
    lblNenhuma->hide(); // until the read says so: a failed read is not an empty history
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
        if (!row[field::IDDESFEITAPOR].isEmpty())
            m_undoneBy.insert(row[field::IDOPERACAO], row[field::IDDESFEITAPOR]);
        const QString state = stateOf(row[field::IDOPERACAO]);
        const QString method = row[field::NMMETODO];
        appendRow(tblOperacoes,
                  {row[field::IDOPERACAO], localTime(row[field::DTOPERACAO]), row[field::NMUSUARIO], row[field::DSENDERECO],
                   methodCaption(method),
                   argumentsInWords(method, row[field::DSARGUMENTOS]), count(row[field::QTALTERADOS].toLongLong()),
                   count(row[field::QTINCLUIDOS].toLongLong()), count(row[field::QTEXCLUIDOS].toLongLong()), state});
        // As the server has them, for the undo's question.
        const int added = tblOperacoes->rowCount() - 1;
        tblOperacoes->item(added, ColTime)->setData(Qt::UserRole, row[field::DTOPERACAO]);
        tblOperacoes->item(added, ColMethod)->setData(Qt::UserRole, method);
        for (int c : {ColChanged, ColInserted, ColDeleted})
            tblOperacoes->item(added, c)->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    }
    sbtMaisAntigas->setEnabled(p.rows.size() == QString::fromLatin1(kPage).toInt());
    lblNenhuma->setVisible(tblOperacoes->rowCount() == 0);
    tblOperacoes->resizeColumnsToContents();
    selectionChanged();
}

// The undos are newer than what they undo, so they are listed before it.
QString TfrmOperacoes::stateOf(const QString &id) const
{
    return undoState(m_undoneBy, id);
}

void TfrmOperacoes::selectionChanged()
{
    const int row = tblOperacoes->currentRow();
    const bool any = row >= 0 && tblOperacoes->item(row, ColId);
    sbtRegistros->setEnabled(any);
    // An operador undoes its own operations only; the server refuses the others anyway.
    const auto &session = clientlib::UserSession::instance();
    using Right = clientlib::UserSession::Right;
    const bool mine = any && session.isOwn(tblOperacoes->item(row, ColUser)->text());
    clientlib::enableFor(sbtDesfazer, mine || !session.may(Right::Undo) ? Right::Undo : Right::UndoOthers,
                         any && tblOperacoes->item(row, ColState)->text().isEmpty());
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
    const QString user = tblOperacoes->item(row, ColUser)->text();
    const int shown = tblOperacoes->rowCount();
    const auto info = [this](clientlib::TMsgDlgType kind, const QString &text) {
        clientlib::interaction().message(kind, clientlib::messageTitle(kind), text, clientlib::mbOK, this);
    };

    // Refused as undone meanwhile (from another desktop, say): the list is read again after
    // the message, so that it shows by whom.
    const auto refusedMeanwhile = [&](const rpc::Reply &reply) {
        if (!reply.isError() || reply.errorCode() != rpc::code::Conflict)
            return false;
        info(clientlib::mtError, reply.errorMessage().trimmed());
        showAgain(id, shown);
        return true;
    };
    std::optional<UndoCounts> preview;
    {
        rpc::Reply answer;
        {
            clientlib::WaitScope wait(this, 6, QStringLiteral("Verificando o que pode ser desfeito..."));
            answer = netHistorico->call(method::SimulaDesfazOperacao, {id});
        }
        if (refusedMeanwhile(answer))
            return;
        clientlib::CheckResultServ(answer, true, 0);
        preview = readPreview(dataset::DataPacket::readCbor(answer.resultCbor()));
    }
    if (!preview) {
        info(clientlib::mtError, QStringLiteral("O servidor não informou o que desfazer a operação %1 restauraria. "
                                                "Nada foi desfeito.").arg(id));
        return;
    }
    if (preview->restored == 0) {
        info(clientlib::mtInformation, nothingToUndo(id, *preview));
        return;
    }
    const bool mine = clientlib::UserSession::instance().isOwn(user);
    const clientlib::TMsgDlgType kind = mine ? clientlib::mtConfirmation : clientlib::mtWarning;
    const QString question = undoQuestion(id, user, tblOperacoes->item(row, ColTime)->data(Qt::UserRole).toString(),
                                          tblOperacoes->item(row, ColMethod)->data(Qt::UserRole).toString(), *preview, mine);
    if (clientlib::interaction().message(kind, clientlib::messageTitle(kind), question, clientlib::mbYesNo, this)
        != clientlib::mrYes)
        return;
    if (m_behind.mayReload && !m_behind.mayReload(preview->tables))
        return;

    rpc::Reply reply;
    {
        clientlib::WaitScope wait(this, 1, QStringLiteral("Desfazendo a operação..."));
        reply = netHistorico->call(method::DesfazOperacao, {id});
    }
    if (reply.isError() && reply.errorCode() == clientlib::kTransportError) {
        // The undo may have gone in before its answer was lost: what it may have written is
        // read again, as for an answer that cannot be read.
        info(clientlib::mtError, QStringLiteral("%1\n\nA operação %2 pode ter sido desfeita antes de a resposta se "
                                                "perder. As abas e as operações são lidas de novo: confira nelas o que "
                                                "ficou gravado.").arg(reply.errorMessage().trimmed(), id));
        if (m_behind.reload)
            m_behind.reload(preview->tables);
        showAgain(id, shown);
        return;
    }
    if (refusedMeanwhile(reply))
        return;
    clientlib::CheckResultServ(reply, true, 0);
    std::optional<UndoCounts> done;
    try {
        done = readAnswer(dataset::DataPacket::readCbor(reply.resultCbor()));
    } catch (const std::exception &) {
        // Taken as an answer without the counts, below.
    }
    if (!done)
        info(clientlib::mtError, QStringLiteral("O servidor não informou o que foi desfeito da operação %1. As abas e as "
                                                "operações são lidas de novo: confira nelas o que ficou gravado.").arg(id));
    else
        info(clientlib::mtInformation, undoReport(id, *done));
    if ((!done || done->restored > 0) && m_behind.reload)
        m_behind.reload(preview->tables);
    showAgain(id, shown);
}

void TfrmOperacoes::showAgain(const QString &id, int rows)
{
    Atualiza();
    // The pages read before and the undone operation chosen, marked as such now: the user
    // stays where they were, a page or more down the list.
    while (tblOperacoes->rowCount() <= rows && sbtMaisAntigas->isEnabled())
        MaisAntigas();
    for (int r = 0; r < tblOperacoes->rowCount(); ++r) {
        if (tblOperacoes->item(r, ColId)->text() == id) {
            tblOperacoes->selectRow(r);
            tblOperacoes->scrollToItem(tblOperacoes->item(r, ColId));
            break;
        }
    }
}

void Cria_OperacoesRecentes(QWidget *parent, TfrmOperacoes::ScreenBehind behind)
{
    auto *dialog = new TfrmOperacoes(std::move(behind), parent);
    clientlib::interaction().runModal(*dialog);
}

} // namespace fiscal::ger10200
