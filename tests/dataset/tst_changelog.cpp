// Change log, delta, merge, cancel of updates and the whole packet with its log.

#include "dataset/clientdataset.h"
#include "dataset/databaseerror.h"
#include "helpers.h"

#include <functional>
#include <gtest/gtest.h>

using namespace fiscal::dataset;
using namespace fiscal::dataset::test;

namespace {

const QStringList kBase = {"001|Alfa", "002|Beta", "003|Gama"};

void setDesc(TClientDataSet &d, int recNo, const QString &desc)
{
    d.setRecNo(recNo);
    d.Edit();
    d.FieldByName("DSGRUPOFISC")->setAsString(desc);
    d.Post();
}

void append(TClientDataSet &d, const QString &code, const QString &desc)
{
    d.Append();
    d.FieldByName("CDGRUPOFISC")->setAsString(code);
    d.FieldByName("DSGRUPOFISC")->setAsString(desc);
    d.Post();
}

void deleteAt(TClientDataSet &d, int recNo)
{
    d.setRecNo(recNo);
    d.Delete();
}

struct Scenario {
    const char *name;
    std::function<void(TClientDataSet &)> ops;
    QStringList delta;
    QStringList rows;   // after the ops
};

const Scenario kScenarios[] = {
    {"nothing", [](TClientDataSet &) {}, {}, kBase},
    {"edit", [](TClientDataSet &d) { setDesc(d, 2, "B2"); },
     {"update old=002|Beta new=002|B2"}, {"001|Alfa", "002|B2", "003|Gama"}},
    {"edit twice", [](TClientDataSet &d) { setDesc(d, 2, "B2"); setDesc(d, 2, "B3"); },
     {"update old=002|Beta new=002|B3"}, {"001|Alfa", "002|B3", "003|Gama"}},
    {"edit back to the loaded value", [](TClientDataSet &d) { setDesc(d, 2, "B2"); setDesc(d, 2, "Beta"); },
     {}, kBase},
    {"post without a change", [](TClientDataSet &d) { d.Edit(); d.Post(); }, {}, kBase},
    {"clear a value", [](TClientDataSet &d) { d.Edit(); d.Fields(1)->Clear(); d.Post(); },
     {"update old=001|Alfa new=001|~"}, {"001|~", "002|Beta", "003|Gama"}},
    {"delete", [](TClientDataSet &d) { deleteAt(d, 3); },
     {"delete old=003|Gama"}, {"001|Alfa", "002|Beta"}},
    {"insert", [](TClientDataSet &d) { append(d, "004", "Delta"); },
     {"insert new=004|Delta"}, {"001|Alfa", "002|Beta", "003|Gama", "004|Delta"}},
    {"insert then edit", [](TClientDataSet &d) { append(d, "004", "Delta"); setDesc(d, 4, "D2"); },
     {"insert new=004|D2"}, {"001|Alfa", "002|Beta", "003|Gama", "004|D2"}},
    {"insert then delete", [](TClientDataSet &d) { append(d, "004", "Delta"); deleteAt(d, 4); }, {}, kBase},
    {"edit then delete", [](TClientDataSet &d) { setDesc(d, 1, "A2"); deleteAt(d, 1); },
     {"delete old=001|Alfa"}, {"002|Beta", "003|Gama"}},
    {"changes in the order rows were first changed",
     [](TClientDataSet &d) {
         setDesc(d, 3, "G2");
         deleteAt(d, 1);
         append(d, "004", "Delta");
         setDesc(d, 2, "G3");   // row 003, changed first
     },
     {"update old=003|Gama new=003|G3", "delete old=001|Alfa", "insert new=004|Delta"},
     {"002|Beta", "003|G3", "004|Delta"}},
    {"insert before the current row", [](TClientDataSet &d) {
         d.setRecNo(2);
         d.Insert();
         d.Fields(0)->setAsString("01A");
         d.Post();
     },
     {"insert new=01A|~"}, {"001|Alfa", "01A|~", "002|Beta", "003|Gama"}},
    {"after a merge", [](TClientDataSet &d) {
         setDesc(d, 1, "A2");
         deleteAt(d, 3);
         d.MergeChangeLog();
         setDesc(d, 1, "A3");
     },
     {"update old=001|A2 new=001|A3"}, {"001|A3", "002|Beta"}},
    {"without logging", [](TClientDataSet &d) {
         d.setLogChanges(false);
         setDesc(d, 1, "A2");
         append(d, "004", "Delta");
         deleteAt(d, 2);
         d.setLogChanges(true);
         setDesc(d, 2, "G2");
     },
     {"update old=003|Gama new=003|G2"}, {"001|A2", "003|G2", "004|Delta"}},
};

TEST(ChangeLog, Delta)
{
    for (const Scenario &s : kScenarios) {
        auto ds = groups(kBase);
        s.ops(*ds);
        const ChangeSet delta = ds->Delta();
        EXPECT_EQ(describe(delta), s.delta) << s.name;
        EXPECT_EQ(ds->ChangeCount(), s.delta.size()) << s.name;
        EXPECT_EQ(delta.fields, groupFields()) << s.name;
        EXPECT_EQ(rowsOf(*ds), s.rows) << s.name;
    }
}

TEST(ChangeLog, MergeMakesCurrentValuesTheBase)
{
    for (const Scenario &s : kScenarios) {
        auto ds = groups(kBase);
        s.ops(*ds);
        ds->MergeChangeLog();
        EXPECT_EQ(ds->ChangeCount(), 0) << s.name;
        EXPECT_TRUE(ds->Delta().changes.isEmpty()) << s.name;
        EXPECT_EQ(rowsOf(*ds), s.rows) << s.name;
        ds->CancelUpdates();
        EXPECT_EQ(rowsOf(*ds), s.rows) << s.name;
    }
}

TEST(ChangeLog, CancelUpdatesRestoresTheLoadedRowsInPlace)
{
    for (const Scenario &s : kScenarios) {
        if (QByteArray(s.name) == "after a merge" || QByteArray(s.name) == "without logging")
            continue;   // their base is not the load
        auto ds = groups(kBase);
        s.ops(*ds);
        ds->CancelUpdates();
        EXPECT_EQ(rowsOf(*ds), kBase) << s.name;
        EXPECT_EQ(ds->ChangeCount(), 0) << s.name;
        EXPECT_EQ(ds->State(), dsBrowse) << s.name;
    }

    // Deleted rows go back between their old neighbours, unlogged inserts stay.
    auto ds = groups({"001|A", "002|B", "003|C", "004|D", "005|E"});
    ds->setLogChanges(false);
    ds->setRecNo(1);
    append(*ds, "00X", "kept");
    ds->setLogChanges(true);
    deleteAt(*ds, 4);
    deleteAt(*ds, 2);
    setDesc(*ds, 1, "A2");
    append(*ds, "006", "F");
    ds->setRecNo(2);
    ds->Edit();
    ds->Fields(1)->setAsString("pending");
    ds->CancelUpdates();   // also drops the pending edit
    EXPECT_EQ(rowsOf(*ds), (QStringList{"001|A", "002|B", "003|C", "004|D", "005|E", "00X|kept"}));
    EXPECT_EQ(ds->State(), dsBrowse);
}

// The cursor stays on its record when the rows deleted above it come back: the next edit
// must not land on its neighbour.
TEST(ChangeLog, CancelUpdatesKeepsTheCursorOnItsRecord)
{
    const struct {
        const char *name;
        int deleted;       // row deleted first (1-based)
        int current;       // then the cursor, on the rows left
        const char *edit;  // and its description changed, when given
        QString expected;
    } cases[] = {
        {"a row deleted above", 2, 3, nullptr, "004|D"},
        {"a row deleted below", 4, 2, nullptr, "002|B"},
        {"an edited row below a deleted one", 1, 3, "D2", "004|D"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto ds = groups({"001|A", "002|B", "003|C", "004|D", "005|E"});
        deleteAt(*ds, c.deleted);
        ds->setRecNo(c.current);
        if (c.edit)
            setDesc(*ds, c.current, QString::fromLatin1(c.edit));
        ds->CancelUpdates();
        EXPECT_EQ(rowsOf(*ds).value(ds->RecNo() - 1), c.expected);
    }
}

TEST(ChangeLog, CancelUpdatesAfterDeletingTheOnlyRow)
{
    // The interstate parameter: a delete is undone at once.
    auto ds = groups({"0001|010"});
    deleteAt(*ds, 1);
    EXPECT_TRUE(ds->IsEmpty());
    ds->CancelUpdates();
    EXPECT_EQ(rowsOf(*ds), QStringList{"0001|010"});
    EXPECT_EQ(ds->RecNo(), 1);
}

TEST(ChangeLog, UpdateStatusAndOldValue)
{
    auto ds = groups(kBase);
    setDesc(*ds, 2, "B2");
    append(*ds, "004", "D");
    struct Case { int recNo; TUpdateStatus status; std::optional<QString> old; };
    const Case cases[] = {
        {1, usUnmodified, QStringLiteral("Alfa")},
        {2, usModified, QStringLiteral("Beta")},
        {4, usInserted, std::nullopt},
    };
    for (const Case &c : cases) {
        ds->setRecNo(c.recNo);
        EXPECT_EQ(ds->UpdateStatus(), c.status) << c.recNo;
        EXPECT_EQ(ds->FieldByName("DSGRUPOFISC")->OldValue(), c.old) << c.recNo;
    }
    // A row looked at without moving to it (a report, a painted cell) gives its own.
    ds->setRecNo(1);
    for (const Case &c : cases) {
        std::optional<QString> old = QStringLiteral("not read");
        ds->withRowAsCurrent(c.recNo - 1, [&] { old = ds->FieldByName("DSGRUPOFISC")->OldValue(); });
        EXPECT_EQ(old, c.old) << c.recNo;
    }
}

TEST(ChangeLog, PendingEditIsNotInTheLog)
{
    auto ds = groups(kBase);
    ds->Edit();
    ds->Fields(1)->setAsString("x");
    EXPECT_EQ(ds->ChangeCount(), 0);
    EXPECT_TRUE(ds->Delta().changes.isEmpty());
    EXPECT_EQ(rowsOf(*ds), kBase);
    ds->Cancel();
    ds->Append();
    ds->Fields(0)->setAsString("9");
    EXPECT_EQ(ds->Data().rows.size(), 3);
    EXPECT_TRUE(ds->Delta().changes.isEmpty());
}

// The whole packet carries the log: loading it elsewhere gives the same rows and delta,
// and cancelling there restores the rows as first loaded.
TEST(ChangeLog, DataRoundTripKeepsTheLog)
{
    for (const Scenario &s : kScenarios) {
        auto a = groups(kBase);
        s.ops(*a);
        const DataPacket data = a->Data();
        ASSERT_TRUE(data.changes.has_value()) << s.name;

        for (int via = 0; via < 3; ++via) {
            auto b = groups({"999|outro"});
            if (via == 0)
                b->setData(data);
            else if (via == 1)
                b->loadFromCbor(data.toCbor());
            else
                b->setData(DataPacket::fromJson(data.toJson()));
            EXPECT_EQ(rowsOf(*b), s.rows) << s.name << " via " << via;
            EXPECT_EQ(describe(b->Delta()), s.delta) << s.name << " via " << via;
            EXPECT_EQ(b->ChangeCount(), a->ChangeCount()) << s.name;
            b->MergeChangeLog();
            EXPECT_EQ(b->ChangeCount(), 0);
        }
    }
}

TEST(ChangeLog, LoadRefusesALogThatDoesNotMatchTheRows)
{
    DataPacket p = groupPacket({"001|Alfa"});
    p.changes = ChangeSet{p.fields, {Change{Change::Update, row("001|X"), row("001|Y")}}};
    auto ds = groups(kBase);
    EXPECT_THROW(ds->setData(p), EDatabaseError);
    EXPECT_EQ(rowsOf(*ds), kBase);

    // Identical rows: each logged change claims its own row.
    DataPacket twins = groupPacket({"001|Igual", "001|Igual"});
    twins.changes = ChangeSet{twins.fields, {Change{Change::Update, row("001|A"), row("001|Igual")},
                                             Change{Change::Update, row("001|B"), row("001|Igual")}}};
    ds->setData(twins);
    EXPECT_EQ(ds->ChangeCount(), 2);
    ds->CancelUpdates();
    EXPECT_EQ(rowsOf(*ds), (QStringList{"001|A", "001|B"}));
}

TEST(ChangeLog, LoadingReplacesContentAndLog)
{
    auto ds = groups(kBase);
    setDesc(*ds, 2, "B2");
    ds->setRecNo(3);
    ds->Edit();
    ds->Fields(1)->setAsString("pending");
    ds->loadFromCbor(groupPacket({"005|Novo", "006|Outro"}).toCbor());
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->RecNo(), 1);
    EXPECT_EQ(ds->ChangeCount(), 0);
    EXPECT_EQ(rowsOf(*ds), (QStringList{"005|Novo", "006|Outro"}));
    EXPECT_THROW(ds->loadFromCbor("garbage"), PacketError);
    EXPECT_EQ(ds->RecordCount(), 2);
}

} // namespace
