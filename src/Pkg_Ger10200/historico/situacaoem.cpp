// TfrmMomentoSituacao and TfrmSituacaoEm: a tab as it was at a past moment.

#include "Pkg_Ger10200/historico/situacaoem.h"

#include "Pkg_Ger10200/historico/operationtext.h"
#include "Pkg_Ger10200/historico/widgets_p.h"
#include "Pkg_Ger10200/serverlink/netremoteobject.h"
#include "Pkg_Ger10200/shared/builders.h"

#include "clientlib/checkresult.h"
#include "clientlib/interaction.h"
#include "clientlib/messages.h"
#include "clientlib/textroutines.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "dataset/packet.h"
#include "protocol/historypackets.h"
#include "protocol/objects.h"
#include "rpc/reply.h"
#include "reports/reporttable.h"
#include "vcl/dbgrid.h"
#include "vcl/editmask.h"
#include "vcl/guard.h"
#include "vcl/toolbutton.h"

#include <QCborMap>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QShortcut>
#include <QVBoxLayout>

namespace fiscal::ger10200 {

namespace field = protocol::history;
namespace method = protocol::method;

using namespace historico;

namespace {

const QString kFormatoMomento = QStringLiteral("dd/MM/yyyy HH:mm");

QString brazilian(const QDateTime &t)
{
    return QLocale(QLocale::Portuguese, QLocale::Brazil).toString(t, kFormatoMomento);
}

bool differs(dataset::RowRef row, int then, int now)
{
    return row.value(then) != row.value(now);
}

int fieldIndex(const dataset::DataPacket &p, const char *name)
{
    for (int i = 0; i < int(p.fields.size()); ++i)
        if (p.fields[i].name == QLatin1String(name))
            return i;
    return -1;
}

} // namespace

QString momentoUtc(const QDateTime &local)
{
    return local.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

// ---- TfrmMomentoSituacao ----------------------------------------------------------------

TfrmMomentoSituacao::TfrmMomentoSituacao(const QDateTime &initial, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmMomentoSituacao"));
    setWindowTitle(QStringLiteral("Situação em…"));
    helpOnF1(this);

    auto *label = new QLabel(QStringLiteral("&Data e hora (horário local):"), this);
    dtpMomento = new QDateTimeEdit(initial, this);
    dtpMomento->setObjectName(QStringLiteral("dtpMomento"));
    dtpMomento->setDisplayFormat(kFormatoMomento);
    dtpMomento->setCalendarPopup(true);
    label->setBuddy(dtpMomento);
    sbtConfirma = vcl::newToolButton(this, "sbtConfirma", QStringLiteral("Consultar"), QStyle::SP_DialogOkButton);
    sbtCancela = vcl::newToolButton(this, "sbtCancela", QStringLiteral("Cancelar"), QStyle::SP_DialogCancelButton);

    auto *line = new QHBoxLayout;
    line->addWidget(label);
    line->addWidget(dtpMomento, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(sbtConfirma);
    buttons->addWidget(sbtCancela);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Mostra a aba como estava no momento escolhido, ao lado de hoje."), this));
    layout->addLayout(line);
    layout->addLayout(buttons);

    connect(sbtConfirma, &QToolButton::clicked, this, [this] { vcl::guarded([this] { sbtConfirmaClick(); }); });
    connect(sbtCancela, &QToolButton::clicked, this, &QDialog::reject);
    // Enter consults, but on "Cancelar" it cancels.
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter})
        new QShortcut(QKeySequence(key), this, [this] { (sbtCancela->hasFocus() ? sbtCancela : sbtConfirma)->click(); });
    dtpMomento->setFocus();
}

QDateTime TfrmMomentoSituacao::Momento() const
{
    QDateTime t = dtpMomento->dateTime();
    t.setTime(QTime(t.time().hour(), t.time().minute()));
    return t;
}

void TfrmMomentoSituacao::sbtConfirmaClick()
{
    if (Momento() > QDateTime::currentDateTime()) {
        clientlib::interaction().message(clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                                         QStringLiteral("Escolha um momento passado: %1 ainda não chegou.")
                                             .arg(brazilian(Momento())),
                                         clientlib::mbOK, this);
        dtpMomento->setFocus();
        return;
    }
    accept();
}

// ---- TfrmSituacaoEm ---------------------------------------------------------------------

TfrmSituacaoEm::TfrmSituacaoEm(SituacaoTab tab, const QDateTime &moment, dataset::DataPacket &&packet,
                               QWidget *parent)
    : QDialog(parent), m_tab(std::move(tab)), m_moment(moment),
      m_all(std::make_unique<dataset::DataPacket>(std::move(packet)))
{
    setObjectName(QStringLiteral("frmSituacaoEm"));
    setWindowTitle(QStringLiteral("Situação em %1").arg(MomentoTexto()));
    setAttribute(Qt::WA_DeleteOnClose);
    resize(980, 520);
    helpOnF1(this);

    const ReportButtons report = reportButtons(this, [this] { return Report(); });
    sbtImprimir = report.print;
    sbtExportar = report.exportTo;
    sbtFechar = vcl::newToolButton(this, "sbtFechar", QStringLiteral("Fechar"), QStyle::SP_DialogCloseButton);
    lblMomento = new QLabel(this);
    lblMomento->setObjectName(QStringLiteral("lblMomento"));
    lblMomento->setTextFormat(Qt::PlainText);
    QFont bold = lblMomento->font();
    bold.setBold(true);
    lblMomento->setFont(bold);
    lblMomento->setText(QStringLiteral("%1 em %2").arg(m_tab.section, MomentoTexto()));
    lblContexto = new QLabel(m_tab.context.join(QStringLiteral("; ")), this);
    lblContexto->setObjectName(QStringLiteral("lblContexto"));
    lblContexto->setTextFormat(Qt::PlainText);
    lblContexto->setVisible(!m_tab.context.isEmpty());
    chkSomenteMudaram = new QCheckBox(QStringLiteral("&Somente os que mudaram"), this);
    chkSomenteMudaram->setObjectName(QStringLiteral("chkSomenteMudaram"));
    lblTotal = new QLabel(this);
    lblTotal->setObjectName(QStringLiteral("lblTotal"));

    cdsSituacao = new dataset::TClientDataSet(this);
    cdsSituacao->setObjectName(QStringLiteral("cdsSituacao"));
    dtsSituacao = makeSource(this, QStringLiteral("dtsSituacao"), cdsSituacao);
    dbgSituacao = new vcl::TDBGrid(this);
    dbgSituacao->setObjectName(QStringLiteral("dbgSituacao"));
    dbgSituacao->setOptions(vcl::dgTitles | vcl::dgColumnResize | vcl::dgColLines | vcl::dgRowLines | vcl::dgRowSelect
                            | vcl::dgAlwaysShowSelection);
    dbgSituacao->setReadOnly(true);

    auto *bar = new QHBoxLayout;
    bar->addWidget(sbtImprimir);
    bar->addWidget(sbtExportar);
    bar->addWidget(sbtFechar);
    bar->addStretch(1);
    bar->addWidget(screenCode(this));
    auto *filter = new QHBoxLayout;
    filter->addWidget(chkSomenteMudaram);
    filter->addStretch(1);
    filter->addWidget(lblTotal);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(lblMomento);
    layout->addWidget(lblContexto);
    layout->addLayout(filter);
    layout->addWidget(dbgSituacao, 1);

    const int then = fieldIndex(*m_all, field::CDGRUPOEM), now = fieldIndex(*m_all, field::CDGRUPOATUAL);
    if (then >= 0 && now >= 0) {
        for (qsizetype r = 0; r < m_all->rows.size(); ++r)
            m_changed += differs(m_all->rows.ref(r), then, now) ? 1 : 0;
    }
    showRows();
    wireTexts();
    buildGrid();
    dbgSituacao->setDataSource(dtsSituacao);

    connect(chkSomenteMudaram, &QCheckBox::toggled, this, [this] { vcl::guarded([this] { showRows(); }); });
    connect(sbtFechar, &QToolButton::clicked, this, &QDialog::accept);
    dbgSituacao->setFocus();
}

TfrmSituacaoEm::~TfrmSituacaoEm() = default;

QString TfrmSituacaoEm::MomentoTexto() const
{
    return brazilian(m_moment);
}

// The tab's columns, its group as it was, today's where it differs, the last change.
void TfrmSituacaoEm::buildGrid()
{
    const auto add = [this](const QString &name, const QString &title, int width) {
        if (!cdsSituacao->FindField(name))
            return;
        vcl::TColumn *c = dbgSituacao->Columns().Add(name);
        c->setTitle(title);
        if (width > 0)
            c->setWidth(width);
    };
    for (const SituacaoColumn &c : m_tab.columns)
        add(c.field, c.title, c.width);
    add(QString::fromLatin1(field::CDGRUPOEM), QStringLiteral("Grupo Fiscal"), 180);
    add(QString::fromLatin1(field::CDGRUPOATUAL), QStringLiteral("Hoje"), 180);
    add(QString::fromLatin1(field::DTOPERACAO), QStringLiteral("Alterado em"), 130);
    add(QString::fromLatin1(field::NMUSUARIO), QStringLiteral("Por"), 0);
}

// What the cells show: registration numbers with their mask, groups with their description,
// today's group only where it differs, the change's time in local time.
void TfrmSituacaoEm::wireTexts()
{
    const auto text = [this](const char *name) { return cdsSituacao->FindField(QString::fromLatin1(name)); };
    const auto value = [this](const char *name) {
        dataset::TField *f = cdsSituacao->FindField(QString::fromLatin1(name));
        return f ? f->AsString() : QString();
    };
    for (const auto &[number, type] : {std::pair{"NRINSJURCLIE", "IDTPIJURCLIE"}, {"NRINSJURFORN", "IDTPIJURFORN"}}) {
        if (dataset::TField *f = text(number)) {
            f->OnGetText = [value, type](dataset::TField &, QString &t, bool display) {
                const QString mask = clientlib::PictPess(value(type));
                if (display && !clientlib::AllTrim(t).isEmpty() && !mask.isEmpty())
                    t = vcl::FormatMaskText(mask, clientlib::AllTrim(t));
            };
        }
    }
    if (dataset::TField *f = text("CDTIPOFATUR"); f && m_tab.billingName) {
        f->OnGetText = [names = m_tab.billingName](dataset::TField &, QString &t, bool display) {
            const QString name = names(clientlib::AllTrim(t));
            if (display && !name.isEmpty() && name != clientlib::AllTrim(t))
                t = clientlib::AllTrim(t) + QStringLiteral(" - ") + name;
        };
    }
    if (dataset::TField *f = text(field::CDGRUPOEM)) {
        f->OnGetText = [value](dataset::TField &, QString &t, bool display) {
            if (display && !t.isEmpty())
                t = groupText(t, value(field::DSGRUPOEM));
        };
    }
    if (dataset::TField *f = text(field::CDGRUPOATUAL)) {
        f->OnGetText = [value](dataset::TField &, QString &t, bool display) {
            if (!display)
                return;
            if (t == value(field::CDGRUPOEM))
                t.clear();
            else
                t = groupText(t, value(field::DSGRUPOATUAL));
        };
    }
    if (dataset::TField *f = text(field::DTOPERACAO)) {
        f->OnGetText = [](dataset::TField &, QString &t, bool display) {
            if (display && !t.isEmpty())
                t = localTime(t);
        };
    }
}

void TfrmSituacaoEm::showRows()
{
    const bool onlyChanged = chkSomenteMudaram->isChecked();
    if (!onlyChanged) {
        cdsSituacao->setData(*m_all);
    } else {
        dataset::DataPacket changed;
        changed.fields = m_all->fields;
        const int then = fieldIndex(*m_all, field::CDGRUPOEM), now = fieldIndex(*m_all, field::CDGRUPOATUAL);
        for (qsizetype r = 0; r < m_all->rows.size(); ++r) {
            if (differs(m_all->rows.ref(r), then, now))
                changed.rows.append(m_all->rows.ref(r));
        }
        cdsSituacao->setData(std::move(changed));
    }
    const QLocale br(QLocale::Portuguese, QLocale::Brazil);
    const qlonglong all = qlonglong(m_all->rows.size());
    lblTotal->setText(QStringLiteral("%1 %2, %3 %4 de hoje")
                          .arg(br.toString(all), all == 1 ? QStringLiteral("registro") : QStringLiteral("registros"),
                               br.toString(m_changed), m_changed == 1 ? QStringLiteral("diferente") : QStringLiteral("diferentes")));
}

reports::ReportTable TfrmSituacaoEm::Report() const
{
    reports::ReportTable t = tableReport(this, *dbgSituacao->model());
    t.section = m_tab.section;
    t.context = m_tab.context;
    // First: a long context is cut at the page's width, and a page of the changed rows only
    // must not read as the whole situation.
    if (chkSomenteMudaram->isChecked())
        t.context.prepend(QStringLiteral("Somente os registros cujo grupo mudou desde então"));
    return t;
}

// ---- opening ----------------------------------------------------------------------------

void Cria_SituacaoEm(QWidget *parent, const SituacaoTab &tab)
{
    NetRemoteObject net(QStringLiteral("netHistorico"), protocol::kHistorico);
    QDateTime initial = QDateTime::currentDateTime();
    initial.setTime(QTime(initial.time().hour(), initial.time().minute()));
    for (;;) {
        TfrmMomentoSituacao ask(initial, parent);
        if (clientlib::interaction().runModal(ask) != QDialog::Accepted)
            return;
        initial = ask.Momento();
        QCborArray params{tab.table};
        for (int i = 0; i < 3; ++i)
            params.append(i < tab.filters.size() ? tab.filters.at(i) : QString());
        params.append(momentoUtc(initial));
        rpc::Reply reply;
        {
            clientlib::WaitScope wait(parent, 6, QStringLiteral("Lendo o histórico..."));
            reply = net.call(QString::fromLatin1(method::GetSituacaoEm), params);
        }
        // A moment the history cannot answer for: said in local time, and asked again from the
        // first whole minute it answers for (the box takes no seconds: the minute of the first
        // operation itself would be refused again).
        const QCborMap refusal = reply.errorData().toMap();
        const QCborValue since = refusal.value(QStringLiteral("completoDesde"));
        const QCborValue serverNow = refusal.value(QStringLiteral("agoraServidor"));
        if (reply.isError() && serverNow.isString()) {
            // This computer's clock is ahead of the server's: its minute has not come there yet.
            const QDateTime there = QDateTime::fromString(serverNow.toString(), Qt::ISODateWithMs).toLocalTime();
            if (there.isValid())
                initial = QDateTime(there.date(), QTime(there.time().hour(), there.time().minute()));
            clientlib::interaction().message(
                clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                QStringLiteral("Escolha um momento passado: no relógio do servidor ainda são %1.")
                    .arg(there.isValid() ? there.toString(QStringLiteral("HH:mm:ss")) : serverNow.toString()),
                clientlib::mbOK, parent);
            continue;
        }
        if (reply.isError() && (since.isString() || since.isNull())) {
            QDateTime from = QDateTime::fromString(since.toString(), Qt::ISODateWithMs).toLocalTime();
            if (from.isValid()) {
                const QTime t = from.time();
                from.setTime(QTime(t.hour(), t.minute()));
                if (t.second() != 0 || t.msec() != 0)
                    from = from.addSecs(60);
                initial = from;
            }
            if (from.isValid() && from > QDateTime::currentDateTime()) {
                // The first whole minute it answers for is still to come: asking again now
                // would only be refused by the box itself.
                clientlib::interaction().message(
                    clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                    QStringLiteral("O histórico de alterações começou há menos de um minuto: a partir de %1 haverá "
                                   "uma situação passada a mostrar.").arg(brazilian(from)),
                    clientlib::mbOK, parent);
                return;
            }
            const QString text = since.isString()
                ? QStringLiteral("O histórico de alterações só está completo a partir de %1. Escolha um momento "
                                 "a partir desse.").arg(from.isValid() ? brazilian(from) : since.toString())
                : QStringLiteral("O histórico de alterações não tem nenhuma operação guardada: não há situação "
                                 "passada a mostrar.");
            clientlib::interaction().message(clientlib::mtInformation,
                                             clientlib::messageTitle(clientlib::mtInformation), text, clientlib::mbOK,
                                             parent);
            if (!since.isString())
                return;
            continue;
        }
        clientlib::CheckResultServ(reply, true, 0);
        auto *window = new TfrmSituacaoEm(tab, initial, dataset::DataPacket::readCbor(reply.resultCbor()), parent);
        // The rows are in the window: the answer's bytes (tens of MB for every client) go.
        reply = rpc::Reply();
        clientlib::interaction().runModal(*window);
        return;
    }
}

} // namespace fiscal::ger10200
