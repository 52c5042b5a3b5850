// TClientDataSet: states, events and their veto, cursor, fields.

#include "dataset/abort.h"
#include "dataset/clientdataset.h"
#include "dataset/databaseerror.h"
#include "helpers.h"

#include <QSignalSpy>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace fiscal::dataset;
using namespace fiscal::dataset::test;

namespace {

const QStringList kThree = {"001|Alfa", "002|Beta", "003|Gama"};

// Records every event in order.
struct EventLog {
    QStringList log;
    void attach(TClientDataSet &ds)
    {
        auto rec = [this](const char *name) {
            return [this, name](TClientDataSet &d) {
                log << QStringLiteral("%1@%2").arg(QLatin1String(name)).arg(d.RecNo());
            };
        };
        ds.BeforeInsert = rec("BeforeInsert");
        ds.AfterInsert = rec("AfterInsert");
        ds.BeforeEdit = rec("BeforeEdit");
        ds.AfterEdit = rec("AfterEdit");
        ds.BeforePost = rec("BeforePost");
        ds.AfterPost = rec("AfterPost");
        ds.BeforeCancel = rec("BeforeCancel");
        ds.AfterCancel = rec("AfterCancel");
        ds.BeforeDelete = rec("BeforeDelete");
        ds.AfterDelete = rec("AfterDelete");
        ds.BeforeScroll = rec("BeforeScroll");
        ds.AfterScroll = rec("AfterScroll");
        ds.OnNewRecord = rec("OnNewRecord");
    }
};

TEST(ClientDataSet, StateTransitions)
{
    using Op = std::function<void(TClientDataSet &)>;
    struct Case { const char *name; Op op; TDataSetState state; int count; int recNo; };
    const Case cases[] = {
        {"loaded", [](TClientDataSet &) {}, dsBrowse, 3, 1},
        {"edit", [](TClientDataSet &d) { d.Edit(); }, dsEdit, 3, 1},
        {"edit twice", [](TClientDataSet &d) { d.Edit(); d.Edit(); }, dsEdit, 3, 1},
        {"edit post", [](TClientDataSet &d) { d.Edit(); d.Post(); }, dsBrowse, 3, 1},
        {"edit cancel", [](TClientDataSet &d) { d.Edit(); d.Cancel(); }, dsBrowse, 3, 1},
        {"insert", [](TClientDataSet &d) { d.Next(); d.Insert(); }, dsInsert, 4, 2},
        {"insert cancel", [](TClientDataSet &d) { d.Next(); d.Insert(); d.Cancel(); }, dsBrowse, 3, 2},
        {"append", [](TClientDataSet &d) { d.Append(); }, dsInsert, 4, 4},
        {"append cancel", [](TClientDataSet &d) { d.Append(); d.Cancel(); }, dsBrowse, 3, 3},
        {"append post",
         [](TClientDataSet &d) { d.Append(); d.Fields(0)->setAsString("9"); d.Post(); }, dsBrowse, 4, 4},
        {"delete", [](TClientDataSet &d) { d.Delete(); }, dsBrowse, 2, 1},
        {"delete last", [](TClientDataSet &d) { d.Last(); d.Delete(); }, dsBrowse, 2, 2},
        {"delete while editing", [](TClientDataSet &d) { d.Edit(); d.Delete(); }, dsBrowse, 2, 1},
        {"delete while inserting cancels", [](TClientDataSet &d) { d.Insert(); d.Delete(); }, dsBrowse, 3, 1},
        {"close", [](TClientDataSet &d) { d.Close(); }, dsInactive, 0, 0},
        {"close open", [](TClientDataSet &d) { d.Close(); d.Open(); }, dsBrowse, 0, 0},
        {"close while editing", [](TClientDataSet &d) { d.Edit(); d.Close(); }, dsInactive, 0, 0},
        {"post in browse does nothing", [](TClientDataSet &d) { d.Post(); d.Cancel(); }, dsBrowse, 3, 1},
    };
    for (const Case &c : cases) {
        auto ds = groups(kThree);
        c.op(*ds);
        EXPECT_EQ(ds->State(), c.state) << c.name;
        EXPECT_EQ(ds->RecordCount(), c.count) << c.name;
        EXPECT_EQ(ds->RecNo(), c.recNo) << c.name;
    }
}

TEST(ClientDataSet, EditOnEmptySetStartsInsert)
{
    auto ds = groups({});
    EventLog ev;
    ev.attach(*ds);
    ds->Edit();
    EXPECT_EQ(ds->State(), dsInsert);
    EXPECT_EQ(ds->RecordCount(), 1);
    ds->FieldByName("CDGRUPOFISC")->setAsString("001");
    ds->Post();
    EXPECT_EQ(rowsOf(*ds), QStringList{"001|~"});
    EXPECT_FALSE(ev.log.contains(QStringLiteral("BeforeEdit@1")));
    EXPECT_TRUE(ev.log.contains(QStringLiteral("BeforeInsert@0")));
}

TEST(ClientDataSet, EventOrder)
{
    using Op = std::function<void(TClientDataSet &)>;
    struct Case { const char *name; Op op; QStringList events; };
    const Case cases[] = {
        {"edit post",
         [](TClientDataSet &d) { d.Edit(); d.Fields(1)->setAsString("x"); d.Post(); },
         {"BeforeEdit@1", "AfterEdit@1", "BeforePost@1", "AfterPost@1"}},
        {"edit cancel", [](TClientDataSet &d) { d.Edit(); d.Cancel(); },
         {"BeforeEdit@1", "AfterEdit@1", "BeforeCancel@1", "AfterCancel@1"}},
        {"insert", [](TClientDataSet &d) { d.Next(); d.Insert(); },
         {"BeforeScroll@1", "AfterScroll@2", "BeforeInsert@2", "BeforeScroll@2", "OnNewRecord@2",
          "AfterInsert@2", "AfterScroll@2"}},
        {"delete", [](TClientDataSet &d) { d.Delete(); },
         {"BeforeDelete@1", "BeforeScroll@1", "AfterDelete@1", "AfterScroll@1"}},
        // Moving off a modified row posts it first.
        {"next while modified",
         [](TClientDataSet &d) { d.Edit(); d.Fields(1)->setAsString("x"); d.Next(); },
         {"BeforeEdit@1", "AfterEdit@1", "BeforePost@1", "AfterPost@1", "BeforeScroll@1", "AfterScroll@2"}},
        // ... and cancels it when nothing was changed.
        {"next while unmodified", [](TClientDataSet &d) { d.Edit(); d.Next(); },
         {"BeforeEdit@1", "AfterEdit@1", "BeforeCancel@1", "AfterCancel@1", "BeforeScroll@1", "AfterScroll@2"}},
        {"first at first row still scrolls", [](TClientDataSet &d) { d.First(); },
         {"BeforeScroll@1", "AfterScroll@1"}},
        {"next at last row does not scroll", [](TClientDataSet &d) { d.Last(); d.Next(); },
         {"BeforeScroll@1", "AfterScroll@3", "BeforeScroll@3"}},
    };
    for (const Case &c : cases) {
        auto ds = groups(kThree);
        EventLog ev;
        ev.attach(*ds);
        c.op(*ds);
        EXPECT_EQ(ev.log, c.events) << c.name;
    }
}

// An exception from a Before* handler cancels the operation and leaves everything as it was.
TEST(ClientDataSet, BeforeHandlersVeto)
{
    using Op = std::function<void(TClientDataSet &)>;
    using Setup = std::function<void(TClientDataSet &)>;
    struct Case {
        const char *name;
        Setup setup;      // installs the throwing handler and reaches the starting state
        Op op;
        TDataSetState state;
        int recNo;
        QStringList rows;
        QString current;  // DSGRUPOFISC as the current record shows it
    };
    const QStringList loaded = {"001|Alfa", "002|Beta", "003|Gama"};
    const Case cases[] = {
        {"abort in BeforeInsert",
         [](TClientDataSet &d) { d.Next(); d.BeforeInsert = [](TClientDataSet &) { Abort(); }; },
         [](TClientDataSet &d) { d.Insert(); }, dsBrowse, 2, loaded, "Beta"},
        {"abort in BeforeInsert on append",
         [](TClientDataSet &d) { d.Next(); d.BeforeInsert = [](TClientDataSet &) { Abort(); }; },
         [](TClientDataSet &d) { d.Append(); }, dsBrowse, 2, loaded, "Beta"},
        {"throw in OnNewRecord",
         [](TClientDataSet &d) { d.Next(); d.OnNewRecord = [](TClientDataSet &) { Abort(); }; },
         [](TClientDataSet &d) { d.Insert(); }, dsBrowse, 2, loaded, "Beta"},
        {"throw in BeforeEdit",
         [](TClientDataSet &d) { d.BeforeEdit = [](TClientDataSet &) { throw std::runtime_error("no"); }; },
         [](TClientDataSet &d) { d.Edit(); }, dsBrowse, 1, loaded, "Alfa"},
        {"throw in BeforePost keeps the typed value",
         [](TClientDataSet &d) {
             d.BeforePost = [](TClientDataSet &) { throw std::runtime_error("no"); };
             d.Edit();
             d.Fields(1)->setAsString("Novo");
         },
         [](TClientDataSet &d) { d.Post(); }, dsEdit, 1, loaded, "Novo"},
        {"throw in BeforePost stops a move",
         [](TClientDataSet &d) {
             d.BeforePost = [](TClientDataSet &) { throw std::runtime_error("no"); };
             d.Edit();
             d.Fields(1)->setAsString("Novo");
         },
         [](TClientDataSet &d) { d.Next(); }, dsEdit, 1, loaded, "Novo"},
        {"throw in BeforeCancel",
         [](TClientDataSet &d) {
             d.BeforeCancel = [](TClientDataSet &) { throw std::runtime_error("no"); };
             d.Edit();
             d.Fields(1)->setAsString("Novo");
         },
         [](TClientDataSet &d) { d.Cancel(); }, dsEdit, 1, loaded, "Novo"},
        {"throw in BeforeDelete",
         [](TClientDataSet &d) { d.Last(); d.BeforeDelete = [](TClientDataSet &) { Abort(); }; },
         [](TClientDataSet &d) { d.Delete(); }, dsBrowse, 3, loaded, "Gama"},
        {"throw in BeforeDelete while editing",
         [](TClientDataSet &d) {
             d.BeforeDelete = [](TClientDataSet &) { Abort(); };
             d.Edit();
             d.Fields(1)->setAsString("Novo");
         },
         [](TClientDataSet &d) { d.Delete(); }, dsEdit, 1, loaded, "Novo"},
        {"throw in BeforeScroll",
         [](TClientDataSet &d) { d.BeforeScroll = [](TClientDataSet &) { Abort(); }; },
         [](TClientDataSet &d) { d.Last(); }, dsBrowse, 1, loaded, "Alfa"},
    };
    for (const Case &c : cases) {
        auto ds = groups(kThree);
        c.setup(*ds);
        const int changes = ds->ChangeCount();
        EXPECT_ANY_THROW(c.op(*ds)) << c.name;
        EXPECT_EQ(ds->State(), c.state) << c.name;
        EXPECT_EQ(ds->RecNo(), c.recNo) << c.name;
        EXPECT_EQ(rowsOf(*ds), c.rows) << c.name;
        EXPECT_EQ(ds->FieldByName("DSGRUPOFISC")->AsString(), c.current) << c.name;
        EXPECT_EQ(ds->ChangeCount(), changes) << c.name;
    }
}

// An exception from an After* handler comes out after the operation took effect.
TEST(ClientDataSet, AfterHandlersThrowAfterTheFact)
{
    auto ds = groups(kThree);
    ds->AfterPost = [](TClientDataSet &) { throw std::runtime_error("server down"); };
    ds->Edit();
    ds->Fields(1)->setAsString("Novo");
    EXPECT_THROW(ds->Post(), std::runtime_error);
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->ChangeCount(), 1);
    EXPECT_EQ(rowsOf(*ds).first(), QStringLiteral("001|Novo"));

    ds->AfterDelete = [](TClientDataSet &) { throw std::runtime_error("server down"); };
    EXPECT_THROW(ds->Delete(), std::runtime_error);
    EXPECT_EQ(ds->RecordCount(), 2);
    EXPECT_EQ(ds->ChangeCount(), 1);   // the update became a delete of the row as loaded
    EXPECT_EQ(describe(ds->Delta()), QStringList{"delete old=001|Alfa"});
}

TEST(ClientDataSet, FieldWritesNeedEditState)
{
    auto ds = groups(kThree);
    TField *code = ds->FieldByName("cdgrupofisc");   // names match without regard to case
    EXPECT_THROW(code->setAsString("9"), EDatabaseError);
    EXPECT_THROW(code->Clear(), EDatabaseError);
    EXPECT_EQ(code->AsString(), QStringLiteral("001"));

    ds->Edit();
    // Kept to the field's size, in characters: an emoji counts one and is never split.
    const struct { const char *written, *kept; } fits[] = {
        {"12345", "123"}, {"a\U0001F600b", "a\U0001F600b"}, {"ab\U0001F600", "ab\U0001F600"},
        {"abc\U0001F600", "abc"}, {"\U0001F600\U0001F600\U0001F600\U0001F600", "\U0001F600\U0001F600\U0001F600"},
    };
    for (const auto &f : fits) {
        code->setAsString(QString::fromUtf8(f.written));
        EXPECT_EQ(code->AsString(), QString::fromUtf8(f.kept)) << f.written;
    }
    code->Clear();
    EXPECT_TRUE(code->IsNull());
    EXPECT_EQ(code->AsString(), QString());
    code->setAsString(QString(""));
    EXPECT_FALSE(code->IsNull());
    code->setReadOnly(true);
    EXPECT_THROW(code->setAsString("7"), EDatabaseError);
    EXPECT_EQ(code->OldValue(), QStringLiteral("001"));

    EXPECT_THROW(ds->FieldByName("NOPE"), EDatabaseError);
    EXPECT_EQ(ds->FindField("NOPE"), nullptr);
    ds->Close();
    EXPECT_THROW(code->AsString(), EDatabaseError);
    EXPECT_THROW(ds->Edit(), EDatabaseError);
    EXPECT_THROW(ds->First(), EDatabaseError);
}

TEST(ClientDataSet, RequiredFieldIsCheckedOnPost)
{
    auto ds = groups({});
    ds->FieldByName("CDGRUPOFISC")->setRequired(true);
    ds->Append();
    ds->FieldByName("DSGRUPOFISC")->setAsString("Sem código");
    EXPECT_THROW(ds->Post(), EDatabaseError);
    EXPECT_EQ(ds->State(), dsInsert);
    ds->FieldByName("CDGRUPOFISC")->setAsString("001");
    ds->Post();
    EXPECT_EQ(rowsOf(*ds), QStringList{"001|Sem código"});
}

TEST(ClientDataSet, Navigation)
{
    auto ds = groups(kThree);
    QStringList seen;
    for (ds->First(); !ds->Eof(); ds->Next())
        seen << ds->Fields(0)->AsString();
    EXPECT_EQ(seen, (QStringList{"001", "002", "003"}));
    EXPECT_EQ(ds->RecNo(), 3);

    seen.clear();
    for (ds->Last(); !ds->Bof(); ds->Prior())
        seen << ds->Fields(0)->AsString();
    EXPECT_EQ(seen, (QStringList{"003", "002", "001"}));

    struct Move { int from; int by; int moved; int to; bool bof; bool eof; };
    const Move moves[] = {
        {1, 1, 1, 2, false, false}, {1, 5, 2, 3, false, true}, {3, -5, -2, 1, true, false},
        {2, 0, 0, 2, false, false}, {2, -1, -1, 1, false, false},
    };
    for (const Move &m : moves) {
        ds->setRecNo(m.from);
        EXPECT_EQ(ds->MoveBy(m.by), m.moved) << m.from << "+" << m.by;
        EXPECT_EQ(ds->RecNo(), m.to);
        if (m.by != 0) {
            EXPECT_EQ(ds->Bof(), m.bof) << m.from << "+" << m.by;
            EXPECT_EQ(ds->Eof(), m.eof) << m.from << "+" << m.by;
        }
    }

    auto empty = groups({});
    empty->First();
    EXPECT_TRUE(empty->Bof() && empty->Eof());
    EXPECT_EQ(empty->RecNo(), 0);
    EXPECT_TRUE(empty->IsEmpty());
    EXPECT_THROW(empty->Delete(), EDatabaseError);
}

TEST(ClientDataSet, NavigationPostsOrCancels)
{
    auto ds = groups(kThree);
    ds->Edit();
    ds->Fields(1)->setAsString("Alfa 2");
    ds->Next();
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->RecNo(), 2);
    EXPECT_EQ(rowsOf(*ds).first(), QStringLiteral("001|Alfa 2"));

    // An untouched new row disappears when the user moves away from it.
    ds->Last();
    ds->Append();
    ds->First();
    EXPECT_EQ(ds->RecordCount(), 3);
    EXPECT_EQ(ds->RecNo(), 1);

    // Values set by OnNewRecord alone do not make the row modified.
    ds->OnNewRecord = [](TClientDataSet &d) { d.Fields(1)->setAsString("padrão"); };
    ds->Append();
    EXPECT_EQ(ds->Fields(1)->AsString(), QStringLiteral("padrão"));
    ds->Prior();
    EXPECT_EQ(ds->RecordCount(), 3);
    EXPECT_EQ(ds->ChangeCount(), 1);
}

TEST(ClientDataSet, Locate)
{
    auto ds = groups({"001|Alfa", "002|beta", "003|~", "004|Beta"});
    struct Case { const char *field; const char *value; bool ci; bool found; int recNo; };
    const Case cases[] = {
        {"DSGRUPOFISC", "Beta", false, true, 4},
        {"DSGRUPOFISC", "BETA", true, true, 2},
        {"DSGRUPOFISC", "BETA", false, false, 1},
        {"DSGRUPOFISC", "Bet", true, false, 1},     // the whole value
        {"DSGRUPOFISC", "", false, true, 3},        // null reads as the empty text
        {"cdgrupofisc", "004", false, true, 4},
    };
    for (const Case &c : cases) {
        ds->First();
        EXPECT_EQ(ds->Locate(c.field, c.value, c.ci), c.found) << c.value;
        EXPECT_EQ(ds->RecNo(), c.recNo) << c.value;
    }
    EXPECT_THROW(ds->Locate("NOPE", "x"), EDatabaseError);

    // Locating while editing posts first.
    ds->First();
    ds->Edit();
    ds->Fields(1)->setAsString("Zeta");
    EXPECT_TRUE(ds->Locate("DSGRUPOFISC", "zeta", true));
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->RecNo(), 1);
}

TEST(ClientDataSet, PredefinedFieldsMapByName)
{
    DataPacket p;
    p.fields = {FieldDef{"EXTRA", 5}, FieldDef{"dsgrupofisc", 30}, FieldDef{"CDGRUPOFISC", 3}};
    p.rows = {row("x|Alfa|001"), row("y|~|002")};
    auto ds = groups({"009|Antigo"});
    ds->setData(p);
    EXPECT_EQ(rowsOf(*ds), (QStringList{"001|Alfa", "002|~"}));
    EXPECT_EQ(ds->FieldCount(), 2);
    EXPECT_EQ(ds->Data().fields, groupFields());

    // A packet without one of the fields is refused and nothing is lost.
    DataPacket missing;
    missing.fields = {FieldDef{"CDGRUPOFISC", 3}};
    missing.rows = {row("005")};
    ds->Edit();
    ds->Fields(1)->setAsString("Editado");
    try {
        ds->setData(missing);
        ADD_FAILURE() << "accepted a packet without DSGRUPOFISC";
    } catch (const EDatabaseError &e) {
        EXPECT_TRUE(e.message().contains("DSGRUPOFISC")) << e.what();
    }
    EXPECT_EQ(ds->State(), dsEdit);
    EXPECT_EQ(ds->Fields(1)->AsString(), QStringLiteral("Editado"));
    EXPECT_EQ(ds->RecordCount(), 2);
}

TEST(ClientDataSet, FieldsFromPacketWhenNoneDefined)
{
    TClientDataSet ds;
    EXPECT_THROW(ds.Open(), EDatabaseError);
    DataPacket p;
    p.fields = {FieldDef{"CDPARGERAL", 4}, FieldDef{"DSPARGERFIS", 3, "string", true}};
    p.rows = {row("0001|010")};
    ds.setData(p);
    ASSERT_EQ(ds.FieldCount(), 2);
    EXPECT_EQ(ds.Fields(1)->FieldName(), QStringLiteral("DSPARGERFIS"));
    EXPECT_EQ(ds.Fields(1)->Size(), 3);
    EXPECT_TRUE(ds.Fields(1)->Required());
    EXPECT_EQ(ds.FieldByName("DSPARGERFIS")->AsString(), QStringLiteral("010"));
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(ds.RecNo(), 1);

    // A malformed packet is refused before anything changes.
    DataPacket bad = p;
    bad.rows.append(row("0002"));
    EXPECT_THROW(ds.setData(bad), EDatabaseError);
    EXPECT_EQ(ds.RecordCount(), 1);
}

TEST(ClientDataSet, GetTextRunsForAnyRow)
{
    auto ds = groups(kThree);
    TField *code = ds->FieldByName("CDGRUPOFISC");
    code->OnGetText = [](TField &sender, QString &text, bool displayText) {
        // Reads another field of the same record, as display handlers do.
        const QString desc = sender.DataSet()->FieldByName("DSGRUPOFISC")->AsString();
        text = displayText ? text + " - " + desc : text;
    };
    EXPECT_EQ(code->DisplayText(), QStringLiteral("001 - Alfa"));
    EXPECT_EQ(code->Text(), QStringLiteral("001"));
    EXPECT_EQ(ds->textAt(2, 0), QStringLiteral("003 - Gama"));
    EXPECT_EQ(ds->textAt(1, 0, false), QStringLiteral("002"));
    EXPECT_EQ(ds->RecNo(), 1);
    EXPECT_EQ(code->DisplayText(), QStringLiteral("001 - Alfa"));

    // The row being edited shows its edit buffer.
    ds->Edit();
    ds->Fields(1)->setAsString("Nova");
    EXPECT_EQ(ds->textAt(0, 0), QStringLiteral("001 - Nova"));
    EXPECT_EQ(ds->valueAt(0, 1), QStringLiteral("Nova"));
    EXPECT_EQ(ds->valueAt(1, 1), QStringLiteral("Beta"));
    EXPECT_EQ(ds->valueAt(9, 1), std::nullopt);
}

TEST(ClientDataSet, FocusControlAndFieldChangeSignals)
{
    auto ds = groups(kThree);
    QSignalSpy focus(ds.get(), &TClientDataSet::fieldFocusRequested);
    QSignalSpy props(ds.get(), &TClientDataSet::fieldChanged);
    TField *code = ds->FieldByName("CDGRUPOFISC");
    code->FocusControl();
    ASSERT_EQ(focus.count(), 1);
    EXPECT_EQ(focus.at(0).at(0).value<TField *>(), code);
    code->setVisible(false);
    code->setVisible(false);
    code->setDisplayLabel("Grupo Fiscal");
    EXPECT_EQ(props.count(), 2);
    EXPECT_EQ(code->DisplayLabel(), QStringLiteral("Grupo Fiscal"));
    EXPECT_EQ(ds->FieldByName("DSGRUPOFISC")->DisplayLabel(), QStringLiteral("Descrição"));

    int changes = 0;
    code->OnChange = [&](TField &) { ++changes; };
    ds->Edit();
    code->setAsString("001");   // same value: no change
    code->setAsString("002");
    EXPECT_EQ(changes, 1);
    EXPECT_THROW(ds->addField("X", 1), EDatabaseError);
}

} // namespace
