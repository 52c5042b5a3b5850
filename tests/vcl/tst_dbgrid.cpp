#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/edit.h"
#include "vcl/maskedit.h"

#include "dataset/abort.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "testhooks.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QStyle>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <gtest/gtest.h>

#include <algorithm>

using namespace fiscal::vcl;
using fiscal::dataset::DataPacket;
using fiscal::dataset::EAbort;
using fiscal::dataset::Row;
using fiscal::dataset::TClientDataSet;
using fiscal::dataset::TDataSource;
using fiscal::dataset::TField;

namespace {

DataPacket branches(const TClientDataSet &cds, int count)
{
    DataPacket p;
    p.fields = cds.FieldDefs();
    for (int i = 1; i <= count; ++i) {
        Row r(4);   // every value null
        auto put = [&r](int i, const QString &v) { r.set(i, std::optional<QString>(v)); };
        put(0, QString::number(i).rightJustified(4, QLatin1Char('0')));
        put(1, QStringLiteral("Filial %1").arg(i));
        if (i % 2 == 1) {
            put(2, QStringLiteral("00%1").arg(i % 10));
            put(3, QStringLiteral("Grupo %1").arg(i));
        }
        p.rows.append(r);
    }
    return p;
}

class GridTest : public ::testing::Test {
public:
    void SetUp() override
    {
        cds.setObjectName(QStringLiteral("cdsFilial"));
        cds.addField(QStringLiteral("CDFILIAL"), 4, QStringLiteral("Código"));
        cds.addField(QStringLiteral("NOME"), 30, QStringLiteral("Nome"));
        cds.addField(QStringLiteral("CDGRUPOFISC"), 3, QStringLiteral("Grupo Fiscal"))->setEditMask(QStringLiteral("999;0; "));
        cds.addField(QStringLiteral("DSGRUPOFISC"), 30, QStringLiteral("Descrição"))->setVisible(false);
        cds.setData(branches(cds, 3));
        cds.BeforeInsert = [this](TClientDataSet &) {
            ++insertAttempts;
            if (refuseInsert)
                throw EAbort();
        };
        dts.setDataSet(&cds);

        auto *layout = new QVBoxLayout(&form);
        grid = new TDBGrid;
        outside = new TEdit;
        layout->addWidget(grid);
        layout->addWidget(outside);
        TColumn *c = grid->Columns().Add(QStringLiteral("CDFILIAL"));
        c->setReadOnly(true);
        c->setWidth(57);
        grid->Columns().Add(QStringLiteral("CDGRUPOFISC"))->setButtonStyle(cbsEllipsis);
        grid->Columns().Add(QStringLiteral("NOME"))->setReadOnly(true);
        grid->setDataSource(&dts);
        grid->OnColExit = [this] { colExits << grid->SelectedField()->FieldName(); };
        form.resize(500, 300);
        form.show();
        QApplication::setActiveWindow(&form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        grid->setFocus();
        QCoreApplication::processEvents();
    }

    TField *field(const char *name) { return cds.FieldByName(QString::fromLatin1(name)); }
    QModelIndex cell(int row, int col) { return grid->model()->index(row, col); }
    void clickCell(int row, int col)
    {
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(cell(row, col)).center());
    }
    // Keys go where the focus is: the grid, then the cell editor the first key opened.
    void typeKeys(const QString &text)
    {
        for (QChar c : text)
            QTest::keyClick(QApplication::focusWidget(), c.toLatin1());
    }
    void selectGroupCell(int row)
    {
        cds.setRecNo(row + 1);
        grid->setSelectedField(field("CDGRUPOFISC"));
    }
    // The highlight is where a delete or the next key acts: on the current cell alone.
    bool onlyTheCurrentCellIsSelected() const
    {
        const QModelIndexList selected = grid->selectionModel()->selectedIndexes();
        const QModelIndex current = grid->currentIndex();
        return !selected.isEmpty() && std::all_of(selected.begin(), selected.end(), [&](const QModelIndex &i) {
            return i.row() == current.row()
                   && (grid->selectionBehavior() == QAbstractItemView::SelectRows || i.column() == current.column());
        });
    }

    TClientDataSet cds;
    TDataSource dts;
    QWidget form;
    TDBGrid *grid = nullptr;
    TEdit *outside = nullptr;
    QStringList colExits;
    int insertAttempts = 0;
    bool refuseInsert = true;
};

TEST_F(GridTest, modelStaysConsistentThroughTheDataSetsLife)
{
    QAbstractItemModelTester tester(grid->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModel *m = grid->model();
    struct Step {
        const char *name;
        std::function<void()> act;
        int rows;
    };
    TClientDataSet other;
    other.addField(QStringLiteral("CDFILIAL"), 4);
    other.addField(QStringLiteral("NOME"), 30);
    other.addField(QStringLiteral("CDGRUPOFISC"), 3);
    other.addField(QStringLiteral("DSGRUPOFISC"), 30);
    other.setData(branches(other, 5));
    const Step steps[] = {
        {"load", [&] { cds.setData(branches(cds, 6)); }, 6},
        {"edit and post", [&] { cds.setRecNo(2); cds.Edit(); field("CDGRUPOFISC")->setAsString("009"); cds.Post(); }, 6},
        {"insert refused", [&] { EXPECT_THROW(cds.Insert(), EAbort); }, 6},
        {"insert allowed", [&] { refuseInsert = false; cds.Insert(); }, 7},
        {"insert cancelled", [&] { cds.Cancel(); refuseInsert = true; }, 6},
        {"delete", [&] { cds.setRecNo(3); cds.Delete(); }, 5},
        {"reload", [&] { cds.setData(branches(cds, 2)); }, 2},
        {"close", [&] { cds.Close(); }, 0},
        {"open", [&] { cds.setData(branches(cds, 4)); }, 4},
        {"rebind to another data set", [&] { dts.setDataSet(&other); }, 5},
        {"unbind", [&] { dts.setDataSet(nullptr); }, 0},
        {"bind back", [&] { dts.setDataSet(&cds); }, 4},
        {"column added", [&] { grid->Columns().Add(QStringLiteral("DSGRUPOFISC")); }, 4},
    };
    for (const Step &s : steps) {
        s.act();
        EXPECT_EQ(m->rowCount(), s.rows) << s.name;
        TClientDataSet *ds = dts.DataSet();
        if (ds && ds->Active()) {
            EXPECT_EQ(grid->currentIndex().row(), ds->currentRow()) << s.name;
        }
    }
    EXPECT_EQ(m->columnCount(), 4);
    EXPECT_EQ(m->data(m->index(0, 1)).toString(), QStringLiteral("001"));
    EXPECT_EQ(m->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Grupo Fiscal"));
    EXPECT_EQ(grid->columnWidth(0), 57);   // widths survive resets
}

TEST_F(GridTest, defaultColumnsAreTheVisibleFields)
{
    TDBGrid plain;
    plain.setDataSource(&dts);
    ASSERT_EQ(plain.Columns().Count(), 3);
    QStringList titles;
    for (int i = 0; i < plain.Columns().Count(); ++i)
        titles << plain.model()->headerData(i, Qt::Horizontal, Qt::DisplayRole).toString();
    EXPECT_EQ(titles, (QStringList{"Código", "Nome", "Grupo Fiscal"}));
    field("DSGRUPOFISC")->setVisible(true);
    EXPECT_EQ(plain.Columns().Count(), 4);
}

TEST_F(GridTest, currentRecordAndCurrentRowFollowEachOther)
{
    cds.setRecNo(3);
    EXPECT_EQ(grid->currentIndex().row(), 2);
    QTest::keyClick(grid, Qt::Key_Up);
    EXPECT_EQ(cds.RecNo(), 2);
    clickCell(0, 2);
    EXPECT_EQ(cds.RecNo(), 1);
    EXPECT_EQ(grid->SelectedIndex(), 2);
    cds.Last();
    EXPECT_EQ(grid->currentIndex(), cell(2, 2));
}

TEST_F(GridTest, typingEditsTheRecordAndTabLeavesTheColumn)
{
    selectGroupCell(1);
    typeKeys(QStringLiteral("7"));
    ASSERT_TRUE(grid->EditorMode());
    EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit);   // at the first key, before leaving the cell
    auto *editor = qobject_cast<TMaskEdit *>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->EditMask(), QStringLiteral("999;0; "));
    EXPECT_EQ(grid->CellText(field("CDGRUPOFISC"), false), QStringLiteral("7"));
    QTest::keyClick(editor, Qt::Key_Tab);
    EXPECT_EQ(colExits, QStringList{"CDGRUPOFISC"});
    EXPECT_EQ(field("CDGRUPOFISC")->AsString(), QStringLiteral("7"));
    EXPECT_EQ(grid->SelectedField(), field("NOME"));
    EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit);
    // Moving to another row posts.
    QTest::keyClick(grid, Qt::Key_Down);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse);
    EXPECT_EQ(cds.RecNo(), 3);
    EXPECT_EQ(cds.ChangeCount(), 1);
}

TEST_F(GridTest, aThrowingColExitKeepsTheColumn)
{
    struct Case {
        const char *name;
        std::function<void(GridTest &)> leave;
        int reported;
    };
    const Case cases[] = {
        {"Tab in the editor", [](GridTest &) { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); }, 1},
        {"Right arrow", [](GridTest &t) { t.grid->setEditorMode(false); QTest::keyClick(t.grid, Qt::Key_Right); }, 1},
        {"click on another column", [](GridTest &t) { t.clickCell(1, 0); }, 1},
        {"click on another row and column", [](GridTest &t) { t.clickCell(2, 2); }, 1},
    };
    for (const Case &c : cases) {
        vcltest::resetHooks();
        cds.Cancel();
        selectGroupCell(1);
        grid->setFocus();
        int calls = 0;
        grid->OnColExit = [&] {
            ++calls;
            if (grid->SelectedField()->FieldName() == QLatin1String("CDGRUPOFISC"))
                throw std::runtime_error("Grupo fiscal não cadastrado.");
        };
        typeKeys(QStringLiteral("99"));
        c.leave(*this);
        EXPECT_EQ(grid->SelectedField(), field("CDGRUPOFISC")) << c.name;
        EXPECT_EQ(cds.RecNo(), 2) << c.name;
        EXPECT_TRUE(onlyTheCurrentCellIsSelected()) << c.name;
        EXPECT_EQ(field("CDGRUPOFISC")->AsString(), QStringLiteral("99")) << c.name;   // written before the check
        EXPECT_EQ(vcltest::errors(), QStringList{"Grupo fiscal não cadastrado."}) << c.name << " " << vcltest::errors().join("|").toStdString();
        EXPECT_EQ(calls, 1) << c.name;
    }
}

// A column the user widened keeps its width through what puts the designed widths back:
// the screens switch a button style at every edit and read the data set again on Cancel.
TEST_F(GridTest, aWidthTheUserDraggedOutlivesColumnChangesAndReloads)
{
    const struct {
        const char *what;
        std::function<void(GridTest &)> act;
    } cases[] = {
        {"a button style", [](GridTest &t) { t.grid->Columns()[1]->setButtonStyle(cbsNone); }},
        {"a title", [](GridTest &t) { t.grid->Columns()[2]->setTitle(QStringLiteral("Razão")); }},
        {"the rows read again", [](GridTest &t) { t.cds.setData(branches(t.cds, 3)); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const int dragged = grid->columnWidth(2) + 37;
        grid->horizontalHeader()->resizeSection(2, dragged);
        c.act(*this);
        EXPECT_EQ(grid->columnWidth(2), dragged);
        EXPECT_EQ(grid->columnWidth(0), 57);
    }
}

// A drag over the rows moves the cursor; the highlight, which follows the current cell
// alone, comes along to the row it ends on.
TEST_F(GridTest, aDragLeavesTheHighlightOnTheCurrentRow)
{
    QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(cell(0, 1)).center());
    for (int row = 1; row <= 2; ++row)
        QTest::mouseMove(grid->viewport(), grid->visualRect(cell(row, 1)).center());
    QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(cell(2, 1)).center());
    EXPECT_EQ(cds.RecNo(), 3);
    EXPECT_EQ(grid->currentIndex().row(), 2);
    EXPECT_TRUE(onlyTheCurrentCellIsSelected());
}

TEST_F(GridTest, aFailingPostKeepsTheCursorOnTheRow)
{
    struct Case {
        const char *name;
        std::function<void()> thrower;
        QStringList reported;
    };
    const Case cases[] = {
        {"abort", [] { throw EAbort(); }, {}},
        {"error", [] { throw std::runtime_error("Grupo fiscal não cadastrado."); }, {"Grupo fiscal não cadastrado."}},
    };
    for (const Case &c : cases) {
        vcltest::resetHooks();
        cds.Cancel();
        cds.BeforePost = [&](TClientDataSet &) { c.thrower(); };
        selectGroupCell(0);
        grid->setFocus();
        typeKeys(QStringLiteral("5"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
        EXPECT_EQ(cds.RecNo(), 1) << c.name;
        EXPECT_EQ(grid->currentIndex().row(), 0) << c.name;
        EXPECT_TRUE(onlyTheCurrentCellIsSelected()) << c.name;
        EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit) << c.name;
        EXPECT_EQ(field("CDGRUPOFISC")->AsString(), QStringLiteral("5")) << c.name;
        EXPECT_EQ(vcltest::errors(), c.reported) << c.name;
    }
}

TEST_F(GridTest, insertingKeysAskTheDataSetWhichRefuses)
{
    struct Case {
        const char *name;
        std::function<void(GridTest &)> act;
    };
    const Case cases[] = {
        {"Insert key", [](GridTest &t) { QTest::keyClick(t.grid, Qt::Key_Insert); }},
        {"Down on the last row", [](GridTest &t) { t.cds.Last(); QTest::keyClick(t.grid, Qt::Key_Down); }},
        {"Tab on the last cell", [](GridTest &t) { t.cds.Last(); t.grid->setSelectedIndex(2); QTest::keyClick(t.grid, Qt::Key_Tab); }},
    };
    QAbstractItemModelTester tester(grid->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (const Case &c : cases) {
        insertAttempts = 0;
        c.act(*this);
        EXPECT_EQ(insertAttempts, 1) << c.name;
        EXPECT_EQ(grid->model()->rowCount(), 3) << c.name;
        EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse) << c.name;
        EXPECT_TRUE(vcltest::errors().isEmpty()) << c.name;
    }
}

TEST_F(GridTest, anUntouchedNewRowIsDroppedWhenLeavingTheGrid)
{
    refuseInsert = false;
    QTest::keyClick(grid, Qt::Key_Insert);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsInsert);
    EXPECT_EQ(grid->model()->rowCount(), 4);
    outside->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse);
    EXPECT_EQ(grid->model()->rowCount(), 3);

    // An edited existing row is not thrown away.
    grid->setFocus();
    selectGroupCell(0);
    typeKeys(QStringLiteral("3"));
    outside->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit);
    EXPECT_EQ(field("CDGRUPOFISC")->AsString(), QStringLiteral("3"));
}

TEST_F(GridTest, ctrlDeleteAsksAndDeletes)
{
    struct Case {
        const char *name;
        bool confirmOption;
        std::optional<bool> answer;
        int rows;
    };
    const Case cases[] = {
        {"answered no", true, false, 3},
        {"answered yes", true, true, 2},
        {"no confirmation option", false, std::nullopt, 2},
    };
    for (const Case &c : cases) {
        vcltest::resetHooks();
        cds.setData(branches(cds, 3));
        grid->setOptions(c.confirmOption ? grid->Options() | dgConfirmDelete : grid->Options() & ~TDBGridOptions(dgConfirmDelete));
        if (c.answer)
            vcltest::answerNext(*c.answer);
        cds.setRecNo(2);
        QTest::keyClick(grid, Qt::Key_Delete, Qt::ControlModifier);
        EXPECT_EQ(cds.RecordCount(), c.rows) << c.name;
        EXPECT_EQ(vcltest::questions(), c.answer ? QStringList{"Confirma exclusão?"} : QStringList{}) << c.name;
        EXPECT_EQ(grid->model()->rowCount(), c.rows) << c.name;
    }
}

TEST_F(GridTest, ellipsisButtonFollowsColumnAndFires)
{
    int clicks = 0;
    QString seenText;
    grid->OnEditButtonClick = [&] {
        ++clicks;
        seenText = field("CDGRUPOFISC")->AsString();
    };
    QToolButton *button = grid->EditButton();
    grid->setSelectedIndex(0);
    EXPECT_FALSE(button->isVisible());
    grid->setSelectedIndex(1);
    EXPECT_TRUE(button->isVisible());
    EXPECT_TRUE(grid->visualRect(grid->currentIndex()).contains(button->geometry()));

    // An open editor is written before the handler runs.
    typeKeys(QStringLiteral("4"));
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(seenText, QStringLiteral("4"));
    EXPECT_FALSE(grid->EditorMode());

    QTest::keyClick(grid, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(clicks, 2);

    // A read-only grid offers neither: its handler would start an edit.
    grid->setReadOnly(true);
    EXPECT_FALSE(button->isVisible());
    QTest::keyClick(grid, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(clicks, 2);
    grid->setReadOnly(false);
    EXPECT_TRUE(button->isVisible());

    grid->Columns()[1]->setButtonStyle(cbsNone);
    EXPECT_FALSE(button->isVisible());
    QTest::keyClick(grid, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(clicks, 2);
}

TEST_F(GridTest, cellPainterRunsAfterTheGridWithTheRowAsCurrent)
{
    struct Seen {
        int row;
        int col;
        bool groupNull;
        TGridDrawState state;
        bool editorOpen;
        QColor brush;
    };
    QList<Seen> seen;
    grid->OnDrawColumnCell = [&](QPainter &p, const QRect &rect, int dataCol, TColumn *column, TGridDrawState state) {
        EXPECT_EQ(column, grid->Columns()[dataCol]);
        EXPECT_FALSE(rect.isEmpty());
        seen.append({grid->indexAt(rect.center()).row() + 1, dataCol, field("CDGRUPOFISC")->IsNull(), state, grid->EditorMode(), p.brush().color()});
    };
    selectGroupCell(1);
    grid->setFocus();
    grid->grab();
    ASSERT_FALSE(seen.isEmpty());
    for (const Seen &s : seen) {
        EXPECT_EQ(s.groupNull, s.row == 2) << s.row;   // the painted row, not the current one
        const bool current = s.row == 2 && s.col == 1;
        EXPECT_EQ(s.state, current ? TGridDrawState(gdSelected | gdFocused) : TGridDrawState()) << s.row << "," << s.col;
        EXPECT_EQ(s.brush, current ? grid->viewport()->palette().color(QPalette::Active, QPalette::Highlight)
                                   : grid->viewport()->palette().color(QPalette::Active, QPalette::Base));
    }
    EXPECT_EQ(cds.RecNo(), 2);   // painting moved nothing

    // With the cell editor open the current cell is selected but not focused.
    seen.clear();
    typeKeys(QStringLiteral("1"));
    ASSERT_TRUE(grid->EditorMode());
    grid->viewport()->repaint();
    bool sawCurrent = false;
    for (const Seen &s : seen) {
        if (s.row == 2 && s.col == 1) {
            sawCurrent = true;
            EXPECT_EQ(s.state, TGridDrawState(gdSelected));
            EXPECT_TRUE(s.editorOpen);
        }
    }
    EXPECT_TRUE(sawCurrent);
}

TEST_F(GridTest, selectionShowsWithoutFocusOnlyWhenAsked)
{
    QList<TGridDrawState> currentStates;
    grid->OnDrawColumnCell = [&](QPainter &, const QRect &rect, int, TColumn *, TGridDrawState state) {
        if (grid->indexAt(rect.center()) == grid->currentIndex())
            currentStates << state;
    };
    struct Case {
        bool alwaysShow;
        bool focused;
        TGridDrawState expected;
    };
    const Case cases[] = {
        {false, true, gdSelected | gdFocused},
        {false, false, {}},
        {true, false, gdSelected},
    };
    selectGroupCell(0);
    for (const Case &c : cases) {
        grid->setOptions(c.alwaysShow ? grid->Options() | dgAlwaysShowSelection
                                      : grid->Options() & ~TDBGridOptions(dgAlwaysShowSelection));
        (c.focused ? static_cast<QWidget *>(grid) : outside)->setFocus();
        QCoreApplication::processEvents();
        currentStates.clear();
        grid->viewport()->repaint();
        ASSERT_EQ(currentStates.size(), 1);
        EXPECT_EQ(currentStates.first(), c.expected) << c.alwaysShow << c.focused;
    }
}

TEST_F(GridTest, typingInAReadOnlyColumnMovesNothing)
{
    cds.setRecNo(1);
    grid->setSelectedIndex(2);
    typeKeys(QStringLiteral("Filial 3"));   // an item view would jump to the row it names
    EXPECT_EQ(cds.RecNo(), 1);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse);
    EXPECT_FALSE(grid->EditorMode());
}

TEST_F(GridTest, keyFiltersSeeKeysOfTheGridAndOfTheEditor)
{
    // The management-type filter: only digits and Backspace in the fiscal-group column.
    grid->OnKeyPress = [this](QChar &key) {
        if (grid->SelectedField() == field("CDGRUPOFISC") && !key.isDigit() && key != QLatin1Char('\b'))
            key = QChar();
    };
    QList<int> downs;
    grid->OnKeyDown = [&](int &key, Qt::KeyboardModifiers) { downs << key; };
    selectGroupCell(0);
    grid->setFocus();
    typeKeys(QStringLiteral("a1b2"));
    EXPECT_FALSE(grid->EditorMode() && cds.State() == fiscal::dataset::dsBrowse);
    ASSERT_TRUE(grid->EditorMode());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backspace);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("x3"));
    grid->setEditorMode(false);
    EXPECT_EQ(field("CDGRUPOFISC")->AsString(), QStringLiteral("13"));
    EXPECT_EQ(downs.size(), 7);   // each key once, whether the grid or its editor had it
}

TEST_F(GridTest, focusRequestSelectsTheFieldsColumn)
{
    grid->setSelectedIndex(0);
    outside->setFocus();
    field("CDGRUPOFISC")->FocusControl();
    EXPECT_EQ(grid->SelectedField(), field("CDGRUPOFISC"));
    EXPECT_TRUE(grid->hasFocus());
    EXPECT_TRUE(colExits.isEmpty());   // moves by code are not column exits
}

TEST_F(GridTest, aCellItsColumnCutsShowsItsWholeTextAsATip)
{
    grid->OnCellHint = [this](int dataCol) {
        if (dataCol != 1 || field("CDGRUPOFISC")->IsNull())
            return QString();
        return field("CDGRUPOFISC")->AsString() + QStringLiteral(" - ") + field("DSGRUPOFISC")->AsString()
            + QStringLiteral(", descrição longa");
    };
    grid->setSort(0, Qt::DescendingOrder);   // the tip reads the row under the mouse
    cds.setRecNo(1);
    struct Case {
        int row, col, width;
        const char *tip;
    };
    const Case cases[] = {
        {0, 2, 30, "Filial 3"},                        // the grid's own text, cut
        {0, 2, 300, ""},                               // it fits
        {0, 1, 60, "003 - Grupo 3, descrição longa"},  // the painted text
        {1, 1, 60, ""},                                // nothing painted, nothing shown
    };
    for (const Case &c : cases) {
        QToolTip::hideText();
        ASSERT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }));
        grid->Columns()[c.col]->setWidth(c.width);
        const QPoint at = grid->visualRect(cell(c.row, c.col)).center();
        QHelpEvent tip(QEvent::ToolTip, at, grid->viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid->viewport(), &tip);
        EXPECT_EQ((QToolTip::isVisible() ? QToolTip::text() : QString()).toStdString(), c.tip)
            << c.row << "," << c.col << "," << c.width;
    }
    EXPECT_EQ(cds.RecNo(), 1);   // asking moved nothing
}

TEST_F(GridTest, escapeCancelsThePendingEditAndDisplayTextComesFromTheField)
{
    field("NOME")->OnGetText = [](TField &f, QString &text, bool displayText) {
        if (displayText)
            text = text.toUpper() + QStringLiteral(" (") + f.DataSet()->FieldByName(QStringLiteral("CDFILIAL"))->AsString() + QLatin1Char(')');
    };
    EXPECT_EQ(grid->model()->data(cell(2, 2)).toString(), QStringLiteral("FILIAL 3 (0003)"));
    EXPECT_EQ(grid->model()->data(cell(2, 2), Qt::EditRole).toString(), QStringLiteral("Filial 3"));
    selectGroupCell(0);
    typeKeys(QStringLiteral("8"));
    grid->setEditorMode(false);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit);
    QTest::keyClick(grid, Qt::Key_Escape);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse);
    EXPECT_EQ(field("CDGRUPOFISC")->AsString(), QStringLiteral("001"));
}

// A cell editor left open by a cancel or a refused deletion: what it shows is what the next
// move writes back.
TEST_F(GridTest, theOpenEditorFollowsACancelAndKeepsItsTextOnARefusedDeletion)
{
    TDBNavigator nav;
    nav.setDataSource(&dts);
    const struct Case {
        const char *name;
        std::function<void()> act;
        const char *after;        // the group once the cursor has moved to the last row
        int changes;
    } cases[] = {
        {"cancelled by code", [&] { cds.Cancel(); }, "001", 0},
        {"cancelled by the navigator", [&] { nav.BtnClick(nbCancel); }, "001", 0},
        {"deletion answered no",
         [&] {
             vcltest::answerNext(false);
             QTest::keyClick(QApplication::focusWidget(), Qt::Key_Delete, Qt::ControlModifier);
         },
         "7", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vcltest::resetHooks();
        grid->setOptions(grid->Options() | dgConfirmDelete);
        cds.setData(branches(cds, 3));
        selectGroupCell(0);
        grid->setFocus();
        typeKeys(QStringLiteral("7"));
        ASSERT_TRUE(grid->EditorMode());
        c.act();
        EXPECT_EQ(cds.RecordCount(), 3);
        clickCell(2, 1);
        EXPECT_EQ(cds.ChangeCount(), c.changes);
        EXPECT_EQ(cds.textAt(0, field("CDGRUPOFISC")->Index(), false), QString::fromLatin1(c.after));
    }
}

TEST_F(GridTest, readOnlyColumnsAndFieldsDoNotEdit)
{
    struct Case {
        int column;
        bool editable;
    };
    for (const Case c : {Case{0, false}, Case{1, true}, Case{2, false}})
        EXPECT_EQ(bool(grid->model()->flags(cell(0, c.column)) & Qt::ItemIsEditable), c.editable) << c.column;
    field("CDGRUPOFISC")->setReadOnly(true);
    EXPECT_FALSE(grid->model()->flags(cell(0, 1)) & Qt::ItemIsEditable);
    field("CDGRUPOFISC")->setReadOnly(false);
    grid->setOptions(grid->Options() & ~TDBGridOptions(dgEditing));
    EXPECT_FALSE(grid->model()->flags(cell(0, 1)) & Qt::ItemIsEditable);
    selectGroupCell(0);
    typeKeys(QStringLiteral("5"));
    EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse);
}

} // namespace

namespace {

// However the cursor came to the current cell, a key typed right after clicking that cell
// opens its editor and is kept: the item view's wait for a double click must not eat it.
TEST_F(GridTest, aKeyTypedRightAfterClickingTheCurrentCellOpensItsEditor)
{
    struct Case {
        const char *name;
        std::function<void(GridTest &)> reach;   // leaves (row 1, group column) current
    };
    const Case cases[] = {
        {"Down from the open editor posted the row above",
         [](GridTest &t) {
             t.selectGroupCell(0);
             t.grid->setFocus();
             t.typeKeys(QStringLiteral("5"));
             QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
         }},
        {"the row was posted by code with its editor open",
         [](GridTest &t) {
             t.selectGroupCell(1);
             t.grid->setFocus();
             t.typeKeys(QStringLiteral("5"));
             t.cds.Post();
         }},
        {"a click on another cell, then on this one",
         [](GridTest &t) {
             t.clickCell(1, 2);
             t.clickCell(1, 1);
         }},
    };
    for (const Case &c : cases) {
        vcltest::resetHooks();
        cds.setData(branches(cds, 3));
        grid->setFocus();
        c.reach(*this);
        ASSERT_EQ(cds.State(), fiscal::dataset::dsBrowse) << c.name;
        ASSERT_EQ(grid->currentIndex(), cell(1, 1)) << c.name;
        grid->setEditorMode(false);
        QApplication::processEvents();   // the person's pause before the click

        clickCell(1, 1);
        typeKeys(QStringLiteral("7"));
        EXPECT_TRUE(grid->EditorMode()) << c.name;
        EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit) << c.name;
        EXPECT_EQ(grid->CellText(field("CDGRUPOFISC"), false), QStringLiteral("7")) << c.name;
        grid->setEditorMode(false);
        EXPECT_EQ(field("CDGRUPOFISC")->AsString(), QStringLiteral("7")) << c.name;
        EXPECT_TRUE(vcltest::errors().isEmpty()) << c.name;
        cds.Cancel();
    }
}

TEST_F(GridTest, aClickOnTheCurrentCellStillOpensItsEditorByItself)
{
    struct Case {
        const char *name;
        int column;
        bool opens;
    };
    const Case cases[] = {
        {"editable column", 1, true},
        {"read-only column", 2, false},
    };
    for (const Case &c : cases) {
        clickCell(2, c.column);
        ASSERT_FALSE(grid->EditorMode()) << c.name;
        clickCell(2, c.column);
        if (c.opens) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return grid->EditorMode(); })) << c.name;
        } else {
            QTest::qWait(QApplication::doubleClickInterval() + 50);
            EXPECT_FALSE(grid->EditorMode()) << c.name;
        }
        EXPECT_EQ(cds.State(), fiscal::dataset::dsBrowse) << c.name;   // opening is no edit yet
        grid->setEditorMode(false);
    }
}

// A column left at the default width shows the field's whole value and its whole title.
TEST(GridColumns, defaultWidthShowsTheWholeValueAndTitle)
{
    TClientDataSet set;
    set.addField(QStringLiteral("NRINSJURFORN"), 20, QStringLiteral("Inscrição"));
    set.addField(QStringLiteral("IDENTRSAIDOP"), 1, QStringLiteral("Entrada ou Saída"));
    set.addField(QStringLiteral("NOME"), 40, QStringLiteral("Nome"));
    set.FieldByName(QStringLiteral("NRINSJURFORN"))->OnGetText = [](TField &f, QString &text, bool) {
        const QString d = f.AsString();
        if (d.size() == 14)
            text = d.left(2) + '.' + d.mid(2, 3) + '.' + d.mid(5, 3) + '/' + d.mid(8, 4) + '-' + d.mid(12);
    };
    DataPacket p;
    p.fields = set.FieldDefs();
    Row r(3);
    r.set(0, std::optional<QString>(QStringLiteral("99999999999999")));
    r.set(1, std::optional<QString>(QStringLiteral("E")));
    r.set(2, std::optional<QString>(QStringLiteral("Fornecedor")));
    p.rows.append(r);
    set.setData(p);
    TDataSource source;
    source.setDataSet(&set);

    struct Case {
        const char *name;
        bool userColumns;
    };
    for (const Case c : {Case{"default columns", false}, Case{"columns added without a width", true}}) {
        TDBGrid grid;
        if (c.userColumns) {
            for (const char *name : {"NRINSJURFORN", "IDENTRSAIDOP", "NOME"})
                grid.Columns().Add(QString::fromLatin1(name));
            grid.Columns()[2]->setWidth(90);
        }
        grid.setDataSource(&source);
        grid.resize(800, 200);
        grid.show();
        ASSERT_EQ(grid.Columns().Count(), 3) << c.name;
        const QModelIndex number = grid.model()->index(0, 0);
        const QString shown = grid.model()->data(number).toString();
        ASSERT_EQ(shown, QStringLiteral("99.999.999/9999-99")) << c.name;
        // The cell's text margin on each side, as the item delegate lays text out.
        const int margin = grid.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &grid) + 1;
        EXPECT_GE(grid.columnWidth(0), grid.fontMetrics().horizontalAdvance(shown) + 2 * margin) << c.name;
        const QString title = grid.model()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString();
        EXPECT_GE(grid.columnWidth(1), grid.horizontalHeader()->fontMetrics().horizontalAdvance(title) + 2 * margin)
            << c.name;
        if (c.userColumns) {
            EXPECT_EQ(grid.columnWidth(2), 90) << "a width set stays";
        }
        // Reloading keeps the widths.
        const int before = grid.columnWidth(0);
        set.setData(p);
        EXPECT_EQ(grid.columnWidth(0), before) << c.name;
    }
}

} // namespace
