// Sorting and finding on the main screen's client grid, against the real server: they are
// views of the data set, so a save still sends the row the user changed, and the find bar
// finds what the cells show.

#include "modulefixture.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QCborMap>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolTip>

namespace fiscal::test {
namespace {

using dataset::TClientDataSet;

class GridViewsTest : public ModuleTest {
protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        frm = openScreen();
        ASSERT_TRUE(frm);
        clickTab(frm->pgcPadrao, frm->tshCliente);
        grid = frm->dbgCliente;
        cds = frm->cdsCliente;
        clearCalls();
    }

    QString value(int row, const char *field) const
    {
        return cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).value_or(QString());
    }
    void clickTitle(const char *field)
    {
        QHeaderView *h = grid->horizontalHeader();
        const int col = grid->Columns().IndexOfField(QString::fromLatin1(field));
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                          QPoint(h->sectionViewportPosition(col) + h->sectionSize(col) / 2, h->height() / 2));
        QApplication::processEvents();
    }
    QString findStatus() const { return grid->FindBar()->findChild<QLabel *>(QStringLiteral("findStatus"))->text(); }

    ger10200::TfrmParamGrupFiscal *frm = nullptr;
    vcl::TDBGrid *grid = nullptr;
    TClientDataSet *cds = nullptr;
};

TEST_F(GridViewsTest, SavingAfterSortingSendsTheRowShown)
{
    clickTitle("NMFANTCLIE");
    clickTitle("NMFANTCLIE");   // Z to A: the top row is not the data set's first
    ASSERT_EQ(grid->sortOrder(), Qt::DescendingOrder);
    const int shown = grid->dataRow(0);
    ASSERT_GT(shown, 0);
    const QString client = value(shown, "CDCLIENTE");
    const QString code = value(shown, "CDGRUPOFISC") == u"001" ? QStringLiteral("002") : QStringLiteral("001");

    grid->scrollToTop();   // the sort kept the current row, at the bottom now, in view
    focusCell(grid, 0, QStringLiteral("CDGRUPOFISC"));
    typeKeys(code);
    pressKey(Qt::Key_Down);

    EXPECT_TRUE(script->messages().isEmpty()) << script->messages().join('\n').toStdString();
    const auto saves = callsOf(QStringLiteral("SetCliente"));
    ASSERT_EQ(saves.size(), 1);
    const QCborArray changes = saves.first().params.at(0).toMap().value(QStringLiteral("changes")).toArray();
    ASSERT_EQ(changes.size(), 1);
    const QCborArray sent = changes.at(0).toMap().value(QStringLiteral("new")).toArray();
    EXPECT_EQ(sent.at(cds->FieldByName(QStringLiteral("CDCLIENTE"))->Index()).toString(), client);
    EXPECT_EQ(sent.at(cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->Index()).toString(), code);
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM CLIENTE WHERE CDCLIENTE = $1", {client.toStdString()}),
              std::optional<std::string>(code.toStdString()));
    EXPECT_TRUE(databaseShows(cds, QStringLiteral("CDCLIENTE"), "SELECT CDCLIENTE, CDGRUPOFISC FROM CLIENTE"));
    // The saved row keeps its place at the top; the cursor went to the row shown below it.
    EXPECT_EQ(grid->dataRow(0), shown);
    EXPECT_EQ(cds->currentRow(), grid->dataRow(1));
}

// Every grid that paints "code - description" in its group cell, "Tipo de Gestão Fiscal"
// with its own painting too.
TEST_F(GridViewsTest, AGroupCellCutAtItsColumnShowsItWholeAsATipAndIsFoundByItsDescription)
{
    const struct { vcl::TTabSheet *tab; vcl::TDBGrid *grid; TClientDataSet *cds; } cases[] = {
        {frm->tshCliente, frm->dbgCliente, frm->cdsCliente},
        {frm->tshTipoGest, frm->dbgTipoGest, frm->cdsTipoGest},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.grid->objectName().toStdString());
        clickTab(frm->pgcPadrao, c.tab);
        grid = c.grid;
        cds = c.cds;
        const int col = grid->Columns().IndexOfField(QStringLiteral("CDGRUPOFISC"));
        grid->setColumnWidth(col, 60);   // narrower than any "code - description"
        int row = -1;
        for (int r = cds->rowCount() - 1; r > 0 && row < 0; --r)
            if (!value(r, "CDGRUPOFISC").isEmpty() && value(r, "CDGRUPOFISC") != value(0, "CDGRUPOFISC"))
                row = r;
        ASSERT_GT(row, 0) << "no row past the first with another group";
        const QString shown = value(row, "CDGRUPOFISC") + QStringLiteral(" - ") + value(row, "DSGRUPOFISC");
        grid->scrollTo(grid->model()->index(grid->displayRow(row), col));
        const QPoint at = grid->visualRect(grid->model()->index(grid->displayRow(row), col)).center();
        QHelpEvent tip(QEvent::ToolTip, at, grid->viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid->viewport(), &tip);
        ASSERT_TRUE(QToolTip::isVisible());
        EXPECT_EQ(QToolTip::text().trimmed(), shown.trimmed());
        QToolTip::hideText();

        focusCell(grid, 0, QStringLiteral("CDGRUPOFISC"));
        pressKey(Qt::Key_F, Qt::ControlModifier);
        auto *edit = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        ASSERT_NE(edit, nullptr);
        edit->clear();
        edit->insert(value(row, "DSGRUPOFISC").trimmed().toLower());   // as typed, accents and all
        EXPECT_EQ(value(cds->currentRow(), "CDGRUPOFISC"), value(row, "CDGRUPOFISC")) << findStatus().toStdString();
        pressKey(Qt::Key_Escape);
    }
}

// A group emptied in the cell is a row without a group from then on, not " - " and the
// description of the group it had.
TEST_F(GridViewsTest, AnEmptiedGroupCellShowsNoGroupBeforeThePost)
{
    int row = -1;
    for (int r = 0; r < cds->rowCount() && row < 0; ++r)
        if (!value(r, "CDGRUPOFISC").isEmpty() && !value(r, "DSGRUPOFISC").trimmed().isEmpty())
            row = r;
    ASSERT_GE(row, 0);
    focusCell(grid, grid->displayRow(row), QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("1"));
    for (int i = 0; i < 4; ++i)
        pressKey(Qt::Key_Backspace);
    pressKey(Qt::Key_Backtab);
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    ASSERT_TRUE(cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString().trimmed().isEmpty());
    // The text the screen paints in the cell, as its tip and the printout take it.
    ASSERT_TRUE(grid->OnCellHint);
    EXPECT_EQ(grid->OnCellHint(grid->Columns().IndexOfField(QStringLiteral("CDGRUPOFISC"))), QString());
}

TEST_F(GridViewsTest, TheFindBarFindsByNameAndByBareOrFormattedRegistration)
{
    // A trade name no other cell holds (in plain letters, typed key by key), a company's
    // CNPJ and a person's CPF.
    int named = -1, company = -1, person = -1;
    for (int r = 0; r < cds->rowCount(); ++r) {
        const QString name = value(r, "NMFANTCLIE");
        bool alone = name.size() > 5 && name.toLatin1() == name.toUtf8();
        for (int o = 0; o < cds->rowCount() && alone; ++o)
            alone = o == r || !value(o, "NMFANTCLIE").contains(name, Qt::CaseInsensitive);
        if (named < 0 && alone)
            named = r;
        if (value(r, "IDTPIJURCLIE") == u"J")
            company = r;
        if (person < 0 && value(r, "IDTPIJURCLIE") == u"F")
            person = r;
    }
    ASSERT_GE(named, 0);
    ASSERT_GE(company, 0);
    ASSERT_GE(person, 0);
    const QString cnpj = value(company, "NRINSJURCLIE");
    const QString cpf = value(person, "NRINSJURCLIE");
    ASSERT_EQ(cnpj.size(), 14);
    ASSERT_EQ(cpf.size(), 11);
    struct Case { const char *name; QString text; int row; };
    const Case cases[] = {
        {"the trade name, in capitals", value(named, "NMFANTCLIE").toUpper(), named},
        {"a bare CNPJ", cnpj, company},
        {"a formatted CNPJ", QStringLiteral("%1.%2.%3/%4-%5").arg(cnpj.mid(0, 2), cnpj.mid(2, 3), cnpj.mid(5, 3),
                                                                     cnpj.mid(8, 4), cnpj.mid(12, 2)), company},
        {"a formatted CPF", QStringLiteral("%1.%2.%3-%4").arg(cpf.mid(0, 3), cpf.mid(3, 3), cpf.mid(6, 3), cpf.mid(9, 2)),
         person},
    };
    for (const Case &c : cases) {
        focusCell(grid, 0, QStringLiteral("NMFANTCLIE"));
        pressKey(Qt::Key_F, Qt::ControlModifier);
        auto *edit = qobject_cast<QLineEdit *>(QApplication::focusWidget());
        ASSERT_NE(edit, nullptr) << c.name;
        edit->clear();
        typeKeys(c.text);
        EXPECT_EQ(cds->currentRow(), c.row) << c.name;
        EXPECT_EQ(grid->currentIndex().row(), grid->displayRow(c.row)) << c.name;
        // Only that row holds it: the next search goes round the end and comes back.
        pressKey(Qt::Key_F3);
        EXPECT_EQ(cds->currentRow(), c.row) << c.name;
        EXPECT_EQ(findStatus(), QStringLiteral("Continuando do início")) << c.name;
        pressKey(Qt::Key_Escape);
        EXPECT_EQ(QApplication::focusWidget(), grid) << c.name;
    }
    pressKey(Qt::Key_F, Qt::ControlModifier);
    qobject_cast<QLineEdit *>(QApplication::focusWidget())->setText(QStringLiteral("zzzz"));
    pressKey(Qt::Key_Return);
    EXPECT_EQ(findStatus(), QStringLiteral("Texto não encontrado"));
    EXPECT_EQ(cds->currentRow(), person);
    EXPECT_TRUE(methods().filter(QStringLiteral("Set"), Qt::CaseInsensitive).isEmpty());   // finding saves nothing
}

} // namespace
} // namespace fiscal::test
