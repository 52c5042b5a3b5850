// The main screen's print, export, coverage and help commands, driven through its menus,
// buttons and keys against a real fiscal-server; the files read back as another program
// would read them.

#include "modulefixture.h"
#include "../reports/readback.h"

#include "Pkg_Ger10200/cobertura/frmcobertura.h"
#include "Pkg_Ger10200/cobertura/frmsemgrupo.h"
#include "help/help.h"
#include "help/helpwindow.h"
#include "help/manual.h"
#include "clientlib/frmrotigeral.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAction>
#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QFile>
#include <QListWidget>
#include <QPointer>
#include <QRegularExpression>
#include <QSet>
#include <QTreeWidget>
#include <QImage>
#include <QPrintPreviewDialog>
#include <QProcess>
#include <QPrintPreviewWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using ger10200::TfrmParamGrupFiscal;

// Registration numbers as a person writes them, worked out here on their own.
QString formatted(const QString &digits, const QString &type)
{
    if (type == QLatin1String("J") && digits.size() == 14)
        return QStringLiteral("%1.%2.%3/%4-%5").arg(digits.mid(0, 2), digits.mid(2, 3), digits.mid(5, 3), digits.mid(8, 4), digits.mid(12, 2));
    if (type == QLatin1String("F") && digits.size() == 11)
        return QStringLiteral("%1.%2.%3-%4").arg(digits.mid(0, 3), digits.mid(3, 3), digits.mid(6, 3), digits.mid(9, 2));
    return digits;
}

// What a row of the tab's grid shows, from the data set's own values.
QStringList expectedRow(TfrmParamGrupFiscal *frm, vcl::TDBGrid *grid, int row)
{
    dataset::TClientDataSet *cds = grid->DataSource()->DataSet();
    auto value = [&](const char *field) {
        dataset::TField *f = cds->FindField(QString::fromLatin1(field));
        return f ? cds->valueAt(row, f->Index()).value_or(QString()).trimmed() : QString();
    };
    QStringList cells;
    for (int c = 0; c < grid->Columns().Count(); ++c) {
        if (!grid->Columns()[c]->Visible())
            continue;
        const QString name = grid->Columns()[c]->FieldName();
        if (name == QLatin1String("CDGRUPOFISC"))
            cells << (value("CDGRUPOFISC").isEmpty() ? QString() : value("CDGRUPOFISC") + QStringLiteral(" - ") + value("DSGRUPOFISC"));
        else if (name.startsWith(QLatin1String("NRINSJUR")))
            cells << formatted(value(name.toLatin1()), value(name == QLatin1String("NRINSJURFORN") ? "IDTPIJURFORN" : "IDTPIJURCLIE"));
        else if (name == QLatin1String("CDTIPOFATUR"))
            cells << value("CDTIPOFATUR") + QStringLiteral(" - ") + frm->msgPadrao->Msg(value("CDTIPOFATUR"));
        else
            cells << value(name.toLatin1());
    }
    return cells;
}

class ReportingTest : public ModuleTest {
protected:
    QTemporaryDir dir;
};

TEST_F(ReportingTest, SupplierTabPrintsToPdfAsTheGridShowsIt)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    ASSERT_TRUE(frm->mnuImprimir->isEnabled());
    EXPECT_EQ(frm->mnuImprimir->shortcut(), QKeySequence(QKeySequence::Print));

    const QString pdf = dir.filePath(QStringLiteral("fornecedores.pdf"));
    script->push(Answer::saveAs(pdf, QStringLiteral("Documento PDF (*.pdf)")));
    triggerMenu(frm->mnuExportar);
    ASSERT_TRUE(QFile::exists(pdf)) << script->messages().join(QLatin1Char('\n')).toStdString();
    const QString text = pdfText(pdf);
    const int pages = int(text.count(QLatin1Char('\f')));
    ASSERT_GE(pages, 1);

    const auto company = db->query("SELECT F.NRINSJURFORN, G.CDGRUPOFISC || ' - ' || G.DSGRUPOFISC FROM FORNECEDOR F"
                                   " JOIN GRUPOFISCAL G ON G.CDGRUPOFISC = F.CDGRUPOFISC WHERE F.IDTPIJURFORN = 'J'"
                                   " ORDER BY F.NMRAZSOCFORN LIMIT 1").at(0);
    for (const QString &must : {QStringLiteral("Parâmetros de Grupo Fiscal"), QStringLiteral("GER10200"),
                                QStringLiteral("Fornecedor"), QStringLiteral("Inscrição"), QStringLiteral("Nome/Razão Social"),
                                QStringLiteral("Grupo Fiscal"), formatted(QString::fromStdString(*company[0]), QStringLiteral("J")),
                                QString::fromStdString(*company[1]), QStringLiteral("1 de %1").arg(pages)})
        EXPECT_TRUE(text.contains(must)) << must.toStdString();
}

TEST_F(ReportingTest, PrintButtonOpensThePreview)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    int pages = 0;
    QString title;
    script->push(Answer::dialog([&](QDialog &d) {
        title = d.windowTitle();
        if (auto *w = d.findChild<QPrintPreviewWidget *>())
            pages = w->pageCount();
    }, false));
    clickButton(frm->sbtImprimir);
    EXPECT_GE(pages, 1);
    EXPECT_EQ(title, QStringLiteral("Visualização de impressão - Fornecedor"));
}

// Every row of the grid, in its order, with codes and accents as shown.
TEST_F(ReportingTest, TabsExportEveryRowAsShown)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    // A grid sorted by a column title exports in the order it shows.
    const struct { vcl::TTabSheet *tab; vcl::TDBGrid *grid; const char *file; const char *sortBy; } cases[] = {
        {frm->tshCliente, frm->dbgCliente, "clientes.xlsx", nullptr},
        {frm->tshCliente, frm->dbgCliente, "clientes.csv", nullptr},
        {frm->tshFilial, frm->dbgFilial, "filiais.csv", nullptr},
        {frm->tshTipoContrato, frm->dbgTipoFatur, "contratos.xlsx", nullptr},
        {frm->tshCliente, frm->dbgCliente, "clientes-por-nome.csv", "NMFANTCLIE"},
        {frm->tshFilial, frm->dbgFilial, "filiais-por-grupo.xlsx", "CDGRUPOFISC"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        clickTab(frm->pgcPadrao, c.tab);
        if (c.sortBy) {
            c.grid->setSort(c.grid->Columns().IndexOfField(QString::fromLatin1(c.sortBy)), Qt::DescendingOrder);
            ASSERT_NE(c.grid->dataRow(0), 0);
        }
        const QString path = dir.filePath(QString::fromLatin1(c.file));
        script->push(Answer::saveAs(path));
        triggerMenu(frm->mnuExportar);
        QList<QStringList> rows = path.endsWith(QLatin1String(".csv")) ? parseCsv([&] {
            QFile f(path);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        }()) : xlsxSheetRows(path);
        ASSERT_FALSE(rows.isEmpty());
        const QStringList header = rows.takeFirst();
        const int columns = int(header.size());
        for (QStringList &r : rows)
            while (r.size() < columns)
                r << QString();
        dataset::TClientDataSet *set = c.grid->DataSource()->DataSet();
        const int count = set->RecordCount();
        ASSERT_GT(count, 0);
        ASSERT_EQ(rows.size(), count);
        // The clients' hidden code comes first in a workbook: the import knows them by it. Not
        // in a CSV file, whose codes a spreadsheet would read as numbers without their zeros.
        const bool withCode = c.grid == frm->dbgCliente && path.endsWith(QLatin1String(".xlsx"));
        if (withCode) {
            EXPECT_EQ(header.first(), QStringLiteral("Código"));
        }
        for (int i = 0; i < count; ++i) {
            QStringList expected = expectedRow(frm, c.grid, c.grid->dataRow(i));
            if (withCode)
                expected.prepend(set->valueAt(c.grid->dataRow(i), set->FieldByName(QStringLiteral("CDCLIENTE"))->Index())
                                     .value_or(QString()).trimmed());
            ASSERT_EQ(rows.at(i), expected) << "row " << i;
        }
    }
    // Codes keep their zeros: the branch codes are four digits.
    EXPECT_TRUE(script->problems().isEmpty());
}

// The state-registration grids show the bare group code, also while a typed one is pending:
// the row's description is still that of the group it had, and must not be printed beside it.
TEST_F(ReportingTest, TheStateRegistrationGridsExportTheCodeTheyShow)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    enterFirstRegistration(frm);
    dataset::TClientDataSet *set = frm->dbgFornInsc->DataSource()->DataSet();
    ASSERT_TRUE(set->Active() && !set->IsEmpty());
    set->First();
    const QString before = set->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString().trimmed();
    const QString typed = QString::fromStdString(
        *db->query("SELECT MIN(CDGRUPOFISC) FROM GRUPOFISCAL WHERE CDGRUPOFISC <> '" + before.toStdString() + "'").at(0)[0]);
    set->Edit();
    set->FieldByName(QStringLiteral("CDGRUPOFISC"))->setAsString(typed);

    const QString path = dir.filePath(QStringLiteral("inscricao.csv"));
    script->push(Answer::saveAs(path));
    triggerMenu(frm->mnuExportar);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << script->messages().join('\n').toStdString();
    const QList<QStringList> rows = parseCsv(f.readAll());
    int group = -1;
    for (int c = 0, shown = 0; c < frm->dbgFornInsc->Columns().Count(); ++c) {
        if (!frm->dbgFornInsc->Columns()[c]->Visible())
            continue;
        if (frm->dbgFornInsc->Columns()[c]->FieldName() == QLatin1String("CDGRUPOFISC"))
            group = shown;
        ++shown;
    }
    ASSERT_GE(group, 0);
    // The tab's context lines and a blank line come before the titles.
    int titles = 0;
    while (titles < rows.size() && !rows.at(titles).join(QString()).isEmpty())
        ++titles;
    ASSERT_LT(titles + 2, rows.size());
    EXPECT_EQ(rows.at(titles + 2).value(group), typed);
    set->Cancel();
}

// A group typed and not yet saved sits beside the description of the group the row had:
// printed, it is the bare code; given up, the pair again.
TEST_F(ReportingTest, AGroupTypedAndNotSavedPrintsAsItsBareCode)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const struct { vcl::TTabSheet *tab; vcl::TDBGrid *grid; } cases[] = {
        {frm->tshPadrao, frm->dbgPadrao}, {frm->tshCliente, frm->dbgCliente}, {frm->tshFilial, frm->dbgFilial},
        {frm->tshTipoOperac, frm->dbgTipooperac}, {frm->tshTipoContrato, frm->dbgTipoFatur}, {frm->tshTipoGest, frm->dbgTipoGest},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.grid->objectName().toStdString());
        clickTab(frm->pgcPadrao, c.tab);
        dataset::TClientDataSet *set = c.grid->DataSource()->DataSet();
        ASSERT_TRUE(set->Active() && !set->IsEmpty());
        int group = -1;
        const reports::ReportTable shown = frm->ActiveReport();
        for (int i = 0; i < shown.columns.size(); ++i) {
            if (shown.columns.at(i).title == QLatin1String("Grupo Fiscal"))
                group = i;
        }
        ASSERT_GE(group, 0);
        const int row = 0;
        set->setRecNo(c.grid->dataRow(row) + 1);
        const QString before = set->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString().trimmed();
        const QString typed = QString::fromStdString(
            *db->query("SELECT MIN(CDGRUPOFISC) FROM GRUPOFISCAL WHERE CDGRUPOFISC <> '" + before.toStdString() + "'").at(0)[0]);
        const QString next = expectedRow(frm, c.grid, c.grid->dataRow(row + 1)).value(group);
        set->Edit();
        set->FieldByName(QStringLiteral("CDGRUPOFISC"))->setAsString(typed);
        EXPECT_EQ(frm->ActiveReport().text(row, group), typed);
        EXPECT_EQ(frm->ActiveReport().text(row + 1, group), next) << "another row keeps its pair";
        set->Cancel();
        if (!before.isEmpty()) {
            EXPECT_TRUE(frm->ActiveReport().text(row, group).startsWith(before + QStringLiteral(" - ")));
        }
    }
}

TEST_F(ReportingTest, CoverageReportShowsTheServersCountsAndTheRecordsWithout)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const std::int64_t clients = db->count("SELECT COUNT(*) FROM CLIENTE");
    const std::int64_t without = db->count("SELECT COUNT(*) FROM CLIENTE WHERE CDGRUPOFISC IS NULL");
    ASSERT_GE(without, 3);
    // Named so that byte order would put the accented one after Z.
    const QStringList byName{QStringLiteral("alvaro dias"), QStringLiteral("ÁLVARO NUNES"), QStringLiteral("ZECA LTDA")};
    const auto unnamed = db->query("SELECT CDCLIENTE FROM CLIENTE WHERE CDGRUPOFISC IS NULL ORDER BY CDCLIENTE LIMIT 3");
    for (int i = 0; i < 3; ++i)
        db->exec("UPDATE CLIENTE SET NMFANTCLIE = $1 WHERE CDCLIENTE = $2",
                 {byName[2 - i].toStdString(), *unnamed[size_t(i)][0]});

    int listed = -1;
    QStringList names;
    QStringList reached;
    QString listHelp;
    QStringList cells;
    int bars = -1;
    QString shownPart;
    script->push(Answer::dialog([&](QDialog &d) {
        auto &cob = static_cast<ger10200::cobertura::TfrmCobertura &>(d);
        ASSERT_TRUE(waitFor([&] { return cob.isLoaded(); }));
        QAbstractItemModel *m = cob.tblCobertura->model();
        ASSERT_EQ(m->rowCount(), 6);
        for (int c = 0; c < m->columnCount(); ++c)
            if (!cob.tblCobertura->isColumnHidden(c))
                cells << m->data(m->index(1, c)).toString();
        bars = int(cob.chtCobertura->chart()->series().size());
        cob.cbxParte->setCurrentIndex(1);
        shownPart = cob.Report().section;
        cob.cbxParte->setCurrentIndex(0);
        cob.tblCobertura->selectRow(1);
        // With the keyboard alone, Tab leaves the table for the part shown and the buttons.
        cob.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&cob));
        cob.tblCobertura->setFocus();
        for (int i = 0; i < 10; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            reached << QApplication::focusWidget()->objectName();
        }
        script->push(Answer::dialog([&](QDialog &list) {
            auto &l = static_cast<ger10200::cobertura::TfrmSemGrupo &>(list);
            listed = l.rowCount();
            listHelp = helpPageOnF1(list);
            QAbstractItemModel *rows = l.tblRegistros->model();
            for (int r = 0; r < rows->rowCount(); ++r)
                if (byName.contains(rows->data(rows->index(r, 1)).toString()))
                    names << rows->data(rows->index(r, 1)).toString();
        }));
        clickButton(cob.sbtSemGrupo);
    }, false));
    triggerMenu(frm->mnuCobertura);

    const QLocale br(QLocale::Portuguese, QLocale::Brazil);
    EXPECT_EQ(cells, (QStringList{QStringLiteral("Clientes"), br.toString(clients), br.toString(clients - without),
                                  br.toString(without),
                                  br.toString(100.0 * double(clients - without) / double(clients), 'f', 1) + QStringLiteral(" %")}));
    EXPECT_EQ(bars, 1);
    EXPECT_EQ(shownPart, QStringLiteral("Imposto/Filial"));
    EXPECT_EQ(listed, without);
    EXPECT_EQ(names, byName);
    for (const char *control : {"cbxParte", "sbtSemGrupo"})
        EXPECT_TRUE(reached.contains(QLatin1String(control))) << control << ": " << reached.join(' ').toStdString();
    EXPECT_EQ(listHelp, QStringLiteral("cobertura"));
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join(QLatin1Char('\n')).toStdString();
}

// The records without a group by kind: only billing types take their names from the screen's
// table; a management type without a name shows none, whatever its code.
TEST_F(ReportingTest, TheListWithoutGroupNamesOnlyBillingTypesByTheirCodes)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    db->exec("DELETE FROM TPFATURFIS WHERE CDTPFATURFIS = '001'");
    db->exec("INSERT INTO TPFATURFIS (CDTPFATURFIS, NMTPFATURFIS, CDGRUPOFISC) VALUES ('001', '', NULL)");
    QStringList names;
    QString count;
    script->push(Answer::dialog([&](QDialog &d) {
        auto &cob = static_cast<ger10200::cobertura::TfrmCobertura &>(d);
        ASSERT_TRUE(waitFor([&] { return cob.isLoaded(); }));
        QAbstractItemModel *m = cob.tblCobertura->model();
        for (int r = 0; r < m->rowCount(); ++r)
            if (m->data(m->index(r, 0)).toString() == QStringLiteral("Tipos de gestão fiscal"))
                cob.tblCobertura->selectRow(r);
        script->push(Answer::dialog([&](QDialog &list) {
            auto &l = static_cast<ger10200::cobertura::TfrmSemGrupo &>(list);
            QAbstractItemModel *rows = l.tblRegistros->model();
            for (int r = 0; r < rows->rowCount(); ++r)
                if (rows->data(rows->index(r, 0)).toString() == QStringLiteral("001"))
                    names << rows->data(rows->index(r, 1)).toString();
            count = l.lblContexto->text();
        }));
        clickButton(cob.sbtSemGrupo);
    }, false));
    triggerMenu(frm->mnuCobertura);
    EXPECT_EQ(names, QStringList{QString()});
    EXPECT_FALSE(count.contains(QStringLiteral("(s)"))) << count.toStdString();
}

// Every tab and dialog finds its page; every link of the manual leads to one of its pages.
TEST(Coverage, TheShareIsAHundredOnlyWhenEveryRecordHasAGroup)
{
    const struct { std::int64_t with, total; const char *shown; } cases[] = {
        {0, 0, ""}, {0, 10, "0,0 %"}, {1, 3, "33,3 %"}, {2, 3, "66,7 %"}, {10000, 10000, "100,0 %"},
        {9999, 10000, "99,9 %"}, {1, 10000, "0,1 %"}, {499999, 500000, "99,9 %"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ger10200::cobertura::shareText(c.with, c.total), QString::fromUtf8(c.shown)) << c.with << "/" << c.total;
}

TEST_F(ReportingTest, ManualHasEveryPageAndNoBrokenLink)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const help::Manual manual = help::Manual::load(QStringLiteral("ger10200"));
    ASSERT_TRUE(manual.isValid());
    QStringList keywords;
    for (vcl::TTabSheet *tab : {frm->tshPadrao, frm->tshCliente, frm->tshFilial, frm->tshTipoOperac,
                                frm->tshTipoContrato, frm->tshOperInter, frm->tshTipoGest, frm->tshImpFili,
                                frm->tshImpInscEsta}) {
        frm->pgcPadrao->setActivePage(tab);
        keywords << frm->HelpKeyword();
    }
    keywords << QStringLiteral("TfrmCadAutomatico") << QStringLiteral("TfrmCadAutoImpInscEsta")
             << QStringLiteral("TfrmReplica") << QStringLiteral("TfrmCobertura") << QStringLiteral("GER10200");
    for (const QString &k : keywords)
        EXPECT_TRUE(manual.pageForKeyword(k)) << k.toStdString();
    EXPECT_EQ(keywords.size(), QSet<QString>(keywords.begin(), keywords.end()).size()) << "two tabs share a page";
    EXPECT_TRUE(manual.pageForContext(12400502));

    static const QRegularExpression href(QStringLiteral("href=\"([^\"#]+)"));
    for (const help::ManualPage &page : manual.pages()) {
        QFile file(QStringLiteral(":/help/ger10200/") + page.file);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << page.file.toStdString();
        const QString html = QString::fromUtf8(file.readAll());
        for (auto it = href.globalMatch(html); it.hasNext();) {
            const QString target = it.next().captured(1);
            EXPECT_TRUE(QFile::exists(QStringLiteral(":/help/ger10200/") + target))
                << page.file.toStdString() << " -> " << target.toStdString();
        }
    }
}

TEST_F(ReportingTest, HelpOpensAtThePageInUse)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    clickTab(frm->pgcPadrao, frm->tshCliente);
    clickButton(frm->sbtAjuda);
    EXPECT_EQ(helpPage(), QStringLiteral("cliente"));

    // Back on the screen (keys reach shortcuts only in the active window).
    help::helpWindow()->close();
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    frm->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frm->window()));
    frm->medCdImposto->setFocus();
    QTest::keyClick(frm->medCdImposto, Qt::Key_F1);
    QApplication::processEvents();
    EXPECT_EQ(helpPage(), QStringLiteral("imposto-filial"));
    auto *window = qobject_cast<help::HelpWindow *>(help::helpWindow());
    ASSERT_TRUE(window);
    EXPECT_EQ(window->contents()->currentItem()->text(0), QStringLiteral("Imposto/Filial"));
    // The contents pane opens wide enough for its longest title.
    window->contents()->resizeColumnToContents(0);
    EXPECT_GE(window->contents()->viewport()->width(), window->contents()->columnWidth(0));

    // A dialog that declares the replication dialog's help context, F1 pressed inside it
    // while it runs modally: the page opens as the dialog's own window, usable meanwhile.
    QString fromDialog;
    bool ownedByDialog = false;
    script->push(Answer::dialog([&](QDialog &d) {
        // Modal as exec() makes it (the scripted seam only shows it).
        d.hide();
        d.setWindowModality(Qt::ApplicationModal);
        d.show();
        d.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&d));
        EXPECT_EQ(QApplication::activeModalWidget(), &d);
        QTest::keyClick(&d, Qt::Key_F1);
        QApplication::processEvents();
        fromDialog = helpPage();
        ownedByDialog = help::helpWindow() && help::helpWindow()->parentWidget() == &d;
        // Asked again from the dialog, the same window comes up, not a new one.
        QPointer<QWidget> first = help::helpWindow();
        help::showContext(12400502, &d);
        QApplication::processEvents();
        EXPECT_TRUE(first && first->isVisible() && help::helpWindow() == first);
    }, false));
    auto *dialog = new clientlib::TfrmRotiGeral(frm);
    dialog->setHelpContext(12400502);
    clientlib::interaction().runModal(*dialog);
    EXPECT_EQ(fromDialog, QStringLiteral("replicacao"));
    EXPECT_TRUE(ownedByDialog);

    window = qobject_cast<help::HelpWindow *>(help::helpWindow());
    if (!window) {
        help::showTopic(QStringLiteral("inicio"));
        window = qobject_cast<help::HelpWindow *>(help::helpWindow());
    }
    ASSERT_TRUE(window);
    window->search(QStringLiteral("cadastro preexistente APAGADO"));
    ASSERT_GE(window->results()->count(), 1);
    EXPECT_EQ(window->results()->item(0)->text(), QStringLiteral("Replicação"));
    window->close();
}

} // namespace
} // namespace fiscal::test

namespace fiscal::test {
namespace {

// erp-host --screenshot --window: the coverage report and the help window, each grabbed as
// its own window (not the host's), from the real module against the real server.
TEST_F(ModuleTest, HostScreenshotsTheCoverageReportAndTheHelp)
{
    QTemporaryDir dir;
    const struct { const char *window; QSize size; } cases[] = {{"cobertura", {1120, 580}}, {"ajuda", {980, 640}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.window);
        const QString shot = dir.filePath(QString::fromLatin1(c.window) + QStringLiteral(".png"));
        QProcess host;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        host.setProcessEnvironment(env);
        host.start(QStringLiteral(ERP_HOST_EXE),
                   {QStringLiteral("--module"), QStringLiteral(MODULE_LIBRARY), QStringLiteral("--server"),
                    QStringLiteral("http://127.0.0.1:%1").arg(server->port()), QStringLiteral("--db"),
                    QString::fromStdString(db->url()), QStringLiteral("--screenshot"), shot, QStringLiteral("--window"),
                    QString::fromLatin1(c.window), QStringLiteral("--screenshot-timeout"), QStringLiteral("30000")});
        ASSERT_TRUE(host.waitForFinished(60000));
        EXPECT_EQ(host.exitCode(), 0) << host.readAllStandardError().toStdString();
        EXPECT_EQ(QImage(shot).size(), c.size);
    }
}

} // namespace
} // namespace fiscal::test
