// The change history from the main screen, against a real server: a row's history after
// edits made in the grid, the ways of opening it, undo from "Operações recentes" with the
// grid and the database read back, and the preview's text.

#include "modulefixture.h"

#include "Pkg_Ger10200/historico/historico.h"
#include "Pkg_Ger10200/shared/preview.h"
#include "clientlib/settings.h"
#include "dataset/clientdataset.h"
#include "vcl/dbgrid.h"

#include <QAction>
#include <QApplication>
#include <QTableWidget>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <array>
#include <functional>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::Shown;
using ger10200::TfrmHistoricoRegistro;
using ger10200::TfrmOperacoes;

const QString kUser = QStringLiteral("Maria Conceição");
// The name the history keeps for it (the test server runs without sign-in).
const QString kRecorded = QString::fromStdString(fiscal::test::recordedAs(kUser.toStdString()));

class HistoricoTest : public OpenScreenTest {
protected:
    void SetUp() override
    {
        // Named in every call from the first connection on.
        clientlib::Settings::instance().setUser(kUser);
        OpenScreenTest::SetUp();
        if (HasFatalFailure())
            return;
        cds = frm->cdsFornecedor;
        grid = frm->dbgPadrao;
    }
    void TearDown() override
    {
        OpenScreenTest::TearDown();
        clientlib::Settings::instance().setUser(QString());
    }

    QString value(int row, const char *field) const
    {
        return cds->valueAt(row, cds->FieldByName(QString::fromLatin1(field))->Index()).value_or(QString());
    }
    std::string dbGroup(const QString &supplier) const
    {
        return db->scalar("SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = $1", {supplier.toStdString()})
            .value_or("");
    }
    QString groupCell(const char *code) const
    {
        return QString::fromLatin1(code) + QStringLiteral(" - ")
            + QString::fromStdString(
                   db->scalar("SELECT DSGRUPOFISC FROM GRUPOFISCAL WHERE CDGRUPOFISC = $1", {code}).value_or(""));
    }
    // A supplier row with a group other than 001 and 002, and not the last row.
    int plainRow() const
    {
        for (int r = 0; r + 1 < cds->rowCount(); ++r)
            if (const QString g = value(r, "CDGRUPOFISC"); !g.isEmpty() && g != QLatin1String("001") && g != QLatin1String("002"))
                return r;
        return -1;
    }
    // Types a group into the row's cell and leaves it, which saves the row.
    void edit(int row, const char *digit)
    {
        focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
        typeKeys(QString::fromLatin1(digit));
        pressKey(Qt::Key_Tab);
        ASSERT_EQ(cds->ChangeCount(), 0);
        ASSERT_EQ(dbGroup(value(row, "CDFORNECED")), std::string("00") + digit);
    }
    // The main screen active again, as when a dialog goes away.
    void backToScreen()
    {
        frm->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(frm));
    }
    // A click on the row, as a person picks an operation.
    static void clickRow(QTableWidget *t, int row)
    {
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, t->visualRect(t->model()->index(row, 0)).center());
        QApplication::processEvents();
    }
    static QStringList rowTexts(const QTableWidget *t, int row)
    {
        QStringList out;
        for (int c = 0; c < t->columnCount(); ++c)
            out << (t->item(row, c) ? t->item(row, c)->text() : QString());
        return out;
    }

    // What "Histórico do registro" showed once loaded, opened by `open` on the row.
    struct History {
        QString caption;
        QList<QStringList> rows;
        bool saysNone = false;   // the line over the empty table
    };
    History historyOf(int row, const std::function<void()> &open)
    {
        focusCell(grid, row, QStringLiteral("NOME"));
        History shown;
        script->push(Answer::dialog([&](QDialog &d) {
            auto *h = qobject_cast<TfrmHistoricoRegistro *>(&d);
            ASSERT_TRUE(h);
            ASSERT_TRUE(waitFor([h] { return h->isLoaded(); }));
            shown.caption = h->lblRegistro->text();
            shown.saysNone = h->lblNenhuma->isVisibleTo(h);
            for (int r = 0; r < h->tblHistorico->rowCount(); ++r)
                shown.rows << rowTexts(h->tblHistorico, r);
        }));
        open();
        QApplication::processEvents();
        backToScreen();
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        script->clear();
        return shown;
    }

    dataset::TClientDataSet *cds = nullptr;
    vcl::TDBGrid *grid = nullptr;
};

// Each way of asking shows both edits of the row, newest first, with who made them and the
// groups before and after with their descriptions.
TEST_F(HistoricoTest, TwoEditsOfARowShowInItsHistoryHoweverItIsOpened)
{
    const int row = plainRow();
    ASSERT_GE(row, 0);
    const QString supplier = value(row, "CDFORNECED");
    const QString original = value(row, "CDGRUPOFISC");
    const QString originalCell = groupCell(original.toLatin1().constData());
    // Nothing recorded yet: the window says so over an empty table, not as a row that
    // printing and export would take for one.
    const History before = historyOf(row, [&] { triggerMenu(frm->mnuHistorico); });
    EXPECT_TRUE(before.rows.isEmpty());
    EXPECT_TRUE(before.saysNone);

    edit(row, "1");
    edit(row, "2");
    ASSERT_EQ(dbGroup(supplier), "002");

    struct Way {
        const char *name;
        std::function<void()> open;
    };
    const Way ways[] = {
        {"menu entry", [&] { triggerMenu(frm->mnuHistorico); }},
        {"Ctrl+H in the grid", [&] {
             focusCell(grid, row, QStringLiteral("NOME"));
             pressKey(Qt::Key_H, Qt::ControlModifier);
         }},
        {"the grid's context menu", [&] {
             ASSERT_TRUE(grid->actions().contains(frm->mnuHistorico));
             EXPECT_EQ(grid->contextMenuPolicy(), Qt::ActionsContextMenu);
             grid->actions().at(grid->actions().indexOf(frm->mnuHistorico))->trigger();
         }},
    };
    for (const Way &way : ways) {
        SCOPED_TRACE(way.name);
        const History h = historyOf(row, way.open);
        EXPECT_TRUE(h.caption.startsWith(QStringLiteral("Fornecedor ") + supplier)) << h.caption.toStdString();
        ASSERT_EQ(h.rows.size(), 2);
        EXPECT_FALSE(h.saysNone);
        // Data e hora, Usuário, Operação, Ação, Grupo anterior, Grupo novo, Situação
        for (const QStringList &r : h.rows) {
            EXPECT_EQ(r.at(1), kRecorded);
            EXPECT_TRUE(r.at(2).endsWith(QStringLiteral("Gravação na grade de fornecedores"))) << r.at(2).toStdString();
            EXPECT_EQ(r.at(3), QStringLiteral("Alterado"));
            EXPECT_EQ(r.at(6), QString());
        }
        EXPECT_EQ(h.rows.at(0).mid(4, 2), (QStringList{groupCell("001"), groupCell("002")}));
        EXPECT_EQ(h.rows.at(1).mid(4, 2), (QStringList{originalCell, groupCell("001")}));
    }

    // The older edit undone by an undo that left this supplier as it was (changed since):
    // that undo undid nothing here, and the row does not say it did.
    const std::string older = *db->scalar("SELECT MIN(IDOPERACAO) FROM HISTOPERACAO");
    const std::string undo = *db->scalar(
        "INSERT INTO HISTOPERACAO (DTOPERACAO, NMUSUARIO, NMMETODO, DSARGUMENTOS, QTALTERADOS, QTINCLUIDOS, QTEXCLUIDOS)"
        " VALUES ($1, 'ana', 'DesfazOperacao', $2, 0, 0, 0) RETURNING IDOPERACAO",
        {QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString(), "[" + older + "]"});
    db->exec("UPDATE HISTOPERACAO SET IDDESFEITAPOR = " + undo + " WHERE IDOPERACAO = " + older);
    const History after = historyOf(row, [&] { triggerMenu(frm->mnuHistorico); });
    ASSERT_EQ(after.rows.size(), 2);
    EXPECT_EQ(after.rows.at(1).at(6), QString());
}

// Undo from "Operações recentes": the newest edit goes back, in the grid and the database;
// an older edit whose row was changed since is left alone and reported as such.
TEST_F(HistoricoTest, UndoFromRecentOperationsPutsTheGridAndTheDatabaseBack)
{
    struct Case {
        const char *name;
        int fromTop;             // 0: the newest operation
        const char *groupAfter;  // what the row holds after the undo
        bool restored;
    };
    const Case cases[] = {
        {"the newest edit", 0, "001", true},
        {"an edit changed since", 1, "002", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int row = plainRow();
        ASSERT_GE(row, 0);
        const QString supplier = value(row, "CDFORNECED");
        edit(row, "1");
        edit(row, "2");
        script->clear();
        clearCalls();
        QSignalSpy cache(frm, SIGNAL(localCacheRefreshed(QString)));

        QString id;
        bool undoneShown = false;
        bool undoDisabledThen = false;
        script->push(Answer::dialog([&](QDialog &d) {
            auto *o = qobject_cast<TfrmOperacoes *>(&d);
            ASSERT_TRUE(o);
            ASSERT_TRUE(waitFor([o] { return o->isLoaded(); }));
            ASSERT_GT(o->tblOperacoes->rowCount(), c.fromTop);
            clickRow(o->tblOperacoes, c.fromTop);
            const QStringList chosen = rowTexts(o->tblOperacoes, c.fromTop);
            id = chosen.at(0);
            EXPECT_EQ(chosen.mid(2, 2), (QStringList{kRecorded, QStringLiteral("127.0.0.1")}));
            EXPECT_EQ(chosen.at(4), QStringLiteral("Gravação na grade de fornecedores"));
            EXPECT_EQ(chosen.at(5), QStringLiteral("1 linha enviada"));
            EXPECT_EQ(chosen.mid(6, 3), (QStringList{QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("0")}));
            ASSERT_TRUE(o->sbtDesfazer->isEnabled());
            if (c.restored)
                script->push(Answer::yes());   // nothing to restore: no question
            clickButton(o->sbtDesfazer);
            // Read again: the undo on top, the operation marked as undone and no more undoable.
            ASSERT_TRUE(waitFor([o] { return o->isLoaded(); }));
            if (c.restored) {
                EXPECT_EQ(rowTexts(o->tblOperacoes, 0).at(4), QStringLiteral("Desfazer operação"));
                const int undone = c.fromTop + 1;
                undoneShown = rowTexts(o->tblOperacoes, undone).at(9).startsWith(QStringLiteral("Desfeita pela operação"));
                clickRow(o->tblOperacoes, undone);
                undoDisabledThen = !o->sbtDesfazer->isEnabled();
            }
        }));
        triggerMenu(frm->mnuOperacoes);
        backToScreen();
        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();

        const QStringList messages = script->messages();
        if (c.restored) {
            ASSERT_EQ(messages.size(), 2);
            EXPECT_TRUE(messages.at(0).startsWith(QStringLiteral("Desfazer a operação %1, feita por %2 em ").arg(id, kRecorded)))
                << messages.at(0).toStdString();
            EXPECT_TRUE(messages.at(0).endsWith(QStringLiteral(" — Gravação na grade de fornecedores de 1 fornecedor?\n\n"
                                                               "O registro volta a ser como era antes dela.")))
                << messages.at(0).toStdString();
            EXPECT_EQ(messages.at(1), QStringLiteral("Operação %1 desfeita: 1 registro restaurado.").arg(id));
            EXPECT_TRUE(undoneShown);
            EXPECT_TRUE(undoDisabledThen);
            // The host's local cache of suppliers is read again on its next use.
            ASSERT_EQ(cache.size(), 1);
            EXPECT_EQ(cache.at(0).at(0).toString(), QStringLiteral("FORNECEDOR"));
        } else {
            EXPECT_EQ(messages, QStringList{QStringLiteral("Nada a desfazer na operação %1: o registro dela fica como está "
                                                           "(1 alterado por uma operação posterior).").arg(id)});
            EXPECT_TRUE(callsOf(QStringLiteral("DesfazOperacao")).isEmpty());
        }
        EXPECT_EQ(dbGroup(supplier), c.groupAfter);
        const int shownRow = rowOf(grid, QStringLiteral("CDFORNECED"), supplier);
        ASSERT_GE(shownRow, 0);
        EXPECT_EQ(value(shownRow, "CDGRUPOFISC"), QString::fromLatin1(c.groupAfter));
        EXPECT_TRUE(databaseShows(cds, QStringLiteral("CDFORNECED"), "SELECT CDFORNECED, CDGRUPOFISC FROM FORNECEDOR"));
        script->clear();
    }
}

// An edit under way would be lost by the reload after an undo: the list does not open.
TEST_F(HistoricoTest, RecentOperationsWaitForAnEditUnderWay)
{
    const int row = plainRow();
    ASSERT_GE(row, 0);
    focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("1"));
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    triggerMenu(frm->mnuOperacoes);
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("Grave ou cancele a alteração em andamento antes de abrir "
                                                             "as operações recentes.")});
    for (const Shown &s : script->shown())
        EXPECT_NE(s.kind, Shown::Dialog);
    EXPECT_EQ(cds->State(), dataset::dsEdit);
}

dataset::DataPacket counts(const QList<std::array<const char *, 4>> &rows)
{
    dataset::DataPacket p;
    for (const char *f : {"NMTABELA", "QTALTERADOS", "QTINCLUIDOS", "QTEXCLUIDOS"})
        p.fields.push_back({QString::fromLatin1(f), 20});
    for (const auto &r : rows)
        p.rows.append(dataset::Row{QString::fromLatin1(r[0]), QString::fromLatin1(r[1]), QString::fromLatin1(r[2]),
                                   QString::fromLatin1(r[3])});
    return p;
}

// Number and gender agree with what is counted; counts are Brazilian; tables without
// anything to do are not named.
TEST(PreviewText, SaysWhatEachTableWouldGetInPortuguese)
{
    struct Case {
        QList<std::array<const char *, 4>> rows;
        QString text;
    };
    const Case cases[] = {
        {{{"CLIENTE", "1234", "0", "0"}, {"FORNECEDOR", "56", "0", "0"}},
         QStringLiteral("Serão alterados 1.234 clientes e 56 fornecedores.")},
        {{{"FILIAL", "1", "0", "0"}}, QStringLiteral("Será alterada 1 filial.")},
        {{{"FILIAL", "3", "0", "0"}, {"CLIENTE", "2", "0", "0"}},
         QStringLiteral("Serão alterados 3 filiais e 2 clientes.")},
        {{{"GRFISIMPIECLIE", "0", "2", "1"}, {"GRFISIMPIEFORN", "0", "0", "0"}},
         QStringLiteral("Serão incluídos 2 parâmetros de clientes por inscrição estadual. Será excluído 1 parâmetro de "
                        "cliente por inscrição estadual.")},
        {{{"CLIENTE", "0", "0", "0"}}, QStringLiteral("Nenhum registro será alterado.")},
        {{}, QStringLiteral("Nenhum registro será alterado.")},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ger10200::previewText(counts(c.rows)), c.text);
}

} // namespace
} // namespace fiscal::test
