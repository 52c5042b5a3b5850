// "Importar planilha..." from the main screen: the tab on screen says where the lines go
// (its table, and the tax, company and registration it shows); the dialog checks and
// imports them; the tab is read again after an import.

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"

#include "Pkg_Ger10200/importacao/frmimportaplanilha.h"
#include "Pkg_Ger10200/mainscreen/toolicons.h"
#include "Pkg_Ger10200/serverlink/netparamgrupfiscal.h"
#include "Pkg_Ger10200/shared/celltext.h"
#include "Pkg_Ger10200/shared/packetrow.h"

#include "clientlib/interaction.h"
#include "clientlib/textroutines.h"
#include "dataset/clientdataset.h"
#include "dataset/field.h"
#include "importing/importlines.h"
#include "protocol/objects.h"
#include "vcl/controls.h"
#include "vcl/maskedit.h"
#include "vcl/menus.h"
#include "vcl/pagecontrol.h"

#include <QAction>
#include <QHash>
#include <QMenu>

#include <memory>

namespace fiscal::ger10200 {

using dataset::TClientDataSet;
namespace method = protocol::method;

namespace {

QString digitsOf(const QString &s)
{
    QString d;
    d.reserve(s.size());
    for (const QChar c : s) {
        if (c.isDigit())
            d += c;
    }
    return d;
}

// The records of a tab's data set that keys name, by code or by CNPJ/CPF digits (a code
// wins), found in one pass over its rows: an index of every row of a tab of 500,000 clients
// took seconds and hundreds of MB to show a sample of 50.
std::function<std::vector<std::optional<ImportTarget::Shown>>(const QStringList &)>
finder(TClientDataSet *cds, const char *code, const char *document)
{
    return [=](const QStringList &keys) {
        std::vector<std::optional<ImportTarget::Shown>> found(std::size_t(keys.size()));
        std::vector<bool> byCode(found.size(), false);
        QHash<QString, QList<qsizetype>> codes, documents;
        for (qsizetype i = 0; i < keys.size(); ++i) {
            codes[keys[i]].append(i);
            if (document) {
                QString d = digitsOf(keys[i]);
                // A number that lost its leading zeros, as the server completes it.
                if (d.size() != 11 && d.size() != 14 && d == keys[i])
                    d = importing::documentFromNumber(d);
                if (!d.isEmpty())
                    documents[d].append(i);
            }
        }
        const int c = cds->FieldByName(QString::fromLatin1(code))->Index();
        const int g = cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->Index();
        dataset::TField *nameField = cds->FindField(QStringLiteral("NOME"));
        dataset::TField *docField = document ? cds->FindField(QString::fromLatin1(document)) : nullptr;
        if (!docField)
            documents.clear();
        const auto shown = [&](int r, const QString &k) {
            const QString name = nameField ? clientlib::AllTrim(cds->valueAt(r, nameField->Index()).value_or(QString())) : QString();
            return ImportTarget::Shown{name.isEmpty() ? k : k + QStringLiteral(" - ") + name,
                                       cds->valueAt(r, g).value_or(QString())};
        };
        for (int r = 0; r < cds->rowCount(); ++r) {
            const QString k = cds->valueAt(r, c).value_or(QString());
            if (auto it = codes.constFind(k); it != codes.constEnd()) {
                for (const qsizetype i : *it) {
                    found[std::size_t(i)] = shown(r, k);
                    byCode[std::size_t(i)] = true;
                }
            }
            if (documents.isEmpty())
                continue;
            auto it = documents.constFind(digitsOf(cds->valueAt(r, docField->Index()).value_or(QString())));
            if (it == documents.constEnd())
                continue;
            for (const qsizetype i : *it) {
                if (!byCode[std::size_t(i)])
                    found[std::size_t(i)] = shown(r, k);
            }
        }
        return found;
    };
}

} // namespace

void TfrmParamGrupFiscal::buildImportCommands()
{
    sbtImportar = addToolButton(QStringLiteral("sbtImportar"), QStringLiteral("Importar planilha"), importIcon());
    sbtImportar->setEnabled(false);
    sbtImportar->OnClick = [this] { mnuImportarClick(); };
    mnuImportar = vcl::newMenuItem(this, QStringLiteral("Im&portar planilha..."), QKeySequence(),   // I is "&Incluir"'s
                                   [this] { mnuImportarClick(); });
    mnuImportar->setObjectName(QStringLiteral("mnuImportar"));
    mnuManutencao->addAction(mnuImportar);
    vcl::linkEnabled(mnuImportar, sbtImportar);
}

std::optional<ImportTarget> TfrmParamGrupFiscal::importTarget()
{
    vcl::TTabSheet *tab = pgcPadrao->ActivePage();
    struct Plain { vcl::TTabSheet *tab; TClientDataSet *cds; const char *entity, *code, *document; };
    const Plain plain[] = {
        {tshPadrao, cdsFornecedor, "FORNECEDOR", "CDFORNECED", "NRINSJURFORN"},
        {tshCliente, cdsCliente, "CLIENTE", "CDCLIENTE", "NRINSJURCLIE"},
        {tshFilial, cdsFilial, "FILIAL", "CDFILIAL", nullptr},
        {tshTipoOperac, cdsTipoOperac, "TIPOOPERAC", "CDTIPOOPER", nullptr},
        {tshTipoContrato, cdsTipoFatur, "TIPOFATUR", "CDTIPOFATUR", nullptr},
        {tshTipoGest, cdsTipoGest, "TPFATURFIS", "CDTPFATURFIS", nullptr},
    };
    for (const Plain &p : plain) {
        if (tab == p.tab && p.cds->Active())
            return ImportTarget{QString::fromLatin1(p.entity), {}, {}, {}, tab->Caption(), finder(p.cds, p.code, p.document)};
    }
    if (tab == tshImpFili && cdsImpFili->Active()) {
        const QString tax = clientlib::AllTrim(medCdImposto->Text());
        return ImportTarget{QStringLiteral("GRFISCIMPOSFILI"), tax, {}, {},
                            QStringLiteral("%1 - imposto %2").arg(tab->Caption(), tax),
                            finder(cdsImpFili, "CDFILIAL", nullptr)};
    }
    if (tab == tshImpInscEsta && innerDataSet()->Active()) {
        const bool clients = innerDataSet() == cdsCliInsc;
        const QCborArray p = inscParams();
        const QString tax = clientlib::AllTrim(p.at(0).toString()), company = clientlib::AllTrim(p.at(1).toString());
        const QString reg = clientlib::AllTrim(p.at(2).toString());
        return ImportTarget{clients ? QStringLiteral("GRFISIMPIECLIE") : QStringLiteral("GRFISIMPIEFORN"), tax, company, reg,
                            QStringLiteral("%1 - %2 (imposto %3, empresa %4, inscrição estadual %5)")
                                .arg(tab->Caption(), pgcCliente->ActivePage()->Caption(), tax, company, reg),
                            clients ? finder(cdsCliInsc, "CDCLIENTE", "NRINSJURCLIE")
                                    : finder(cdsFornInsc, "CDFORNECED", "NRINSJURFORN")};
    }
    return std::nullopt;
}

void TfrmParamGrupFiscal::mnuImportarClick()
{
    if (!sbtImportar->isEnabled())
        return;
    const std::optional<ImportTarget> target = importTarget();
    if (!target) {
        clientlib::interaction().message(clientlib::mtInformation, clientlib::messageTitle(clientlib::mtInformation),
                                         QStringLiteral("Abra os registros da aba antes de importar uma planilha para ela."),
                                         clientlib::mbOK, this);
        return;
    }
    // The tab is read again after the import: changes not yet saved must be saved or dropped.
    if (!resolvePending(undoReloads({target->entity})))
        return;
    const QString path = clientlib::interaction().chooseOpenFile(
        QStringLiteral("Importar planilha"),
        {QStringLiteral("Planilhas (*.xlsx *.ods *.csv *.txt)"), QStringLiteral("Todos os arquivos (*)")}, this);
    if (!path.isEmpty())
        importFile(path);
}

void TfrmParamGrupFiscal::importFile(const QString &path)
{
    std::optional<ImportTarget> target = importTarget();
    if (!target)
        return;
    // The sample of changes names the groups as the grids do, so that a code typed wrong in
    // the file shows as the wrong name. The list is read once, when the sample first needs
    // it; a list that cannot be read leaves the codes alone (the import reports the server).
    auto names = std::make_shared<std::optional<QHash<QString, QString>>>();
    target->groupText = [this, names](const QString &code) {
        if (!*names) {
            QHash<QString, QString> read;
            try {
                const dataset::DataPacket p = netParamGrupFiscal->packet(method::GetGrupoFiscal, {QString()});
                for (int r = 0; r < int(p.rows.size()); ++r) {
                    const PacketRow row(p, r);
                    read.insert(row["CDGRUPOFISC"], row["DSGRUPOFISC"]);
                }
            } catch (const std::exception &) {
                read.clear(); // the codes alone
            }
            *names = std::move(read);
        }
        const QString name = (*names)->value(code);
        return clientlib::AllTrim(name).isEmpty() ? code : grupoFiscalCell(code, name);
    };
    std::unique_ptr<ImportDialog> dialog = ImportDialog::open(*target, path, this);
    if (!dialog)
        return;
    // Also after a failed import: one whose answer was lost may have gone in.
    if (clientlib::interaction().runModal(*dialog) == QDialog::Accepted || dialog->importTried())
        reloadTables({target->entity});
}

} // namespace fiscal::ger10200
