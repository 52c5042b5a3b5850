// The grid's views of its data set: sorting by a click on a column title and the find bar.
// Both must leave the data set's order, cursor, editing and change log as they are.

#include "vcl/dbgrid.h"
#include "vcl/focuswatch.h"

#include "dataset/abort.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "testhooks.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace fiscal::vcl;
using fiscal::dataset::DataPacket;
using fiscal::dataset::Row;
using fiscal::dataset::TClientDataSet;
using fiscal::dataset::TDataSource;

namespace {

// CDFILIAL, NOME, CDGRUPOFISC; the names are out of order on purpose.
const char *const kNames[] = {"Campinas", "araraquara", "Bauru", "Águas de Lindóia", "bauru", "Santos"};

DataPacket branchPacket(const TClientDataSet &cds, int count)
{
    DataPacket p;
    p.fields = cds.FieldDefs();
    for (int i = 0; i < count; ++i)
        p.rows.append(Row{QString::number(i + 1).rightJustified(4, u'0'), QString::fromUtf8(kNames[i % 6]),
                          i % 2 ? std::optional<QString>() : QStringLiteral("00%1").arg(i % 10)});
    return p;
}

class GridViewTest : public ::testing::Test {
public:
    void SetUp() override
    {
        vcltest::resetHooks();
        cds.addField(QStringLiteral("CDFILIAL"), 4, QStringLiteral("Código"));
        cds.addField(QStringLiteral("NOME"), 30, QStringLiteral("Nome"));
        cds.addField(QStringLiteral("CDGRUPOFISC"), 3, QStringLiteral("Grupo Fiscal"));
        cds.setData(branchPacket(cds, 6));
        cds.BeforeInsert = [this](TClientDataSet &) {
            if (refuseInsert)
                throw fiscal::dataset::EAbort();
        };
        dts.setDataSet(&cds);
        auto *layout = new QVBoxLayout(&form);
        grid = new TDBGrid;
        layout->addWidget(grid);
        grid->setDataSource(&dts);
        grid->OnEnter = [this] { ++enters; };
        grid->OnExit = [this] { ++exits; };
        form.resize(500, 300);
        form.show();
        QApplication::setActiveWindow(&form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        grid->setFocus();
        QCoreApplication::processEvents();
        enters = exits = 0;
    }

    int column(const char *field) const { return grid->Columns().IndexOfField(QString::fromLatin1(field)); }
    void clickTitle(int col)
    {
        QHeaderView *h = grid->horizontalHeader();
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {},
                          QPoint(h->sectionViewportPosition(col) + h->sectionSize(col) / 2, h->height() / 2));
    }
    // The names as the grid shows them, top to bottom.
    QStringList shownNames() const
    {
        QStringList names;
        for (int r = 0; r < grid->model()->rowCount(); ++r)
            names << grid->model()->index(r, column("NOME")).data().toString();
        return names;
    }
    QString name(int dataRow) const { return cds.valueAt(dataRow, 1).value_or(QString()); }
    QLineEdit *findText() const { return grid->FindBar()->findChild<QLineEdit *>(QStringLiteral("findText")); }
    QString findStatus() const { return grid->FindBar()->findChild<QLabel *>(QStringLiteral("findStatus"))->text(); }

    TClientDataSet cds;
    TDataSource dts;
    QWidget form;
    TDBGrid *grid = nullptr;
    bool refuseInsert = true;
    int enters = 0;
    int exits = 0;
};

// Another window taken and this one given back while a cell was being typed in: the editor
// closes with the activation, yet the focus never left the grid, which is not entered again
// (some grids reload when entered, dropping what was typed).
TEST_F(GridViewTest, theWindowActivatedAgainAfterItsCellEditorClosedDoesNotEnterTheGrid)
{
    grid->setCurrentIndex(grid->model()->index(1, column("CDGRUPOFISC")));
    QTest::keyClicks(grid, QStringLiteral("4"));
    ASSERT_TRUE(grid->EditorMode());
    QWidget other;
    other.show();
    QApplication::setActiveWindow(&other);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    grid->setEditorMode(false);   // as the lost activation closes it
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), grid);
    EXPECT_EQ(enters, 0);
    EXPECT_EQ(exits, 0);
}

TEST_F(GridViewTest, titleClicksSortTheViewAndNotTheDataSet)
{
    QAbstractItemModelTester tester(grid->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    cds.setRecNo(3);   // Bauru
    const QStringList dataOrder = {"Campinas", "araraquara", "Bauru", "Águas de Lindóia", "bauru", "Santos"};
    struct Step { const char *name; int clickOn; QStringList shown; Qt::SortOrder order; };
    const Step steps[] = {
        {"first click", column("NOME"),
         {"Águas de Lindóia", "araraquara", "Bauru", "bauru", "Campinas", "Santos"}, Qt::AscendingOrder},
        {"second click", column("NOME"),
         {"Santos", "Campinas", "Bauru", "bauru", "araraquara", "Águas de Lindóia"}, Qt::DescendingOrder},
        {"third click", column("NOME"),
         {"Águas de Lindóia", "araraquara", "Bauru", "bauru", "Campinas", "Santos"}, Qt::AscendingOrder},
        {"another column", column("CDGRUPOFISC"),   // nulls first, equal rows in data order
         {"araraquara", "Águas de Lindóia", "Santos", "Campinas", "Bauru", "bauru"}, Qt::AscendingOrder},
    };
    for (const Step &s : steps) {
        clickTitle(s.clickOn);
        EXPECT_EQ(shownNames(), s.shown) << s.name;
        EXPECT_EQ(grid->horizontalHeader()->sortIndicatorSection(), s.clickOn) << s.name;
        EXPECT_EQ(grid->horizontalHeader()->sortIndicatorOrder(), s.order) << s.name;
        EXPECT_EQ(grid->sortColumn(), s.clickOn) << s.name;
        // The data set keeps its order and its current record, which the grid shows.
        QStringList data;
        for (int r = 0; r < cds.rowCount(); ++r)
            data << name(r);
        EXPECT_EQ(data, dataOrder) << s.name;
        EXPECT_EQ(cds.RecNo(), 3) << s.name;
        EXPECT_EQ(grid->currentIndex().row(), grid->displayRow(2)) << s.name;
        const std::vector<int> rows = grid->rowsInDisplayOrder();
        QStringList byRows;
        for (int r : rows)
            byRows << name(r);
        EXPECT_EQ(byRows, s.shown) << s.name;
    }
    grid->clearSort();
    EXPECT_EQ(shownNames(), dataOrder);
    EXPECT_EQ(grid->horizontalHeader()->sortIndicatorSection(), -1);
}

TEST_F(GridViewTest, aSortedGridFollowsTheDataSet)
{
    QAbstractItemModelTester tester(grid->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    clickTitle(column("NOME"));
    clickTitle(column("NOME"));   // Z to A
    struct Step { const char *name; std::function<void()> act; QStringList shown; const char *current; };
    const Step steps[] = {
        {"an edited row keeps its place",
         [&] { cds.setRecNo(6); cds.Edit(); cds.FieldByName("NOME")->setAsString("Zurique"); cds.Post(); },
         {"Zurique", "Campinas", "Bauru", "bauru", "araraquara", "Águas de Lindóia"}, "Zurique"},
        {"an inserted row shows above the current one",
         [&] { refuseInsert = false; cds.setRecNo(2); cds.Insert(); cds.FieldByName("NOME")->setAsString("Novo"); cds.Post(); },
         {"Zurique", "Campinas", "Bauru", "bauru", "Novo", "araraquara", "Águas de Lindóia"}, "Novo"},
        {"a deleted row goes", [&] { cds.setRecNo(1); cds.Delete(); },
         {"Zurique", "Bauru", "bauru", "Novo", "araraquara", "Águas de Lindóia"}, "Novo"},
        {"a reload is sorted again", [&] { cds.setData(branchPacket(cds, 4)); },
         {"Campinas", "Bauru", "araraquara", "Águas de Lindóia"}, "Campinas"},
        {"a closed data set shows nothing", [&] { cds.Close(); }, {}, ""},
        {"and sorts what it opens with", [&] { cds.setData(branchPacket(cds, 3)); },
         {"Campinas", "Bauru", "araraquara"}, "Campinas"},
    };
    for (const Step &s : steps) {
        s.act();
        EXPECT_EQ(shownNames(), s.shown) << s.name;
        if (cds.Active() && !cds.IsEmpty()) {
            EXPECT_EQ(cds.FieldByName("NOME")->AsString(), QString::fromUtf8(s.current)) << s.name;
            EXPECT_EQ(grid->currentIndex().row(), grid->displayRow(cds.currentRow())) << s.name;
        }
    }
    // Another data set starts in its own order.
    TClientDataSet other;
    other.addField(QStringLiteral("CDFILIAL"), 4);
    other.addField(QStringLiteral("NOME"), 30);
    other.addField(QStringLiteral("CDGRUPOFISC"), 3);
    other.setData(branchPacket(other, 2));
    dts.setDataSet(&other);
    EXPECT_EQ(grid->sortColumn(), -1);
    EXPECT_EQ(shownNames(), (QStringList{"Campinas", "araraquara"}));
}

TEST_F(GridViewTest, typingInASortedGridEditsTheRowShown)
{
    clickTitle(column("NOME"));
    const int shownFirst = grid->dataRow(0);   // Águas de Lindóia
    ASSERT_EQ(name(shownFirst), QStringLiteral("Águas de Lindóia"));
    const QModelIndex target = grid->model()->index(0, column("CDGRUPOFISC"));
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(target).center());
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("7"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse);
    EXPECT_EQ(cds.valueAt(shownFirst, 2), std::optional<QString>(QStringLiteral("7")));
    ASSERT_EQ(cds.ChangeCount(), 1);
    EXPECT_EQ(cds.Delta().changes.first().newValues.text(1), QStringLiteral("Águas de Lindóia"));
    EXPECT_EQ(grid->currentIndex().row(), 1);   // Down went to the next row shown
    EXPECT_EQ(cds.FieldByName("NOME")->AsString(), QStringLiteral("araraquara"));
}

TEST_F(GridViewTest, theFindBarFindsWrapsAndStaysInsideTheGrid)
{
    clickTitle(column("NOME"));   // Águas, araraquara, Bauru, bauru, Campinas, Santos
    cds.First();                  // Campinas
    QTest::keyClick(grid, Qt::Key_F, Qt::ControlModifier);
    ASSERT_NE(grid->FindBar(), nullptr);
    // A box next to the bar in the window's order, where a focus passed on from the bar
    // would land (on the screens, the tab bar).
    auto *next = new QLineEdit(grid->parentWidget());
    next->show();
    QWidget::setTabOrder(findText(), next);
    ASSERT_TRUE(grid->FindBar()->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), findText());
    // Under the grid, not over its rows.
    EXPECT_LT(grid->geometry().bottom(), grid->FindBar()->geometry().top());
    EXPECT_EQ(grid->FindBar()->parentWidget(), grid->parentWidget());

    const int rowsHeightWithBar = grid->viewport()->height();

    struct Step { const char *name; std::function<void()> act; const char *current; const char *status; };
    const Step steps[] = {
        {"typing looks from the current row on, round the end", [&] { QTest::keyClicks(findText(), QStringLiteral("b")); },
         "Bauru", "Continuando do início"},
        {"typing on keeps a row that still matches", [&] { QTest::keyClicks(findText(), QStringLiteral("auru")); },
         "Bauru", ""},
        {"Enter goes to the next match", [&] { QTest::keyClick(findText(), Qt::Key_Return); }, "bauru", ""},
        {"F3 too, round the end", [&] { QTest::keyClick(findText(), Qt::Key_F3); }, "Bauru", "Continuando do início"},
        {"Shift+F3 goes back, round the top", [&] { QTest::keyClick(findText(), Qt::Key_F3, Qt::ShiftModifier); },
         "bauru", "Continuando do fim"},
        {"accents and case do not count",
         [&] { findText()->clear(); QTest::keyClicks(findText(), QStringLiteral("AGUAS DE LINDOIA")); },
         "Águas de Lindóia", ""},
        {"nothing found keeps the row", [&] { QTest::keyClicks(findText(), QStringLiteral("x")); },
         "Águas de Lindóia", "Texto não encontrado"},
    };
    for (const Step &s : steps) {
        s.act();
        EXPECT_EQ(cds.FieldByName("NOME")->AsString(), QString::fromUtf8(s.current)) << s.name;
        EXPECT_EQ(grid->currentIndex().row(), grid->displayRow(cds.currentRow())) << s.name;
        EXPECT_EQ(findStatus(), QString::fromUtf8(s.status)) << s.name;
        EXPECT_EQ(QApplication::focusWidget(), findText()) << s.name;
    }
    QTest::keyClick(findText(), Qt::Key_Escape);
    EXPECT_FALSE(grid->FindBar()->isVisible());
    EXPECT_EQ(QApplication::focusWidget(), grid);
    EXPECT_GT(grid->viewport()->height(), rowsHeightWithBar);
    // The focus never left the grid: no exit, no enter.
    EXPECT_EQ(exits, 0);
    EXPECT_EQ(enters, 0);
    // F3 from the grid looks again for the last text.
    findText()->setText(QStringLiteral("santos"));
    QTest::keyClick(grid, Qt::Key_F3);
    EXPECT_EQ(cds.FieldByName("NOME")->AsString(), QStringLiteral("Santos"));
    EXPECT_EQ(QApplication::focusWidget(), grid);
}

TEST_F(GridViewTest, aMatchIsNotReachedWhenThePendingEditCannotPost)
{
    cds.First();
    cds.Edit();
    cds.FieldByName("NOME")->setAsString("Sem grupo");
    cds.BeforePost = [](TClientDataSet &) { throw fiscal::dataset::EAbort(); };
    EXPECT_FALSE(grid->findNext(QStringLiteral("santos")));
    EXPECT_EQ(cds.RecNo(), 1);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit);
    cds.BeforePost = nullptr;
    EXPECT_TRUE(grid->findNext(QStringLiteral("santos")));
    EXPECT_EQ(cds.RecNo(), 6);
    EXPECT_EQ(cds.ChangeCount(), 1);   // the edit was posted on the way
}

} // namespace
