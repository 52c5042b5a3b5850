// "Importar planilha" driven as a person drives it, against a real server: the preview's
// counts and every error by its line in the file, "Importar" only without errors or with
// "Importar somente as linhas sem erro", the database and the tab after it as the preview
// promised, the grid's own export importing back unchanged, a hostile file refused with a
// message, and the command's availability.

#include "modulefixture.h"
#include "../importing/sheetfiles.h"

#include "Pkg_Ger10200/importacao/frmimportaplanilha.h"
#include "dataset/clientdataset.h"
#include "reports/reporttable.h"
#include "reports/spreadsheet.h"
#include "vcl/controls.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using ger10200::ImportDialog;
using ger10200::TfrmParamGrupFiscal;

class ImportTest : public OpenScreenTest {
protected:
    // Opens the dialog on `path` from the tool button and runs `drive` in it.
    bool withImport(const QString &path, const std::function<void(ImportDialog &)> &drive)
    {
        script->push(Answer::open(path));
        return runDialog<ImportDialog>(drive, [this] { clickButton(frm->sbtImportar); }, frm);
    }

    QStringList column(QTableWidget *t, int c)
    {
        QStringList out;
        for (int r = 0; r < t->rowCount(); ++r)
            out << t->item(r, c)->text();
        return out;
    }

    // A group as the sample names it, as the grids do: "001 - Tributação normal".
    QString named(const QString &code) const
    {
        const auto name = db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {code.toStdString()});
        return code + QStringLiteral(" - ") + QString::fromStdString(name.value_or("")).trimmed();
    }

    // A group the client does not hold, so that importing it changes the client.
    QString anotherGroup(const QString &client) const
    {
        return QString::fromStdString(*db->scalar(
            "SELECT MIN(CDGRUPOFISC) FROM GRUPOFISCAL WHERE CDGRUPOFISC <> COALESCE((SELECT CDGRUPOFISC FROM CLIENTE"
            " WHERE CDCLIENTE = $1), '')", {client.toStdString()}));
    }

    void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    QTemporaryDir dir;
};

TEST_F(ImportTest, PreviewShowsEveryErrorAndImportsWhatItPromised)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const auto rows = db->query("SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE WHERE CDGRUPOFISC IS NOT NULL "
                                "ORDER BY CDCLIENTE LIMIT 3");
    ASSERT_EQ(rows.size(), 3u);
    const QString c1 = QString::fromStdString(*rows[0][0]), c2 = QString::fromStdString(*rows[1][0]);
    const QString c3 = QString::fromStdString(*rows[2][0]);
    const QString now1 = QString::fromStdString(*rows[0][1]), now2 = QString::fromStdString(*rows[1][1]);
    const QString next1 = now1 == QLatin1String("001") ? QStringLiteral("002") : QStringLiteral("001");
    // Windows-1252, ';', a title with accents, a report's heading above it.
    const QString csv = QStringLiteral("Clientes para revisão\r\n\r\nCódigo;Razão Social;Grupo Fiscal\r\n"
                                       "%1;Um;%2\r\n%3;Dois;%4\r\nZZZ;Três;001\r\n%5;Quatro;999\r\nabc;Cinco;grupo x\r\n")
                            .arg(c1, next1, c2, now2, c3);
    const QString path = dir.filePath(QStringLiteral("clientes.csv"));
    write(path, csv.toLatin1());
    const std::string sql = "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE";
    const QMap<QString, QString> before = stored(sql);
    const std::int64_t operations = db->count("SELECT COUNT(*) FROM HISTOPERACAO");

    withImport(path, [&](ImportDialog &d) {
        EXPECT_EQ(d.windowTitle(), QStringLiteral("Importar planilha"));
        EXPECT_EQ(d.lblContagem->text(), QStringLiteral("5 lidas, 1 a alterar, 1 já com esse grupo, 3 com erro"));
        EXPECT_TRUE(d.lblColunas->text().contains(QStringLiteral("\"Código\" (coluna A)")));
        EXPECT_EQ(column(d.grdErros, 0), (QStringList{"6", "7", "8"}));
        EXPECT_EQ(column(d.grdErros, 1),
                  (QStringList{QStringLiteral("Cliente ZZZ não cadastrado."), QStringLiteral("Grupo fiscal 999 não cadastrado."),
                               QStringLiteral("Grupo fiscal \"grupo x\" ilegível: informe o código de até 3 caracteres.")}));
        EXPECT_EQ(column(d.grdAmostra, 1), QStringList{named(now1)});
        EXPECT_EQ(column(d.grdAmostra, 2), QStringList{named(next1)});
        EXPECT_FALSE(d.btnImportar->isEnabled());
        clickButton(d.btnImportar);
        EXPECT_EQ(stored(sql), before) << "imported with errors";
        d.chkSomenteValidas->click();
        ASSERT_TRUE(d.btnImportar->isEnabled());
        script->push(Answer::ok());   // "Importação concluída"
        clickButton(d.btnImportar);
    });
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Importação concluída: 1 registro alterado.")});
    QMap<QString, QString> expected = before;
    expected[c1] = next1;
    EXPECT_EQ(stored(sql), expected);
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM HISTOPERACAO"), operations + 1);
    EXPECT_TRUE(databaseShows(frm->cdsCliente, QStringLiteral("CDCLIENTE"), "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE"));
}

// A file whose every line is wrong (a group not registered yet): the dialog lists the first
// thousand errors and says how many more there are; "Exportar erros..." writes them all.
TEST_F(ImportTest, ManyErrorsAreListedInPartAndExportedWhole)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const QString client = QString::fromStdString(*db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE"));
    QByteArray csv = "Código;Grupo Fiscal\r\n";
    for (int i = 0; i < 1200; ++i)
        csv += client.toLatin1() + ";998\r\n";
    const QString path = dir.filePath(QStringLiteral("erros.csv"));
    write(path, csv);
    const QString exported = dir.filePath(QStringLiteral("lista.csv"));
    withImport(path, [&](ImportDialog &d) {
        EXPECT_TRUE(d.lblContagem->text().endsWith(QStringLiteral("1.200 com erro"))) << d.lblContagem->text().toStdString();
        ASSERT_EQ(d.grdErros->rowCount(), 1001);
        EXPECT_EQ(d.grdErros->item(999, 0)->text(), QStringLiteral("1.001"));
        EXPECT_EQ(d.grdErros->item(1000, 1)->text(), QStringLiteral("... e mais 200 erros: \"Exportar erros...\" grava todos."));
        script->push(Answer::saveAs(exported));
        script->push(Answer::ok());
        clickButton(d.btnExportarErros);
    });
    QFile f(exported);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << script->messages().join('\n').toStdString();
    EXPECT_EQ(f.readAll().count("Grupo fiscal 998 não cadastrado."), 1200);
}

// The server counts the lines it was sent; the person reads the lines of the file, which the
// heading, the titles, an empty row and the lines left out shift.
TEST_F(ImportTest, MessagesNameTheLinesOfTheFile)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const auto rows = db->query("SELECT CDCLIENTE FROM CLIENTE ORDER BY CDCLIENTE LIMIT 3");
    ASSERT_EQ(rows.size(), 3u);
    const QString c1 = QString::fromStdString(*rows[0][0]), c2 = QString::fromStdString(*rows[1][0]),
                  c3 = QString::fromStdString(*rows[2][0]);
    const QString g3 = anotherGroup(c3);
    db->exec("INSERT INTO GRUPOFISCAL (CDGRUPOFISC, DSGRUPOFISC) VALUES ('Z77', 'Some antes da importação')");
    // c1 twice with two groups (lines 4 and 7), c2 to a group removed before "Importar" (line 9),
    // c3 to a group of its own (line 10).
    const QString csv = QStringLiteral("Clientes\r\n\r\nCódigo;Grupo Fiscal\r\n%1;001\r\nabc;grupo x\r\n\r\n"
                                       "%1;002\r\n\r\n%2;Z77\r\n%3;%4\r\n").arg(c1, c2, c3, g3);
    const QString path = dir.filePath(QStringLiteral("linhas.csv"));
    write(path, csv.toUtf8());
    const std::string sql = "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE";
    const QMap<QString, QString> before = stored(sql);
    withImport(path, [&](ImportDialog &d) {
        EXPECT_EQ(column(d.grdErros, 0), (QStringList{"4", "5", "7"}));
        const QString twice = QStringLiteral("Cliente %1 repetido com outro grupo fiscal (linha %2).");
        EXPECT_EQ(column(d.grdErros, 1), (QStringList{twice.arg(c1, QStringLiteral("7")),
                                                     QStringLiteral("Grupo fiscal \"grupo x\" ilegível: informe o código de até 3 caracteres."),
                                                     twice.arg(c1, QStringLiteral("4"))}));
        EXPECT_EQ(helpPageOnF1(d), QStringLiteral("importar-planilha"));
        db->exec("DELETE FROM GRUPOFISCAL WHERE CDGRUPOFISC = 'Z77'");
        d.chkSomenteValidas->click();
        clickButton(d.btnImportar);
        EXPECT_EQ(stored(sql), before);
        // The refusal is checked again: line 9 joins the errors, and the lines without
        // error now go in.
        EXPECT_EQ(column(d.grdErros, 0), (QStringList{"4", "5", "7", "9"}));
        clickButton(d.btnImportar);
    });
    EXPECT_EQ(script->messages(), (QStringList{QStringLiteral("Linha 9: grupo fiscal Z77 não cadastrado."),
                                               QStringLiteral("Importação concluída: 1 registro alterado.")}));
    QMap<QString, QString> expected = before;
    expected[c3] = g3;
    EXPECT_EQ(stored(sql), expected);
}

// A refused import whose second check fails too keeps the first check: its errors stay
// listed and "Importar" stays, for another try once the server answers again.
TEST_F(ImportTest, ACheckThatFailsAfterARefusalKeepsTheFirst)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const QString client = QString::fromStdString(*db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE"));
    const QString group = anotherGroup(client);
    const QString path = dir.filePath(QStringLiteral("duas.csv"));
    write(path, QStringLiteral("Código;Grupo Fiscal\r\n%1;%2\r\nabc;grupo x\r\n").arg(client, group).toUtf8());
    withImport(path, [&](ImportDialog &d) {
        ASSERT_EQ(column(d.grdErros, 0), QStringList{"3"});
        d.chkSomenteValidas->click();
        db->exec("ALTER TABLE CLIENTE RENAME TO CLIENTE_FORA");
        clickButton(d.btnImportar);
        db->exec("ALTER TABLE CLIENTE_FORA RENAME TO CLIENTE");
        EXPECT_EQ(script->messages().size(), 2) << script->messages().join('\n').toStdString();
        EXPECT_EQ(column(d.grdErros, 0), QStringList{"3"});
        EXPECT_EQ(d.counts().toChange, 1);
        ASSERT_TRUE(d.btnImportar->isEnabled());
        script->clear();
        clickButton(d.btnImportar);
    });
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Importação concluída: 1 registro alterado.")});
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", {client.toStdString()}), group.toStdString());
}

// A workbook that starts with a sheet of its own lists opens at the first sheet that reads:
// the sheet list is in the dialog, out of reach if the first sheet stopped it opening.
TEST_F(ImportTest, AWorkbookOpensAtTheFirstSheetThatReads)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const QString client = QString::fromStdString(*db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE"));
    const QString group = anotherGroup(client);
    const QString path = dir.filePath(QStringLiteral("pasta.xlsx"));
    writeXlsx(path, {{QStringLiteral("Grupos"), {{QStringLiteral("Grupo"), QStringLiteral("Descrição")}, {group, QStringLiteral("x")}}},
                     {QStringLiteral("Clientes"), {{QStringLiteral("Código"), QStringLiteral("Grupo Fiscal")}, {client, group}}}});
    const bool opened = withImport(path, [&](ImportDialog &d) {
        EXPECT_EQ(d.cbxFolha->currentText(), QStringLiteral("Clientes"));
        EXPECT_TRUE(d.cbxFolha->isEnabled());
        clickButton(d.btnImportar);
    });
    EXPECT_FALSE(opened) << "imported and closed";
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Importação concluída: 1 registro alterado.")});
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", {client.toStdString()}), group.toStdString());
}

// "1234" is no group: the record's other line, with another group, is no choice to import
// "only the lines without error" either.
TEST_F(ImportTest, AGroupThatCannotBeACodeStillNamesItsRecord)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const auto rows = db->query("SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE WHERE CDGRUPOFISC IS NOT NULL "
                                "ORDER BY CDCLIENTE LIMIT 1");
    ASSERT_EQ(rows.size(), 1u);
    const QString c1 = QString::fromStdString(*rows[0][0]);
    const QString next = *rows[0][1] == "001" ? QStringLiteral("002") : QStringLiteral("001");
    const QString path = dir.filePath(QStringLiteral("dois-grupos.csv"));
    write(path, QStringLiteral("Código;Grupo Fiscal\r\n%1;1234\r\n%1;%2\r\n").arg(c1, next).toUtf8());
    const std::string sql = "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE";
    const QMap<QString, QString> before = stored(sql);
    const bool shown = withImport(path, [&](ImportDialog &d) {
        EXPECT_EQ(column(d.grdErros, 0), (QStringList{"2", "3"}));
        EXPECT_EQ(column(d.grdErros, 1),
                  (QStringList{QStringLiteral("Grupo fiscal \"1234\" ilegível: informe o código de até 3 caracteres."),
                               QStringLiteral("Cliente %1 repetido com outro grupo fiscal (linha 2).").arg(c1)}));
        d.chkSomenteValidas->click();
        EXPECT_FALSE(d.btnImportar->isEnabled());
    });
    EXPECT_TRUE(shown) << script->messages().join(u'\n').toStdString();
    EXPECT_EQ(stored(sql), before);
}

// Two suppliers that share a CNPJ and one without any come back too: by the code the file
// holds, which the grid does not show.
TEST_F(ImportTest, TheGridsOwnExportImportsBackUnchanged)
{
    const auto suppliers = db->query("SELECT CDFORNECED, NRINSJURFORN FROM FORNECEDOR WHERE NRINSJURFORN IS NOT NULL "
                                     "ORDER BY CDFORNECED LIMIT 3");
    ASSERT_EQ(suppliers.size(), 3u);
    db->exec("UPDATE FORNECEDOR SET NRINSJURFORN = $1 WHERE CDFORNECED = $2", {*suppliers[0][1], *suppliers[1][0]});
    db->exec("UPDATE FORNECEDOR SET NRINSJURFORN = NULL WHERE CDFORNECED = $1", {*suppliers[2][0]});
    for (vcl::TTabSheet *tab : {frm->tshPadrao, frm->tshCliente, frm->tshFilial, frm->tshTipoGest}) {
        SCOPED_TRACE(tab->Caption().toStdString());
        clickTab(frm->pgcPadrao, tab);
        frm->AtualizaQuery();
        const QString path = dir.filePath(tab->objectName() + QStringLiteral(".xlsx"));
        ASSERT_TRUE(reports::writeXlsx(frm->ActiveReport(TfrmParamGrupFiscal::ReportUse::File), path));
        withImport(path, [&](ImportDialog &d) {
            EXPECT_EQ(d.counts().errors, 0) << d.errors().front().reason.toStdString();
            EXPECT_EQ(d.counts().toChange, 0);
            EXPECT_GT(d.counts().same, 0);
            EXPECT_FALSE(d.btnImportar->isEnabled());
        });
    }
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join(QLatin1Char('\n')).toStdString();
}

// A report names its tax in its heading: imported back into that tax it changes nothing;
// into another one it is refused, before anything is sent.
TEST_F(ImportTest, AReportOfOneTaxIsNotImportedIntoAnother)
{
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    const auto readTax = [&](const char *tax) {
        frm->medCdImposto->setText(QString::fromLatin1(tax));
        frm->dbgImpFili->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
    };
    readTax("01");
    ASSERT_TRUE(frm->cdsImpFili->Active());
    const QString path = dir.filePath(QStringLiteral("imposto01.xlsx"));
    ASSERT_TRUE(reports::writeXlsx(frm->ActiveReport(), path));
    withImport(path, [&](ImportDialog &d) {
        EXPECT_EQ(d.counts().errors, 0);
        EXPECT_EQ(d.counts().toChange, 0);
    });

    readTax("02");
    ASSERT_TRUE(frm->cdsImpFili->Active());
    clearCalls();
    script->clear();
    script->push(Answer::open(path));
    script->push(Answer::ok());
    clickButton(frm->sbtImportar);
    ASSERT_EQ(script->messages().size(), 1);
    EXPECT_TRUE(script->messages().front().startsWith(QStringLiteral("A planilha traz \"Imposto: 01\", e a aba está em"
                                                                     " Imposto 02.")))
        << script->messages().front().toStdString();
    EXPECT_TRUE(callsOf(QStringLiteral("SimulaImportaGrupos")).isEmpty());
    EXPECT_EQ(script->pending(), 0);
}

// The sample looks the lines' records up in the tab a batch at a time: a change named by a
// formatted CNPJ/CPF, and changes only after hundreds of unchanged lines, still show, in
// line order.
TEST_F(ImportTest, TheSampleFindsChangesByDocumentAndPastTheFirstLines)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const auto rows = db->query("SELECT CDCLIENTE, CDGRUPOFISC, NRINSJURCLIE FROM CLIENTE WHERE CDGRUPOFISC IS NOT NULL"
                                " AND LENGTH(NRINSJURCLIE) = 14 ORDER BY CDCLIENTE LIMIT 12");
    ASSERT_EQ(rows.size(), 12u);
    const auto other = [](const std::string &g) { return g == "001" ? QStringLiteral("002") : QStringLiteral("001"); };
    const auto cnpj = [](const std::string &d) {
        return QString::fromStdString(d.substr(0, 2) + '.' + d.substr(2, 3) + '.' + d.substr(5, 3) + '/' + d.substr(8, 4)
                                      + '-' + d.substr(12));
    };
    // 700 lines; the changes go to the first clients, every other line names one of the
    // rest with the group it has (a record named again with its group is no error).
    const struct { const char *name; std::vector<std::size_t> changed; bool byDocument; } cases[] = {
        {"first line, by CNPJ", {0}, true},
        {"past the first batches, by code", {250, 699}, false},
        {"past the first batches, by CNPJ", {650}, true},
    };
    constexpr std::size_t kLines = 700, kChanging = 2;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString csv = QStringLiteral("Código;Grupo Fiscal\r\n");
        QStringList expected;
        std::size_t nextChange = 0;
        for (std::size_t i = 0; i < kLines; ++i) {
            const bool changes = std::count(c.changed.begin(), c.changed.end(), i) > 0;
            const auto &row = rows[changes ? nextChange++ : kChanging + i % (rows.size() - kChanging)];
            const QString key = changes && c.byDocument ? cnpj(*row[2]) : QString::fromStdString(*row[0]);
            const QString group = changes ? other(*row[1]) : QString::fromStdString(*row[1]);
            csv += key + u';' + group + QStringLiteral("\r\n");
            if (changes)
                expected << QString::fromStdString(*row[0]) + u'|' + named(group);
        }
        const QString path = dir.filePath(QStringLiteral("amostra.csv"));
        write(path, csv.toUtf8());
        withImport(path, [&](ImportDialog &d) {
            EXPECT_EQ(d.counts().toChange, qint64(c.changed.size()));
            QStringList sample;
            for (int r = 0; r < d.grdAmostra->rowCount(); ++r)
                sample << d.grdAmostra->item(r, 0)->text().section(QLatin1Char(' '), 0, 0) + u'|'
                              + d.grdAmostra->item(r, 2)->text();
            EXPECT_EQ(sample, expected);
        });
    }
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join(QLatin1Char('\n')).toStdString();
}

TEST_F(ImportTest, AHostileFileIsRefusedWithAMessageAndNoCall)
{
    clickTab(frm->pgcPadrao, frm->tshFilial);
    const QString path = dir.filePath(QStringLiteral("planilha.csv"));
    write(path, QByteArray("\x7F" "ELF\x02\x01\x01\x00\x00\x00", 10) + QByteArray(2000, '\0'));
    clearCalls();
    script->push(Answer::open(path));
    script->push(Answer::ok());
    clickButton(frm->sbtImportar);
    ASSERT_EQ(script->messages().size(), 1);
    EXPECT_TRUE(script->messages().front().contains(QStringLiteral("binário")));
    EXPECT_TRUE(callsOf(QStringLiteral("SimulaImportaGrupos")).isEmpty());
    EXPECT_EQ(script->pending(), 0);
}

// With the keyboard alone: Tab leaves the lists for the box and the buttons, and Enter clicks
// only the button that has the focus (Qt would click the first one from a list).
TEST_F(ImportTest, TheKeyboardAloneReachesEveryButtonAndEnterClicksOnlyTheFocusedOne)
{
    clickTab(frm->pgcPadrao, frm->tshCliente);
    const QString client = QString::fromStdString(*db->scalar("SELECT MIN(CDCLIENTE) FROM CLIENTE"));
    const QString path = dir.filePath(QStringLiteral("teclado.csv"));
    write(path, QStringLiteral("Código;Grupo Fiscal\r\n%1;%2\r\nZZZ;001\r\n").arg(client, anotherGroup(client)).toLatin1());
    withImport(path, [&](ImportDialog &d) {
        const auto tabUntil = [&](QWidget *target) {
            for (int i = 0; i < 12 && QApplication::focusWidget() != target; ++i)
                pressKey(Qt::Key_Tab);
            return QApplication::focusWidget() == target;
        };
        d.grdErros->setFocus();
        d.grdErros->selectRow(0);
        pressKey(Qt::Key_Return);   // nothing asked: no answer is queued
        EXPECT_TRUE(d.isVisible());
        EXPECT_TRUE(tabUntil(d.chkSomenteValidas)) << "Tab stayed in the lists";
        pressKey(Qt::Key_Space);
        ASSERT_TRUE(d.chkSomenteValidas->isChecked());
        EXPECT_TRUE(tabUntil(d.btnFechar));
        EXPECT_TRUE(tabUntil(d.btnImportar));
        script->push(Answer::ok());   // "Importação concluída"
        pressKey(Qt::Key_Return);
    });
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Importação concluída: 1 registro alterado.")});
    EXPECT_EQ(script->pending(), 0);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();   // no file asked for
}

TEST_F(ImportTest, AvailableOnTheTabsThatImport)
{
    const struct { vcl::TTabSheet *tab; bool enabled; } cases[] = {
        {frm->tshCliente, true}, {frm->tshTipoContrato, true}, {frm->tshOperInter, false}, {frm->tshFilial, true},
    };
    for (const auto &c : cases) {
        clickTab(frm->pgcPadrao, c.tab);
        EXPECT_EQ(frm->sbtImportar->isEnabled(), c.enabled) << c.tab->Caption().toStdString();
        EXPECT_EQ(frm->mnuImportar->isEnabled(), c.enabled) << c.tab->Caption().toStdString();
    }
    // Not while the tab is being edited.
    clickButton(frm->sbtAlterar);
    EXPECT_FALSE(frm->sbtImportar->isEnabled());
}

} // namespace
} // namespace fiscal::test
