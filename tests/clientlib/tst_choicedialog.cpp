// The search list dialog as a user drives it: typing narrows the rows, the rows map back to
// the table, and checks survive the narrowing.
#include "clientlib/choicedialog.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

using namespace fiscal::clientlib;

namespace {

// Code (hidden key), number shown through a mask and stored bare, name.
ChoiceTable clients()
{
    static const QList<QStringList> rows = {
        {"C1", "12345678000190", "Figueirêdo Comércio"},
        {"C2", "98765432000110", "Casa Ab"},
        {"C3", "11122233344", "Ana Bezerra"},
        {"C4", "55566677788", "Łukasz Importação"},
        {"C5", "00011122233", "Açougue São João"},
    };
    ChoiceTable t;
    t.fieldNames = {"CDCLIENTE", "NRINSJURCLIE", "NMRAZSOCCLIE"};
    t.titles = {"Código", "Inscrição", "Razão Social"};
    t.widths = {4, 20, 30};
    t.hidden = {0};
    auto masked = [](const QString &n) {
        return n.size() == 14 ? QStringLiteral("%1.%2.%3/%4-%5").arg(n.mid(0, 2), n.mid(2, 3), n.mid(5, 3), n.mid(8, 4), n.mid(12))
                              : QStringLiteral("%1.%2.%3-%4").arg(n.mid(0, 3), n.mid(3, 3), n.mid(6, 3), n.mid(9));
    };
    t.rows = ChoiceRows(
        int(rows.size()), 3, [masked](int r, int c) { return c == 1 ? masked(rows[r][1]) : rows[r][c]; },
        [](int r, int c) { return rows[r][c]; });
    return t;
}

// The table rows the view shows, by their names.
QStringList shownNames(const ChoiceDialog &d)
{
    QStringList out;
    const QAbstractItemModel *m = d.view()->model();
    for (int r = 0; r < m->rowCount(); ++r)
        out << m->index(r, 1).data().toString();
    return out;
}

void typeFilter(ChoiceDialog &d, const QString &text)
{
    d.searchBox()->selectAll();
    QTest::keyClick(d.searchBox(), Qt::Key_Delete);
    for (QChar c : text) {
        if (c.unicode() < 128)
            QTest::keyClick(d.searchBox(), c.toLatin1());
        else
            d.searchBox()->insert(c);   // as an input method enters it
    }
    QApplication::processEvents();
}

TEST(ChoiceDialog, TypingNarrowsByNameOrBareNumberIgnoringCaseAccentsAndPunctuation)
{
    const struct {
        const char *typed;
        QStringList names;
    } cases[] = {
        {"figueire", {"Figueirêdo Comércio"}},
        {"ACOUGUE SAO", {"Açougue São João"}},
        {"12345678", {"Figueirêdo Comércio"}},       // the CNPJ stored bare, shown masked
        {"12.345.678", {"Figueirêdo Comércio"}},     // and typed with its punctuation
        {"łukasz", {"Łukasz Importação"}},            // beyond Latin-1
        {"CA", {"Casa Ab", "Łukasz Importação"}},
        {"190fig", {}},                               // not across two cells of a row
        {"cio987", {}},                               // nor across two rows
        {"", {"Figueirêdo Comércio", "Casa Ab", "Ana Bezerra", "Łukasz Importação", "Açougue São João"}},
    };
    const ChoiceTable table = clients();
    ChoiceDialog d(table, QStringLiteral("Cliente"), true, nullptr);
    EXPECT_EQ(d.view()->model()->columnCount(), 2) << "the key is hidden";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        typeFilter(d, QString::fromUtf8(c.typed));
        EXPECT_EQ(shownNames(d), c.names);
    }
}

TEST(ChoiceDialog, TheCountOfOneRowIsSingular)
{
    ChoiceTable table = clients();
    table.rows = ChoiceRows(
        1, 3, [](int, int c) { return QStringList{"C1", "123", "Casa Ab"}[c]; },
        [](int, int c) { return QStringList{"C1", "123", "Casa Ab"}[c]; });
    ChoiceDialog d(table, QStringLiteral("Cliente"), true, nullptr);
    auto *count = d.findChild<QLabel *>(QStringLiteral("lblQuantidade"));
    ASSERT_TRUE(count);
    EXPECT_EQ(count->text(), QStringLiteral("1 registro"));
}

TEST(ChoiceDialog, ChecksAreKeptPerTableRowThroughFilteringAndMarkAllActsOnTheShownRows)
{
    const ChoiceTable table = clients();
    ChoiceDialog d(table, QStringLiteral("Cliente"), true, nullptr);
    auto *count = d.findChild<QLabel *>(QStringLiteral("lblQuantidade"));
    ASSERT_TRUE(count);
    EXPECT_EQ(count->text(), QStringLiteral("5 registros"));

    // "Łukasz Importação" checked by Space while the list shows two rows.
    typeFilter(d, QStringLiteral("ca"));
    EXPECT_EQ(count->text(), QStringLiteral("2 de 5"));
    QTest::keyClick(d.searchBox(), Qt::Key_Down);
    d.view()->selectRow(1);
    QTest::keyClick(d.view(), Qt::Key_Space);
    EXPECT_EQ(d.checkedRows(), QList<int>{3});

    // Filtered out it stays checked; "Marcar todos" checks only the rows shown.
    typeFilter(d, QStringLiteral("sao"));
    QPushButton *all = nullptr;
    for (QPushButton *b : d.findChildren<QPushButton *>())
        if (b->text() == QStringLiteral("Marcar todos"))
            all = b;
    ASSERT_TRUE(all);
    QTest::mouseClick(all, Qt::LeftButton);
    EXPECT_EQ(d.checkedRows(), (QList<int>{3, 4}));

    typeFilter(d, QString());
    EXPECT_EQ(d.view()->model()->rowCount(), 5);
    EXPECT_EQ(d.checkedRows(), (QList<int>{3, 4}));
}

TEST(ChoiceDialog, TheChosenRowIsTheTableRowWhateverIsFilteredOut)
{
    const ChoiceTable table = clients();
    ChoiceDialog d(table, QStringLiteral("Cliente"), false, nullptr);
    typeFilter(d, QStringLiteral("importa"));
    EXPECT_EQ(d.chosenRow(), 3) << "the only row shown is chosen";
    typeFilter(d, QStringLiteral("nobody"));
    EXPECT_EQ(d.chosenRow(), -1);
    typeFilter(d, QStringLiteral("a"));
    d.view()->selectRow(shownNames(d).indexOf(QStringLiteral("Açougue São João")));
    typeFilter(d, QStringLiteral("ao"));
    EXPECT_EQ(d.chosenRow(), 4) << "the row chosen stays chosen while shown";
}

} // namespace
