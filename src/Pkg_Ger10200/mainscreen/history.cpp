// The change history from the main screen: "Histórico do registro" (menu, the grids'
// context menu, Ctrl+H) for the current row of the active tab, "Operações recentes",
// after whose undo the tabs of the tables it changed are read again, and "Situação em…",
// the active tab at a past moment.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/historico/historico.h"
#include "Pkg_Ger10200/historico/situacaoem.h"
#include "reports/reporttable.h"

#include "clientlib/localcache.h"
#include "clientlib/messages.h"
#include "clientlib/textroutines.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/menus.h"
#include "vcl/pagecontrol.h"
#include "protocol/objects.h"

#include <QAction>
#include <QMenu>

namespace fiscal::ger10200 {

namespace method = protocol::method;

using dataset::TClientDataSet;

namespace {

QString field(TClientDataSet *cds, const char *name)
{
    dataset::TField *f = cds->FindField(QString::fromLatin1(name));
    return f ? f->AsString() : QString();
}

QString named(const QString &what, const QString &code, const QString &name)
{
    const QString n = clientlib::AllTrim(name);
    return n.isEmpty() ? QStringLiteral("%1 %2").arg(what, code) : QStringLiteral("%1 %2 - %3").arg(what, code, n);
}

} // namespace

void TfrmParamGrupFiscal::buildHistoryMenus()
{
    mnuHistorico = vcl::newMenuItem(this, QStringLiteral("&Histórico do registro..."), QKeySequence(QStringLiteral("Ctrl+H")),
                                    [this] { mnuHistoricoClick(); });
    mnuHistorico->setObjectName(QStringLiteral("mnuHistorico"));
    mnuOperacoes = vcl::newMenuItem(this, QStringLiteral("Operações &recentes..."), QKeySequence(),
                                    [this] { mnuOperacoesClick(); });
    mnuOperacoes->setObjectName(QStringLiteral("mnuOperacoes"));
    mnuSituacaoEm = vcl::newMenuItem(this, QStringLiteral("&Situação em..."), QKeySequence(),
                                     [this] { mnuSituacaoEmClick(); });
    mnuSituacaoEm->setObjectName(QStringLiteral("mnuSituacaoEm"));
    mnuManutencao->addSeparator();
    mnuManutencao->addAction(mnuHistorico);
    mnuManutencao->addAction(mnuOperacoes);
    mnuManutencao->addAction(mnuSituacaoEm);
    addAction(mnuHistorico);
    vcl::shortcutWins(mnuHistorico, this);
    for (vcl::TDBGrid *grid : {dbgPadrao, dbgCliente, dbgFilial, dbgTipooperac, dbgTipoFatur, dbgTipoGest, dbgImpFili,
                               dbgFornInsc, dbgCliInsc}) {
        grid->setContextMenuPolicy(Qt::ActionsContextMenu);
        grid->addAction(mnuHistorico);
    }
}

std::optional<RecordRef> TfrmParamGrupFiscal::currentRecord()
{
    vcl::TTabSheet *tab = pgcPadrao->ActivePage();
    if (tab == tshOperInter)
        return RecordRef{QStringLiteral("PARAMGERAL"), {QStringLiteral("OPIN")}, tab->Caption()};

    struct Entity { vcl::TTabSheet *tab; TClientDataSet *cds; const char *table; const char *key; const char *what; };
    const Entity entities[] = {
        {tshPadrao, cdsFornecedor, "FORNECEDOR", "CDFORNECED", "Fornecedor"},
        {tshCliente, cdsCliente, "CLIENTE", "CDCLIENTE", "Cliente"},
        {tshFilial, cdsFilial, "FILIAL", "CDFILIAL", "Filial"},
        {tshTipoOperac, cdsTipoOperac, "TIPOOPERAC", "CDTIPOOPER", "Tipo de operação"},
        {tshTipoContrato, cdsTipoFatur, "TIPOFATUR", "CDTIPOFATUR", "Tipo de contrato"},
        {tshTipoGest, cdsTipoGest, "TPFATURFIS", "CDTPFATURFIS", "Tipo de gestão fiscal"},
    };
    for (const Entity &e : entities) {
        if (tab != e.tab)
            continue;
        if (!e.cds->Active() || e.cds->IsEmpty())
            return std::nullopt;
        const QString code = field(e.cds, e.key);
        QString name = field(e.cds, "NOME");
        if (e.cds == cdsTipoFatur)   // named from the screen's messages, as its grid does
            name = msgPadrao->Msg(clientlib::AllTrim(code));
        else if (e.cds == cdsCliente && !field(e.cds, "NMFANTCLIE").isEmpty())
            name = field(e.cds, "NMFANTCLIE");
        return RecordRef{QString::fromLatin1(e.table), {code}, named(QString::fromUtf8(e.what), code, name)};
    }

    if (tab == tshImpFili) {
        if (!cdsImpFili->Active() || cdsImpFili->IsEmpty())
            return std::nullopt;
        const QString tax = field(cdsImpFili, "CDIMPOSTO"), branch = field(cdsImpFili, "CDFILIAL");
        return RecordRef{QStringLiteral("GRFISCIMPOSFILI"), {tax, branch},
                         named(QStringLiteral("Filial"), branch, field(cdsImpFili, "NOME"))
                             + QStringLiteral(", imposto %1").arg(tax)};
    }
    if (tab == tshImpInscEsta) {
        TClientDataSet *cds = innerDataSet();
        if (!cds->Active() || cds->IsEmpty())
            return std::nullopt;
        const bool clients = cds == cdsCliInsc;
        const QString party = field(cds, clients ? "CDCLIENTE" : "CDFORNECED");
        const QString tax = field(cds, "CDIMPOSTO"), company = field(cds, "CDEMPRESA"), reg = field(cds, "CDINSCESTA");
        return RecordRef{clients ? QStringLiteral("GRFISIMPIECLIE") : QStringLiteral("GRFISIMPIEFORN"),
                         {tax, company, reg, party},
                         named(clients ? QStringLiteral("Cliente") : QStringLiteral("Fornecedor"), party, field(cds, "NOME"))
                             + QStringLiteral(", imposto %1, empresa %2, inscrição estadual %3").arg(tax, company, reg)};
    }
    return std::nullopt;
}

void TfrmParamGrupFiscal::mnuHistoricoClick()
{
    const std::optional<RecordRef> record = currentRecord();
    if (!record) {
        clientlib::interaction().message(clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                                         QStringLiteral("Selecione um registro para ver o seu histórico."),
                                         clientlib::mbOK, this);
        return;
    }
    Cria_HistoricoRegistro(this, *record);
}

void TfrmParamGrupFiscal::mnuOperacoesClick()
{
    // An undo reads the tabs again: an edit under way would be lost without a word.
    for (TClientDataSet *cds : {cdsFornecedor, cdsCliente, cdsFilial, cdsTipoOperac, cdsTipoFatur, cdsOperInter,
                                cdsTipoGest, cdsImpFili, cdsFornInsc, cdsCliInsc}) {
        if (cds->State() == dataset::dsEdit || cds->State() == dataset::dsInsert) {
            clientlib::interaction().message(clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                                             QStringLiteral("Grave ou cancele a alteração em andamento antes de abrir "
                                                            "as operações recentes."),
                                             clientlib::mbOK, this);
            return;
        }
    }
    Cria_OperacoesRecentes(this, {[this](const QStringList &tables) { return resolvePending(undoReloads(tables)); },
                                  [this](const QStringList &tables) { reloadTables(tables); }});
}

std::optional<SituacaoTab> TfrmParamGrupFiscal::situacaoTab()
{
    vcl::TTabSheet *tab = pgcPadrao->ActivePage();
    const reports::ReportTable shown = ActiveReport();
    SituacaoTab s;
    s.section = shown.section;
    s.context = shown.context;
    if (tab == tshOperInter) {
        s.table = QStringLiteral("PARAMGERAL");
        s.columns = {{QStringLiteral("CDPARGERAL"), QStringLiteral("Código"), 0}};
        return s;
    }
    struct Tab { vcl::TTabSheet *tab; const char *table; };
    const Tab tables[] = {
        {tshPadrao, "FORNECEDOR"}, {tshCliente, "CLIENTE"}, {tshFilial, "FILIAL"}, {tshTipoOperac, "TIPOOPERAC"},
        {tshTipoContrato, "TIPOFATUR"}, {tshTipoGest, "TPFATURFIS"}, {tshImpFili, "GRFISCIMPOSFILI"},
    };
    vcl::TDBGrid *grid = tab->findChild<vcl::TDBGrid *>();
    for (const Tab &t : tables)
        if (tab == t.tab)
            s.table = QString::fromLatin1(t.table);
    if (tab == tshImpFili) {
        grid = dbgImpFili;
        s.filters = {clientlib::AllTrim(medCdImposto->Text())};
    } else if (tab == tshImpInscEsta) {
        grid = innerGrid();
        s.table = innerDataSet() == cdsCliInsc ? QStringLiteral("GRFISIMPIECLIE") : QStringLiteral("GRFISIMPIEFORN");
        for (const QCborValue &v : inscParams())
            s.filters << clientlib::AllTrim(v.toString());
    }
    if (s.table.isEmpty() || !grid || s.filters.contains(QString()))
        return std::nullopt;
    for (int c = 0; c < grid->Columns().Count(); ++c) {
        const vcl::TColumn *column = grid->Columns()[c];
        if (column->Visible() && column->FieldName() != QLatin1String("CDGRUPOFISC"))
            s.columns.append({column->FieldName(), column->Title(), column->Width()});
    }
    if (tab == tshTipoContrato) {
        QPointer<clientlib::TMessages> names = msgPadrao;
        s.billingName = [names](const QString &code) { return names ? names->Msg(code) : QString(); };
    }
    return s;
}

void TfrmParamGrupFiscal::mnuSituacaoEmClick()
{
    const std::optional<SituacaoTab> tab = situacaoTab();
    if (!tab) {
        clientlib::interaction().message(clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                                         pgcPadrao->ActivePage() == tshImpFili
                                             ? QStringLiteral("Informe o imposto da aba antes de ver a sua situação "
                                                              "em outro momento.")
                                             : QStringLiteral("Informe o imposto, a empresa e a inscrição estadual da "
                                                              "aba antes de ver a sua situação em outro momento."),
                                         clientlib::mbOK, this);
        return;
    }
    Cria_SituacaoEm(this, *tab);
}

void TfrmParamGrupFiscal::reloadTables(const QStringList &tables)
{
    // The host's local cache holds some of these tables too, as a save leaves it.
    if (tables.isEmpty()) {
        refreshCache(QStringLiteral("DELETECACHE"));
    } else {
        QStringList keys;
        for (const QString &t : tables) {
            // The keys a save of the same rows drops.
            const QString key = t == QLatin1String("TIPOFATUR")         ? QStringLiteral("PARAMFILIAL")
                              : t == QLatin1String("GRFISCIMPOSFILI") ? QStringLiteral("FILIAL")
                                                                      : t;
            if (clientlib::LocalCache::tableKeys().contains(key) && !keys.contains(key))
                keys << key;
        }
        for (const QString &key : keys)
            refreshCache(key);
    }
    for (const Reload &r : undoReloads(tables))
        r.run();
    if ((tables.isEmpty() || tables.contains(QStringLiteral("PARAMGERAL"))) && pgcPadrao->ActivePage() == tshOperInter)
        showOperInter();
}

QList<TfrmParamGrupFiscal::Reload> TfrmParamGrupFiscal::undoReloads(const QStringList &tables)
{
    const auto touched = [&](std::initializer_list<const char *> names) {
        if (tables.isEmpty())
            return true;   // not known: everything shown is read again
        for (const char *n : names)
            if (tables.contains(QLatin1String(n)))
                return true;
        return false;
    };
    struct Tab { std::initializer_list<const char *> tables; TClientDataSet *cds; const char *method; };
    const Tab tabs[] = {
        {{"FORNECEDOR"}, cdsFornecedor, method::GetFornecedor},
        {{"CLIENTE"}, cdsCliente, method::GetCliente},
        {{"FILIAL"}, cdsFilial, method::GetFilial},
        {{"TIPOOPERAC"}, cdsTipoOperac, method::GetTipoOperac},
        {{"TIPOFATUR", "PARAMFILIAL"}, cdsTipoFatur, method::GetTipoFatur},
        {{"PARAMGERAL"}, cdsOperInter, method::GetOperInter},
        {{"TPFATURFIS"}, cdsTipoGest, method::GetTipoGest},
    };
    QList<Reload> out;
    for (const Tab &t : tabs) {
        if (t.cds->Active() && touched(t.tables))
            out.append({t.cds, [this, cds = t.cds, method = t.method] { load(cds, QString::fromLatin1(method)); }});
    }
    if (cdsImpFili->Active() && touched({"GRFISCIMPOSFILI"}))
        out.append({cdsImpFili, [this] { load(cdsImpFili, method::GetImpFili, {medCdImposto->Text()}); }});
    if (cdsFornInsc->Active() && touched({"GRFISIMPIEFORN"}))
        out.append({cdsFornInsc, [this] { load(cdsFornInsc, method::GetFornInsc, inscParams()); }});
    if (cdsCliInsc->Active() && touched({"GRFISIMPIECLIE"}))
        out.append({cdsCliInsc, [this] { load(cdsCliInsc, method::GetCliInsc, inscParams()); }});
    return out;
}

} // namespace fiscal::ger10200
