// TDataSource notifications, and that a view can mirror a data set from its signals alone.

#include "dataset/abort.h"
#include "dataset/datasource.h"
#include "helpers.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace fiscal::dataset;
using namespace fiscal::dataset::test;

namespace {

struct StateLog {
    QList<TDataSetState> states;
    QList<TClientDataSet *> dataSets;
    void attach(TDataSource &src)
    {
        src.OnStateChange = [this](TDataSource &s) {
            states << s.State();
            dataSets << s.DataSet();
        };
    }
};

TEST(DataSource, RebindingPassesThroughInactive)
{
    auto browsing = groups({"001|A"});
    auto editing = groups({"002|B"});
    editing->Edit();
    auto alsoBrowsing = groups({"003|C"});
    TClientDataSet closed;
    closed.addField("X", 1);

    struct Step { TClientDataSet *bind; QList<TDataSetState> expected; };
    TDataSource src;
    StateLog log;
    log.attach(src);
    QSignalSpy spy(&src, &TDataSource::stateChange);
    QSignalSpy rebound(&src, &TDataSource::dataSetChanged);
    const Step steps[] = {
        {browsing.get(), {dsBrowse}},                    // from nothing: no inactive step
        {browsing.get(), {}},                            // same data set: nothing
        {editing.get(), {dsInactive, dsEdit}},
        {alsoBrowsing.get(), {dsInactive, dsBrowse}},
        {&closed, {dsInactive}},
        {browsing.get(), {dsBrowse}},
        {nullptr, {dsInactive}},
    };
    int signals = 0;
    for (const Step &s : steps) {
        log.states.clear();
        log.dataSets.clear();
        src.setDataSet(s.bind);
        EXPECT_EQ(log.states, s.expected);
        signals += int(s.expected.size());
        EXPECT_EQ(spy.count(), signals);
        EXPECT_EQ(src.DataSet(), s.bind);
        // The handler sees the new data set when it reports the new state.
        if (!s.expected.isEmpty() && s.expected.last() != dsInactive) {
            EXPECT_EQ(log.dataSets.last(), s.bind);
        }
    }
    EXPECT_EQ(rebound.count(), 6);
}

TEST(DataSource, FollowsTheBoundDataSetOnly)
{
    auto a = groups({"001|A", "002|B"});
    auto b = groups({"003|C"});
    TDataSource src;
    StateLog log;
    log.attach(src);
    src.setDataSet(a.get());
    log.states.clear();

    a->BeforeInsert = [](TClientDataSet &) { Abort(); };
    EXPECT_THROW(a->Append(), EAbort);          // vetoed: no state change at all
    a->BeforeInsert = nullptr;
    a->Edit();
    a->Fields(1)->setAsString("x");
    a->Post();
    a->Close();
    a->setData(groupPacket({"009|Z"}));
    EXPECT_EQ(log.states, (QList<TDataSetState>{dsEdit, dsBrowse, dsInactive, dsBrowse}));

    // Reloading an open data set is seen as closing and reopening it.
    log.states.clear();
    a->setData(groupPacket({"010|Y"}));
    EXPECT_EQ(log.states, (QList<TDataSetState>{dsInactive, dsBrowse}));

    src.setDataSet(b.get());
    log.states.clear();
    QSignalSpy rows(&src, &TDataSource::rowsInserted);
    a->Edit();
    a->Append();
    EXPECT_TRUE(log.states.isEmpty());
    EXPECT_EQ(rows.count(), 0);
    b->Append();
    EXPECT_EQ(log.states, QList<TDataSetState>{dsInsert});
    EXPECT_EQ(rows.count(), 1);
}

TEST(DataSource, DataSetDestroyedUnbinds)
{
    TDataSource src;
    StateLog log;
    log.attach(src);
    {
        auto a = groups({"001|A"});
        src.setDataSet(a.get());
    }
    EXPECT_EQ(src.DataSet(), nullptr);
    EXPECT_EQ(src.State(), dsInactive);
    EXPECT_EQ(log.states, (QList<TDataSetState>{dsBrowse, dsInactive}));
}

TEST(DataSource, DataChangeAndFocus)
{
    auto a = groups({"001|A", "002|B"});
    TDataSource src;
    src.setDataSet(a.get());
    QStringList seen;
    src.OnDataChange = [&](TDataSource &s, TField *f) {
        seen << (f ? f->FieldName() : QStringLiteral("*")) + "@" + QString::number(s.DataSet()->RecNo());
    };
    QSignalSpy focus(&src, &TDataSource::fieldFocusRequested);
    a->Next();
    a->Edit();
    a->FieldByName("DSGRUPOFISC")->setAsString("B2");
    a->FieldByName("CDGRUPOFISC")->FocusControl();
    a->Cancel();
    EXPECT_EQ(seen, (QStringList{"*@2", "DSGRUPOFISC@2", "*@2"}));
    ASSERT_EQ(focus.count(), 1);
    EXPECT_EQ(focus.at(0).at(0).value<TField *>(), a->FieldByName("CDGRUPOFISC"));
}

// A view that knows only what the signals tell it: rows are re-read from the data set
// only when a signal says they changed.
class Mirror {
public:
    explicit Mirror(TDataSource &src) : src_(src)
    {
        QObject::connect(&src, &TDataSource::modelAboutToBeReset, [this] { inReset_ = true; });
        QObject::connect(&src, &TDataSource::modelReset, [this] {
            inReset_ = false;
            rows_.clear();
            for (int r = 0; r < ds()->rowCount(); ++r)
                rows_ << read(r);
        });
        QObject::connect(&src, &TDataSource::rowsAboutToBeInserted, [this](int row) {
            pending_ = row;
            countBefore_ = ds()->rowCount();
        });
        QObject::connect(&src, &TDataSource::rowsInserted, [this](int row) {
            EXPECT_EQ(row, pending_);
            EXPECT_EQ(ds()->rowCount(), countBefore_ + 1);
            rows_.insert(row, read(row));
        });
        QObject::connect(&src, &TDataSource::rowsAboutToBeRemoved, [this](int row) {
            pending_ = row;
            countBefore_ = ds()->rowCount();
        });
        QObject::connect(&src, &TDataSource::rowsRemoved, [this](int row) {
            EXPECT_EQ(row, pending_);
            EXPECT_EQ(ds()->rowCount(), countBefore_ - 1);
            rows_.removeAt(row);
        });
        QObject::connect(&src, &TDataSource::dataChanged, [this](int row, int) {
            EXPECT_FALSE(inReset_);
            rows_[row] = read(row);
        });
        QObject::connect(&src, &TDataSource::currentChanged, [this](int row) { current_ = row; });
    }
    QStringList rows() const { return rows_; }
    int current() const { return current_; }

    QStringList truth() const
    {
        QStringList out;
        for (int r = 0; r < ds()->rowCount(); ++r)
            out << read(r);
        return out;
    }

private:
    TClientDataSet *ds() const { return src_.DataSet(); }
    QString read(int r) const
    {
        return ds()->valueAt(r, 0).value_or("~") + "|" + ds()->valueAt(r, 1).value_or("~");
    }
    TDataSource &src_;
    QStringList rows_;
    int current_ = -1;
    int pending_ = -1;
    int countBefore_ = 0;
    bool inReset_ = false;
};

TEST(DataSource, ViewCanMirrorTheDataSet)
{
    auto ds = groups({"001|A", "002|B", "003|C"});
    TDataSource src;
    src.setDataSet(ds.get());
    Mirror view(src);
    ds->setData(groupPacket({"001|A", "002|B", "003|C"}));

    using Op = std::function<void(TClientDataSet &)>;
    const std::pair<const char *, Op> ops[] = {
        {"edit and type", [](TClientDataSet &d) { d.Edit(); d.Fields(1)->setAsString("A2"); }},
        {"cancel edit", [](TClientDataSet &d) { d.Cancel(); }},
        {"edit post", [](TClientDataSet &d) { d.Edit(); d.Fields(1)->setAsString("A3"); d.Post(); }},
        {"insert middle", [](TClientDataSet &d) { d.setRecNo(2); d.Insert(); d.Fields(0)->setAsString("01X"); }},
        {"post insert", [](TClientDataSet &d) { d.Post(); }},
        {"append and leave untouched", [](TClientDataSet &d) { d.Append(); d.First(); }},
        {"append and cancel", [](TClientDataSet &d) { d.Append(); d.Fields(1)->setAsString("z"); d.Cancel(); }},
        {"delete middle", [](TClientDataSet &d) { d.setRecNo(3); d.Delete(); }},
        {"delete last", [](TClientDataSet &d) { d.Last(); d.Delete(); }},
        {"cancel updates", [](TClientDataSet &d) { d.CancelUpdates(); }},
        {"edit then delete", [](TClientDataSet &d) { d.First(); d.Edit(); d.Fields(1)->setAsString("q"); d.Delete(); }},
        {"merge", [](TClientDataSet &d) { d.MergeChangeLog(); }},
        {"reload", [](TClientDataSet &d) { d.setData(groupPacket({"007|G"})); }},
        {"delete only row", [](TClientDataSet &d) { d.Delete(); }},
        {"insert into empty", [](TClientDataSet &d) { d.Edit(); d.Fields(0)->setAsString("008"); }},
        {"close", [](TClientDataSet &d) { d.Close(); }},
        {"open", [](TClientDataSet &d) { d.Open(); }},
    };
    for (const auto &[name, op] : ops) {
        op(*ds);
        EXPECT_EQ(view.rows(), view.truth()) << name;
        EXPECT_EQ(view.current(), ds->currentRow()) << name;
    }
}

} // namespace
