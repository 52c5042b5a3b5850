// Views of a data set that sort and find rows: the folding they share, the display order
// and the search in it.

#include "dataset/rowfinder.h"
#include "helpers.h"

#include <gtest/gtest.h>

using namespace fiscal::dataset;
using fiscal::dataset::test::row;

namespace {

TEST(TextMatcher, FindsAsPeopleReadTheCells)
{
    struct Case { const char *needle; std::vector<const char *> parts; bool found; };
    const Case cases[] = {
        {"joao", {"JOÃO DA SILVA"}, true},
        {"JOÃO", {"joao"}, true},
        {"são  paulo", {"Sao Paulo\tSP"}, true},
        {"silvia", {"Silvana"}, false},
        // Registration numbers, formatted or bare, in whole or in part.
        {"12.345.678/0001-90", {"12345678000190"}, true},
        {"12345678000190", {"12.345.678/0001-90"}, true},
        {"678/0001", {"12345678000190"}, true},
        {"123.456.789-09", {"12345678909"}, true},
        {"123.456.789-08", {"12345678909"}, false},
        // A cell that shows a code and a description.
        {"001 - icms", {"001", "ICMS normal"}, true},
        {"icms normal", {"001", "ICMS normal"}, true},
        {"01icms", {"001", "ICMS"}, false},
        // Text beyond Latin-1, on either side.
        {"✓", {"Ação ✓"}, true},
        {"acao ✓", {"AÇÃO ✓"}, true},
        {"x", {"Ação ✓"}, false},
        {"✓", {"Ação"}, false},
    };
    for (const Case &c : cases) {
        const TextMatcher m(QString::fromUtf8(c.needle));
        std::vector<QString> texts;
        for (const char *p : c.parts)
            texts.push_back(QString::fromUtf8(p));
        std::vector<QAnyStringView> views(texts.begin(), texts.end());
        EXPECT_EQ(m.matches(views), c.found) << c.needle;
    }
    for (const char *nothing : {"", "   ", " - ./ "})
        EXPECT_TRUE(TextMatcher(QString::fromUtf8(nothing)).isEmpty()) << '"' << nothing << '"';
}

class Names : public ::testing::Test {
protected:
    void load(const QStringList &rows)
    {
        DataPacket p;
        p.fields = {FieldDef{QStringLiteral("NOME"), 0}, FieldDef{QStringLiteral("CODIGO"), 0}};
        for (const QString &r : rows)
            p.rows.append(row(r));
        ds.setData(std::move(p));
    }
    std::vector<int> shown(const RowOrder &order) const
    {
        std::vector<int> out;
        for (int d = 0; d < ds.rowCount(); ++d) {
            out.push_back(order.toData(d));
            EXPECT_EQ(order.toDisplay(order.toData(d)), d);
        }
        return out;
    }
    TClientDataSet ds;
};

TEST_F(Names, SortFoldsCaseAndAccentsAndKeepsEqualRowsInOrder)
{
    load({QStringLiteral("beto|0"), QStringLiteral("Ágata|1"), QStringLiteral("~|2"), QStringLiteral("abel|3"),
          QStringLiteral("ana|4"), QStringLiteral("ANA|5"), QStringLiteral("|6"), QStringLiteral("Zé|7"),
          QStringLiteral("Comercial de Alimentos Souza|8"), QStringLiteral("comercial de alimentos santos|9"),
          QStringLiteral("Comercial de Alimentos Silva|10"), QStringLiteral("Ação ✓|11"), QStringLiteral("zeca|12")});
    RowOrder order;
    order.sort(ds, 0, Qt::AscendingOrder);
    EXPECT_EQ(shown(order), (std::vector<int>{2, 6, 3, 11, 1, 4, 5, 0, 9, 10, 8, 7, 12}));
    order.sort(ds, 0, Qt::DescendingOrder);
    EXPECT_EQ(shown(order), (std::vector<int>{12, 7, 8, 10, 9, 0, 4, 5, 1, 11, 3, 2, 6}));
    order.sort(ds, 1, Qt::AscendingOrder);   // "10" before "2": text, as the codes are padded
    EXPECT_EQ(shown(order), (std::vector<int>{0, 1, 10, 11, 12, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(Names, OrderFollowsInsertedAndRemovedRows)
{
    load({QStringLiteral("c|0"), QStringLiteral("a|1"), QStringLiteral("b|2")});
    RowOrder order;
    order.sort(ds, 0, Qt::AscendingOrder);   // shows data rows 1, 2, 0
    struct Step { const char *name; std::function<void()> act; std::vector<int> expected; };
    const Step steps[] = {
        {"a row inserted at data row 1, shown first", [&] { order.inserted(1, 0); }, {1, 2, 3, 0}},
        {"appended, shown last", [&] { order.inserted(4, 4); }, {1, 2, 3, 0, 4}},
        {"data row 0 removed", [&] { EXPECT_EQ(order.removed(0), 3); }, {0, 1, 2, 3}},
        {"data row 1 removed", [&] { EXPECT_EQ(order.removed(1), 1); }, {0, 1, 2}},
    };
    for (const Step &s : steps) {
        s.act();
        std::vector<int> got;
        for (int d = 0; d < int(s.expected.size()); ++d) {
            got.push_back(order.toData(d));
            EXPECT_EQ(order.toDisplay(order.toData(d)), d) << s.name;
        }
        EXPECT_EQ(got, s.expected) << s.name;
    }
}

TEST_F(Names, FindGoesThroughTheDisplayOrderAndWraps)
{
    load({QStringLiteral("Maria|10"), QStringLiteral("José|20"), QStringLiteral("Mário|30"), QStringLiteral("Ana|40")});
    RowOrder order;
    order.sort(ds, 0, Qt::AscendingOrder);   // Ana(3), José(1), Maria(0), Mário(2)
    const std::vector<FindColumn> columns{{{0}, false}};
    struct Case { const char *text; int from; bool forward; int found; bool wrapped; };
    const Case cases[] = {
        {"mari", -1, true, 2, false},
        {"mari", 2, true, 3, false},
        {"mari", 3, true, 2, true},
        {"mari", 2, false, 3, true},
        {"jose", 3, true, 1, true},
        {"40", -1, true, -1, false},   // a field no column shows
        {"pedro", 1, true, -1, false},
    };
    for (const Case &c : cases) {
        bool wrapped = !c.wrapped;
        EXPECT_EQ(findRow(ds, order, columns, TextMatcher(QString::fromUtf8(c.text)), c.from, c.forward, &wrapped),
                  c.found) << c.text << " from " << c.from;
        EXPECT_EQ(wrapped, c.wrapped) << c.text << " from " << c.from;
    }
    // A column shown through OnGetText is searched as shown.
    ds.FieldByName(QStringLiteral("CODIGO"))->OnGetText = [](TField &f, QString &text, bool) {
        text = QStringLiteral("nº ") + f.AsString();
    };
    const std::vector<FindColumn> shownCode{{{1}, true}};
    EXPECT_EQ(findRow(ds, order, shownCode, TextMatcher(QStringLiteral("nº 30")), -1, true), 3);
}

// The index answers as reading the rows does, before and after rows change.
TEST_F(Names, TheIndexFindsWhatReadingTheRowsFinds)
{
    const char *const first[] = {"Ana", "JOÃO", "maria", "José", "Zé", "Conceição", "ana"};
    const char *const last[] = {"Silva", "SOUZA", "de Sá", "Santos", "", "Lima-Sá"};
    QStringList rows;
    for (int i = 0; i < 300; ++i)
        rows << QStringLiteral("%1 %2|%3").arg(QString::fromUtf8(first[i % 7]), QString::fromUtf8(last[i % 6]))
                    .arg(i * 7919 % 100000, 5, 10, QLatin1Char('0'));
    load(rows);
    RowOrder order;
    order.sort(ds, 0, Qt::DescendingOrder);
    const std::vector<FindColumn> columns{{{0}, false}, {{1}, false}};
    FindIndex index;
    index.build(ds, order, columns);
    ASSERT_TRUE(index.isFor(columns));

    auto agree = [&](const char *stage) {
        for (const char *text : {"ana", "SILVA", "sao", "limasa", "ze s", "conceicao santos", "123", "9", "xyz", "ção"}) {
            for (int from : {-1, 0, 17, 150, 299, 300}) {
                for (bool forward : {true, false}) {
                    const TextMatcher m(QString::fromUtf8(text));
                    bool w1 = false, w2 = false;
                    EXPECT_EQ(index.find(ds, order, m, from, forward, &w1), findRow(ds, order, columns, m, from, forward, &w2))
                        << stage << ": " << text << " from " << from << (forward ? " on" : " back");
                    EXPECT_EQ(w1, w2) << stage << ": " << text << " from " << from;
                }
            }
        }
    };
    agree("as made");
    for (int r : {3, 150, 299}) {
        ds.setRecNo(r + 1);
        ds.Edit();
        ds.FieldByName(QStringLiteral("NOME"))->setAsString(QStringLiteral("Xyz Conceição Santos"));
        ds.Post();
        index.rowChanged(r);
    }
    agree("after changes");
}

} // namespace
