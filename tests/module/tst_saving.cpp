// Fiscal-group cells and saving on the supplier grid, typed as a person types, against the
// real server; after every save the database holds what the grid shows.

#include "modulefixture.h"

#include "clientlib/localcache.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QCborMap>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using dataset::TClientDataSet;
using ger10200::TfrmParamGrupFiscal;

class SavingTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        frm = openScreen();
        ASSERT_TRUE(frm);
        cds = frm->cdsFornecedor;
        grid = frm->dbgPadrao;
        clearCalls();
    }

    QString value(int row, const char *field) const
    {
        return cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).value_or(QString());
    }
    bool isNull(int row, const char *field) const
    {
        return !cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).has_value();
    }
    // First row whose group satisfies pred, at or after `from`.
    int findRow(const std::function<bool(const QString &group, bool null)> &pred, int from = 0) const
    {
        for (int r = from; r < cds->rowCount(); ++r) {
            if (pred(value(r, "CDGRUPOFISC"), isNull(r, "CDGRUPOFISC")))
                return r;
        }
        return -1;
    }
    std::optional<std::string> dbGroup(const QString &supplier) const
    {
        return db->scalar("SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = $1", {supplier.toStdString()});
    }
    QString groupDesc(const char *code) const
    {
        return QString::fromStdString(
            db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {code}).value_or(""));
    }
    static QCborArray changesOf(const RecordedCall &c)
    {
        return c.params.at(0).toMap().value(QStringLiteral("changes")).toArray();
    }
    QString selectedField() const
    {
        return grid->SelectedField() ? grid->SelectedField()->FieldName() : QString();
    }

    TfrmParamGrupFiscal *frm = nullptr;
    TClientDataSet *cds = nullptr;
    vcl::TDBGrid *grid = nullptr;
};

TEST_F(SavingTest, TypedCodeIsAdjustedLookedUpAndSavedWithItsDescription)
{
    const int row = findRow([](const QString &g, bool null) { return null || g != QStringLiteral("001"); });
    ASSERT_GE(row, 0);
    ASSERT_LT(row, cds->rowCount() - 1);
    const QString supplier = value(row, "CDFORNECED");

    focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("1"));
    pressKey(Qt::Key_Tab);

    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    ASSERT_EQ(callsOf(QStringLiteral("GetGrupoFiscal")).size(), 2);   // leaving the column, then posting
    EXPECT_EQ(callsOf(QStringLiteral("GetGrupoFiscal")).first().params.at(0).toString(), QStringLiteral("001"));
    const auto saves = callsOf(QStringLiteral("SetFornecedor"));
    ASSERT_EQ(saves.size(), 1);
    ASSERT_EQ(changesOf(saves.first()).size(), 1);
    EXPECT_EQ(cds->ChangeCount(), 0);
    EXPECT_EQ(value(row, "CDGRUPOFISC"), QStringLiteral("001"));
    EXPECT_EQ(value(row, "DSGRUPOFISC"), groupDesc("001"));
    EXPECT_EQ(dbGroup(supplier), std::optional<std::string>("001"));
}

// An unknown code, or a '_' typed where no mask stands (the branches' group column), is
// refused here, with the cursor kept in the column, not sent for the server to refuse.
TEST_F(SavingTest, UnknownCodeIsRefusedAndTheCursorStaysInTheColumn)
{
    ASSERT_EQ(db->count("SELECT COUNT(*) FROM GRUPOFISCAL WHERE CDGRUPOFISC = '999'"), 0);
    const struct {
        const char *typed;
        vcl::TTabSheet *tab;
        vcl::TDBGrid *grid;
        TClientDataSet *cds;
        const char *save;
        const char *key;
        const char *table;
    } cases[] = {
        {"999", frm->tshPadrao, frm->dbgPadrao, frm->cdsFornecedor, "SetFornecedor", "CDFORNECED", "FORNECEDOR"},
        {"_", frm->tshFilial, frm->dbgFilial, frm->cdsFilial, "SetFilial", "CDFILIAL", "FILIAL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        clickTab(frm->pgcPadrao, c.tab);
        grid = c.grid;
        cds = c.cds;
        script->clear();
        clearCalls();
        const int row = 0;
        const std::string sql = std::string("SELECT CDGRUPOFISC FROM ") + c.table + " WHERE " + c.key + " = $1";
        const std::string key = value(row, c.key).toStdString();
        const auto before = db->scalar(sql, {key});
        focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
        typeKeys(QString::fromLatin1(c.typed));
        pressKey(Qt::Key_Tab);

        EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Grupo fiscal não cadastrado.")});
        EXPECT_EQ(selectedField(), QStringLiteral("CDGRUPOFISC"));
        EXPECT_EQ(cds->State(), dataset::dsEdit);
        EXPECT_EQ(cds->RecNo(), row + 1);
        EXPECT_TRUE(callsOf(QString::fromLatin1(c.save)).isEmpty());
        EXPECT_EQ(db->scalar(sql, {key}), before);
        pressKey(Qt::Key_Escape);   // the edit is given up before the next tab
        pressKey(Qt::Key_Escape);
    }
}

TEST_F(SavingTest, EmptiedCodeIsSavedAsNoGroupWithoutALookup)
{
    const int row = findRow([](const QString &, bool null) { return !null; });
    ASSERT_GE(row, 0);
    ASSERT_LT(row, cds->rowCount() - 1);
    const QString supplier = value(row, "CDFORNECED");

    focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("1"));
    pressKey(Qt::Key_Backspace);
    pressKey(Qt::Key_Backspace);
    pressKey(Qt::Key_Tab);

    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_TRUE(callsOf(QStringLiteral("GetGrupoFiscal")).isEmpty());
    ASSERT_EQ(callsOf(QStringLiteral("SetFornecedor")).size(), 1);
    EXPECT_TRUE(isNull(row, "CDGRUPOFISC"));
    EXPECT_TRUE(isNull(row, "DSGRUPOFISC"));
    EXPECT_EQ(dbGroup(supplier), std::nullopt);
}

TEST_F(SavingTest, EllipsisListFillsCodeAndDescription)
{
    const int row = findRow([](const QString &g, bool) { return g != QStringLiteral("002"); });
    ASSERT_GE(row, 0);
    const QString supplier = value(row, "CDFORNECED");
    focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
    script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), QStringLiteral("002")));
    ASSERT_TRUE(grid->EditButton());
    clickButton(grid->EditButton());

    EXPECT_EQ(cds->State(), dataset::dsEdit);
    EXPECT_EQ(value(row, "CDGRUPOFISC"), QStringLiteral("002"));
    EXPECT_EQ(value(row, "DSGRUPOFISC"), groupDesc("002"));
    ASSERT_EQ(callsOf(QStringLiteral("GetGrupoFiscal")).size(), 1);
    EXPECT_EQ(callsOf(QStringLiteral("GetGrupoFiscal")).first().params.at(0).toString(), QString());
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();

    cds->Post();   // the navigator's post
    EXPECT_EQ(callsOf(QStringLiteral("SetFornecedor")).size(), 1);
    EXPECT_EQ(dbGroup(supplier), std::optional<std::string>("002"));
}

TEST_F(SavingTest, ThreeEditedRowsMakeThreeCallsOfOneRowEach)
{
    ASSERT_GE(cds->rowCount(), 4);
    QStringList suppliers;
    for (int row = 0; row < 3; ++row) {
        suppliers << value(row, "CDFORNECED");
        focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
        typeKeys(row == 1 ? QStringLiteral("3") : QStringLiteral("4"));
        pressKey(Qt::Key_Tab);   // on to the next row: the move posts this one
    }
    const auto saves = callsOf(QStringLiteral("SetFornecedor"));
    ASSERT_EQ(saves.size(), 3);
    for (const RecordedCall &c : saves)
        EXPECT_EQ(changesOf(c).size(), 1);
    EXPECT_EQ(cds->ChangeCount(), 0);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(dbGroup(suppliers[row]), std::optional<std::string>(row == 1 ? "003" : "004"));
        EXPECT_EQ(value(row, "CDGRUPOFISC"), QString::fromStdString(dbGroup(suppliers[row]).value_or("")));
    }
}

TEST_F(SavingTest, DeletionSendsOneDeletedRowAndDropsTheCache)
{
    const int row = findRow([](const QString &, bool null) { return !null; });
    ASSERT_GE(row, 0);
    const QString supplier = value(row, "CDFORNECED");
    const int rows = cds->rowCount();
    QSignalSpy cache(frm, SIGNAL(localCacheRefreshed(QString)));

    focusCell(grid, row, QStringLiteral("NOME"));
    script->push(Answer::yes());
    pressKey(Qt::Key_Delete, Qt::ControlModifier);

    const auto saves = callsOf(QStringLiteral("SetFornecedor"));
    ASSERT_EQ(saves.size(), 1);
    const QCborArray changes = changesOf(saves.first());
    ASSERT_EQ(changes.size(), 1);
    EXPECT_EQ(changes.at(0).toMap().value(QStringLiteral("op")).toString(), QStringLiteral("delete"));
    ASSERT_EQ(cache.size(), 1);
    EXPECT_EQ(cache.at(0).at(0).toString(), QStringLiteral("DELETECACHE"));
    EXPECT_EQ(cds->rowCount(), rows - 1);
    EXPECT_EQ(cds->ChangeCount(), 0);
    // A deleted supplier row clears the supplier's group; the supplier itself stays.
    EXPECT_EQ(db->count("SELECT COUNT(*) FROM FORNECEDOR WHERE CDFORNECED = $1", {supplier.toStdString()}), 1);
    EXPECT_EQ(dbGroup(supplier), std::nullopt);
}

// The post drops the table's cached copy without reading the whole table again.
TEST_F(SavingTest, PostRefreshesTheCacheWithTheTablesKey)
{
    clientlib::LocalCache &local = clientlib::LocalCache::instance();
    local.table(QStringLiteral("FORNECEDOR"));
    const int loads = local.loadCount(QStringLiteral("FORNECEDOR"));
    QSignalSpy cache(frm, SIGNAL(localCacheRefreshed(QString)));
    focusCell(grid, 0, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("5"));
    pressKey(Qt::Key_Down);
    ASSERT_EQ(cache.size(), 1);
    EXPECT_EQ(cache.at(0).at(0).toString(), QStringLiteral("FORNECEDOR"));
    EXPECT_FALSE(local.isCached(QStringLiteral("FORNECEDOR")));
    EXPECT_EQ(local.loadCount(QStringLiteral("FORNECEDOR")), loads);
    local.table(QStringLiteral("FORNECEDOR"));
    EXPECT_EQ(local.loadCount(QStringLiteral("FORNECEDOR")), loads + 1) << "read again on its next use";
}

TEST_F(SavingTest, AFailedSaveKeepsTheChangeAndTheNextPostSendsBothRows)
{
    const int a = findRow([](const QString &g, bool) { return g != QStringLiteral("002"); });
    ASSERT_GE(a, 0);
    const int b = findRow([](const QString &g, bool) { return g != QStringLiteral("003"); }, a + 2);
    ASSERT_GT(b, a);
    ASSERT_LT(b, cds->rowCount() - 1);
    const QString supplierA = value(a, "CDFORNECED");
    const QString supplierB = value(b, "CDFORNECED");
    const auto originalB = dbGroup(supplierB);

    // Another user changes row A on the server after this screen loaded it.
    const std::string underneath = value(a, "CDGRUPOFISC") == QStringLiteral("005") ? "006" : "005";
    db->exec("UPDATE FORNECEDOR SET CDGRUPOFISC = $1 WHERE CDFORNECED = $2", {underneath, supplierA.toStdString()});

    focusCell(grid, a, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("2"));
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));

    ASSERT_EQ(callsOf(QStringLiteral("SetFornecedor")).size(), 1);
    ASSERT_EQ(script->messages().size(), 1);
    EXPECT_FALSE(script->messages().first().isEmpty());
    EXPECT_EQ(cds->ChangeCount(), 1) << "the change log stays";
    EXPECT_EQ(value(a, "CDGRUPOFISC"), QStringLiteral("002"));
    EXPECT_EQ(dbGroup(supplierA), std::optional<std::string>(underneath)) << "the other user's value stands";

    script->clear();
    // The second change is picked from the list.
    focusCell(grid, b, QStringLiteral("CDGRUPOFISC"));
    script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), QStringLiteral("003")));
    clickButton(grid->EditButton());
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));
    const auto saves = callsOf(QStringLiteral("SetFornecedor"));
    ASSERT_EQ(saves.size(), 2);
    EXPECT_EQ(changesOf(saves.at(1)).size(), 2) << "the failed row goes again with the new one";
    // The refusal names row A; it says that row B was not saved either.
    ASSERT_EQ(script->messages().size(), 1);
    EXPECT_TRUE(script->messages().first().endsWith(
        QStringLiteral("Nenhuma das 2 alterações pendentes em Fornecedor foi gravada: elas continuam pendentes e vão "
                       "com a próxima gravação; atualizar a aba Fornecedor as descarta.")))
        << script->messages().first().toStdString();
    // The conflict on row A still stands, so nothing of that change set was applied.
    EXPECT_EQ(dbGroup(supplierB), originalB);
    EXPECT_EQ(dbGroup(supplierA), std::optional<std::string>(underneath));

    // A reload of the tab drops what could not be saved; F5 reaches it from the grid.
    grid->setFocus(Qt::OtherFocusReason);
    pressKey(Qt::Key_F5);
    EXPECT_EQ(cds->ChangeCount(), 0);
    EXPECT_EQ(value(rowOf(grid, QStringLiteral("CDFORNECED"), supplierA), "CDGRUPOFISC"),
              QString::fromStdString(underneath));
}

// Down from an open cell editor posts the row; the next row's group cell, clicked and
// typed into at once, opens its editor again.
TEST_F(SavingTest, DownPostsAndTheNextRowCanStillBeTypedInto)
{
    ASSERT_GE(cds->rowCount(), 3);
    for (int row = 0; row < 2; ++row) {
        focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
        typeKeys(QStringLiteral("4"));
        EXPECT_EQ(cds->State(), dataset::dsEdit) << "row " << row;
        pressKey(Qt::Key_Down);
    }
    EXPECT_EQ(callsOf(QStringLiteral("SetFornecedor")).size(), 2);
    EXPECT_EQ(value(0, "CDGRUPOFISC"), QStringLiteral("004"));
    EXPECT_EQ(value(1, "CDGRUPOFISC"), QStringLiteral("004"));
    EXPECT_TRUE(databaseShows(cds, QStringLiteral("CDFORNECED"), "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR"));
}

// The navigator's post leaves the cell editor open; typing into another row still works.
TEST_F(SavingTest, AfterTheNavigatorsPostAnotherRowCanBeTypedInto)
{
    ASSERT_GE(cds->rowCount(), 3);
    const char *codes[] = {"5", "6"};
    for (int row = 0; row < 2; ++row) {
        focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
        typeKeys(QString::fromLatin1(codes[row]));
        ASSERT_EQ(cds->State(), dataset::dsEdit) << "row " << row;
        clickButton(frm->dbnPadrao->Button(vcl::nbPost));
        EXPECT_EQ(cds->State(), dataset::dsBrowse) << "row " << row;
    }
    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_EQ(callsOf(QStringLiteral("SetFornecedor")).size(), 2);
    EXPECT_EQ(value(0, "CDGRUPOFISC"), QStringLiteral("005"));
    EXPECT_EQ(value(1, "CDGRUPOFISC"), QStringLiteral("006"));
    EXPECT_TRUE(databaseShows(cds, QStringLiteral("CDFORNECED"), "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR"));
}

TEST_F(SavingTest, NoGridAcceptsANewRow)
{
    const struct { vcl::TTabSheet *tab; vcl::TDBGrid *grid; } cases[] = {
        {frm->tshPadrao, frm->dbgPadrao},
        {frm->tshCliente, frm->dbgCliente},
        {frm->tshFilial, frm->dbgFilial},
        {frm->tshTipoOperac, frm->dbgTipooperac},
        {frm->tshTipoContrato, frm->dbgTipoFatur},
        {frm->tshTipoGest, frm->dbgTipoGest},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tab->Caption().toStdString());
        clickTab(frm->pgcPadrao, c.tab);
        TClientDataSet *set = c.grid->DataSource()->DataSet();
        const int rows = set->rowCount();
        ASSERT_GT(rows, 0);
        focusCell(c.grid, 0, c.grid->Columns()[0]->FieldName());
        pressKey(Qt::Key_Insert);
        EXPECT_EQ(set->rowCount(), rows);
        EXPECT_EQ(set->State(), dataset::dsBrowse);
        focusCell(c.grid, rows - 1, c.grid->Columns()[0]->FieldName());
        pressKey(Qt::Key_Down);
        EXPECT_EQ(set->rowCount(), rows);
        EXPECT_EQ(set->State(), dataset::dsBrowse);
        EXPECT_TRUE(script->messages().isEmpty()) << "refused silently";
    }
    EXPECT_TRUE(methods().filter(QStringLiteral("Set")).isEmpty());
}

// The grids filled from the boxes above them refuse new rows just as well.
TEST_F(SavingTest, TheTaxGridsAcceptNoNewRowEither)
{
    auto fillRegistration = [&] { enterFirstRegistration(frm); };
    struct Case {
        const char *name;
        vcl::TDBGrid *grid;
        std::function<void()> load;
    };
    const Case cases[] = {
        {"Imposto/Filial", frm->dbgImpFili,
         [&] {
             clickTab(frm->pgcPadrao, frm->tshImpFili);
             QTest::keyClick(frm->medCdImposto, Qt::Key_Home);
             QTest::keyClicks(frm->medCdImposto, QStringLiteral("1"));
             frm->dbgImpFili->setFocus(Qt::TabFocusReason);
             QApplication::processEvents();
         }},
        {"Imposto/Inscrição Estadual, Fornecedor", frm->dbgFornInsc, fillRegistration},
        {"Imposto/Inscrição Estadual, Cliente", frm->dbgCliInsc,
         [&] {
             fillRegistration();
             clickTab(frm->pgcCliente, frm->tshCli);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.load();
        ASSERT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
        TClientDataSet *set = c.grid->DataSource()->DataSet();
        ASSERT_TRUE(set->Active());
        const int rows = set->rowCount();
        ASSERT_GT(rows, 0);
        const QString first = c.grid->Columns()[0]->FieldName();
        focusCell(c.grid, 0, first);
        pressKey(Qt::Key_Insert);
        EXPECT_EQ(set->rowCount(), rows);
        EXPECT_EQ(set->State(), dataset::dsBrowse);
        focusCell(c.grid, rows - 1, first);
        pressKey(Qt::Key_Down);
        EXPECT_EQ(set->rowCount(), rows);
        EXPECT_EQ(set->State(), dataset::dsBrowse);
        EXPECT_EQ(c.grid->model()->rowCount(), rows) << "the grid shows no new row either";
        EXPECT_TRUE(script->messages().isEmpty()) << "refused silently";
    }
    EXPECT_TRUE(methods().filter(QStringLiteral("Set")).isEmpty());
}

// Entering edit mode and posting without a change sends nothing and asks nothing.
TEST_F(SavingTest, APostWithNothingPendingCallsNothing)
{
    struct Case {
        vcl::TTabSheet *tab;
        vcl::TDBGrid *grid;
    };
    const Case cases[] = {
        {frm->tshPadrao, frm->dbgPadrao},
        {frm->tshCliente, frm->dbgCliente},
        {frm->tshTipoContrato, frm->dbgTipoFatur},
        {frm->tshTipoGest, frm->dbgTipoGest},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tab->Caption().toStdString());
        clickTab(frm->pgcPadrao, c.tab);
        TClientDataSet *set = c.grid->DataSource()->DataSet();
        ASSERT_GT(set->rowCount(), 1);
        focusCell(c.grid, 1, c.grid->Columns()[0]->FieldName());
        clearCalls();
        clickButton(frm->sbtAlterar);
        ASSERT_EQ(set->State(), dataset::dsEdit);
        clickButton(frm->dbnPadrao->Button(vcl::nbPost));
        EXPECT_EQ(set->State(), dataset::dsBrowse);
        EXPECT_EQ(set->ChangeCount(), 0);
        EXPECT_TRUE(methods().isEmpty()) << methods().join(',').toStdString();
        EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
        EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
    }
}

} // namespace
} // namespace fiscal::test
