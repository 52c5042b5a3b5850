// The management-type tab: a digits-only group cell, a check straight against the
// database, a post that sends the whole tab and reloads it on the same management type.

#include "modulefixture.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QCborMap>
#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

namespace fiscal::test {
namespace {

using dataset::TClientDataSet;
using ger10200::TfrmParamGrupFiscal;

class TipoGestTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        frm = openScreen();
        ASSERT_TRUE(frm);
        clickTab(frm->pgcPadrao, frm->tshTipoGest);
        cds = frm->cdsTipoGest;
        grid = frm->dbgTipoGest;
        ASSERT_GE(cds->rowCount(), 3);
        clearCalls();
    }
    QString value(int row, const char *field) const
    {
        return cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).value_or(QString());
    }
    QString cellText() const { return grid->CellText(cds->FieldByName(QStringLiteral("CDGRUPOFISC")), false); }
    ::testing::AssertionResult databaseShowsTheTab() const
    {
        return databaseShows(cds, QStringLiteral("CDTPFATURFIS"), "SELECT CDTPFATURFIS, CDGRUPOFISC FROM TPFATURFIS");
    }
    void post() { clickButton(frm->dbnPadrao->Button(vcl::nbPost)); }

    TfrmParamGrupFiscal *frm = nullptr;
    TClientDataSet *cds = nullptr;
    vcl::TDBGrid *grid = nullptr;
};

TEST_F(TipoGestTest, TheGroupCellTakesDigitsBackspaceAndDeleteOnly)
{
    struct Case {
        const char *name;
        QString keys;
        QString cell;
        dataset::TDataSetState state;
    };
    const Case cases[] = {
        {"letters and signs alone start nothing", QStringLiteral("ab-. "), QString(), dataset::dsBrowse},
        {"digits among letters", QStringLiteral("a1b2c"), QStringLiteral("12"), dataset::dsEdit},
        {"backspace passes", QStringLiteral("12\b3"), QStringLiteral("13"), dataset::dsEdit},
    };
    int row = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
        const QString before = cellText();
        typeKeys(c.keys);
        EXPECT_EQ(cds->State(), c.state);
        EXPECT_EQ(cellText(), c.state == dataset::dsBrowse ? before : c.cell);
        if (cds->State() != dataset::dsBrowse)
            clickButton(frm->sbtCancelar);   // reloads the tab
        ++row;
    }
    // Delete, which comes with a character of its own, edits as it does in any box.
    focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("12"));
    pressKey(Qt::Key_Home);
    // With its character, as an X11 keyboard sends it.
    QTest::sendKeyEvent(QTest::Click, QApplication::focusWidget(), Qt::Key_Delete, QString(QChar(0x7f)), Qt::NoModifier);
    QApplication::processEvents();
    EXPECT_EQ(cellText(), QStringLiteral("2"));
    // Nor does a paste get in, which the cell's filter refuses as a character of its own.
    QGuiApplication::clipboard()->setText(QStringLiteral("A-1"));
    pressKey(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(cellText(), QStringLiteral("2"));
    clickButton(frm->sbtCancelar);

    EXPECT_TRUE(methods().filter(QStringLiteral("set"), Qt::CaseInsensitive).isEmpty());
    EXPECT_TRUE(script->messages().isEmpty()) << "refused without a word";
}

TEST_F(TipoGestTest, PostingOneRowSendsTheWholeTabAndReloadsOnTheSameType)
{
    const int row = 1;
    const QString name = value(row, "NMTPFATURFIS");
    const QString type = value(row, "CDTPFATURFIS");
    const QString chosen = value(row, "CDGRUPOFISC") == QStringLiteral("002") ? QStringLiteral("3") : QStringLiteral("2");
    const int rows = cds->rowCount();

    focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(chosen);
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    post();

    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    EXPECT_EQ(methods(), (QStringList{QStringLiteral("setTipoGest"), QStringLiteral("GetTipoGest")}));
    const auto saves = callsOf(QStringLiteral("setTipoGest"));
    ASSERT_EQ(saves.size(), 1);
    const QCborMap packet = saves.first().params.at(0).toMap();
    EXPECT_EQ(packet.value(QStringLiteral("rows")).toArray().size(), rows) << "every row of the tab";
    EXPECT_EQ(packet.value(QStringLiteral("changes")).toArray().size(), 1);

    const QString stored = QStringLiteral("00") + chosen;
    EXPECT_EQ(cds->State(), dataset::dsBrowse);
    EXPECT_EQ(cds->ChangeCount(), 0);
    EXPECT_EQ(cds->FieldByName(QStringLiteral("NMTPFATURFIS"))->AsString(), name) << "the same type stays current";
    EXPECT_EQ(cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString(), stored);
    EXPECT_EQ(cds->FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString(),
              QString::fromStdString(db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1",
                                                {stored.toStdString()}).value_or("")))
        << "the reload brings the description";
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM TPFATURFIS WHERE CDTPFATURFIS = $1", {type.toStdString()}),
              std::optional<std::string>(stored.toStdString()));
    EXPECT_TRUE(databaseShowsTheTab());
}

TEST_F(TipoGestTest, AnUnknownCodeEmptiesTheCellAndKeepsTheEdit)
{
    ASSERT_EQ(db->count("SELECT COUNT(*) FROM GRUPOFISCAL WHERE CDGRUPOFISC = '998'"), 0);
    const int row = 0;
    focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("998"));
    post();

    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Grupo fiscal não cadastrado.")});
    EXPECT_EQ(cds->State(), dataset::dsEdit);
    EXPECT_EQ(cellText(), QString());
    EXPECT_EQ(grid->SelectedField(), cds->FieldByName(QStringLiteral("CDGRUPOFISC")));
    EXPECT_TRUE(methods().isEmpty()) << methods().join(',').toStdString();

    // Cancelling reloads the tab as the database holds it.
    const auto before = db->scalar("SELECT CDGRUPOFISC FROM TPFATURFIS WHERE CDTPFATURFIS = $1",
                                   {value(row, "CDTPFATURFIS").toStdString()});
    clickButton(frm->sbtCancelar);
    EXPECT_EQ(cds->State(), dataset::dsBrowse);
    EXPECT_FALSE(callsOf(QStringLiteral("GetTipoGest")).isEmpty());
    EXPECT_EQ(value(row, "CDGRUPOFISC"), QString::fromStdString(before.value_or("")));
    EXPECT_TRUE(databaseShowsTheTab());
}

} // namespace
} // namespace fiscal::test
