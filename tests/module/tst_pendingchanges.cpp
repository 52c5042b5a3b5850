// A change the server refused stays in the grid's change log; a reload the user did not ask
// for (after an undo, after the dialogs) first has it saved, discarded or kept, as the user
// answers, and never drops it without a word.

#include "modulefixture.h"

#include "Pkg_Ger10200/historico/historico.h"
#include "dataset/clientdataset.h"
#include "vcl/dbcontrols.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QMdiSubWindow>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

namespace fiscal::test {
namespace {

using clientlib::Answer;
using clientlib::Shown;
using dataset::TClientDataSet;

const QString kQuestion = QStringLiteral("Há alterações não gravadas em Fornecedor. Gravar, descartar ou cancelar?");

class PendingChangesTest : public OpenScreenTest {
protected:
    void SetUp() override
    {
        OpenScreenTest::SetUp();
        if (HasFatalFailure())
            return;
        cds = frm->cdsFornecedor;
        grid = frm->dbgPadrao;
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
    // Suppliers with a group other than 001 and 002, not the last row.
    QList<int> plainRows() const
    {
        QList<int> rows;
        for (int r = 0; r + 1 < cds->rowCount(); ++r)
            if (const QString g = value(r, "CDGRUPOFISC"); !g.isEmpty() && g != QLatin1String("001") && g != QLatin1String("002"))
                rows << r;
        return rows;
    }
    // Types the group into the row's cell and posts it.
    void post(int row, const char *digit)
    {
        grid->scrollTo(grid->model()->index(row, 0));   // a click reaches rows on screen only
        focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
        typeKeys(QString::fromLatin1(digit));
        clickButton(frm->dbnPadrao->Button(vcl::nbPost));
    }
    // Another user moves the row on underneath this screen, so that its save is refused
    // and stays in the change log. Returns what the other user wrote.
    std::string refusedSave(int row)
    {
        const QString supplier = value(row, "CDFORNECED");
        const std::string underneath = value(row, "CDGRUPOFISC") == QLatin1String("005") ? "006" : "005";
        db->exec("UPDATE FORNECEDOR SET CDGRUPOFISC = $1 WHERE CDFORNECED = $2", {underneath, supplier.toStdString()});
        post(row, "2");
        EXPECT_EQ(script->messages().size(), 1) << "the refusal is shown";
        EXPECT_EQ(cds->ChangeCount(), 1);
        EXPECT_EQ(cds->State(), dataset::dsBrowse);
        script->clear();
        return underneath;
    }
    // The main screen active again, as when a dialog goes away.
    void backToScreen()
    {
        frm->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(frm));
    }
    // The pending question as shown, with its buttons.
    ::testing::AssertionResult askedOnce() const
    {
        int asked = 0;
        for (const Shown &s : script->shown())
            if (s.text == kQuestion) {
                ++asked;
                if (s.choices != QStringList{QStringLiteral("Gravar"), QStringLiteral("Descartar"), QStringLiteral("Cancelar")})
                    return ::testing::AssertionFailure() << "buttons " << s.choices.join(',').toStdString();
            }
        if (asked != 1)
            return ::testing::AssertionFailure() << "asked " << asked << " times";
        return ::testing::AssertionSuccess();
    }

    TClientDataSet *cds = nullptr;
    vcl::TDBGrid *grid = nullptr;
};

// On "Imposto/Inscrição Estadual" coming back to an inner tab reloads its grid, and coming
// back to the tab empties both: a change the server refused is asked about as they are left
// (an inner tab, the tab by a click or from the menu); Cancelar stays, Descartar goes.
TEST_F(PendingChangesTest, TheRegistrationGridsAskBeforeARefusedChangeIsLeftBehind)
{
    enterFirstRegistration(frm);
    TClientDataSet *set = frm->cdsFornInsc;
    ASSERT_TRUE(set->Active());
    int row = -1;
    for (int r = 0; r < set->rowCount() && row < 0; ++r) {
        const QString g = set->valueAt(r, set->FieldByName(QStringLiteral("CDGRUPOFISC"))->Index()).value_or(QString());
        if (!g.isEmpty() && g != QLatin1String("002") && g != QLatin1String("005") && g != QLatin1String("006"))
            row = r;
    }
    ASSERT_GE(row, 0);
    const QString supplier = set->valueAt(row, set->FieldByName(QStringLiteral("CDFORNECED"))->Index()).value_or(QString());
    db->exec("UPDATE GRFISIMPIEFORN SET CDGRUPOFISC = '005' WHERE CDIMPOSTO = '01' AND CDEMPRESA = $1 "
             "AND CDINSCESTA = $2 AND CDFORNECED = $3",
             {frm->medCdEmpresa->Text().toStdString(), frm->medInscEsta->Text().toStdString(), supplier.toStdString()});
    focusCell(frm->dbgFornInsc, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("2"));
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));
    ASSERT_EQ(script->messages().size(), 1) << "the refusal is shown";
    ASSERT_EQ(set->ChangeCount(), 1);
    const QString question = QStringLiteral("Há alterações não gravadas em Imposto/Inscrição Estadual (Fornecedor). "
                                            "Gravar, descartar ou cancelar?");
    const struct {
        const char *way;
        std::function<void()> leave;
    } ways[] = {
        {"the inner client tab", [&] { clickTab(frm->pgcCliente, frm->tshCli); }},
        {"another tab", [&] { clickTab(frm->pgcPadrao, frm->tshFilial); }},
        {"another tab from the menu", [&] { triggerMenu(frm->mnuFilial); }},
        {"the tab's own menu entry, which empties it again", [&] { triggerMenu(frm->mnuImpInscEsta); }},
    };
    for (const auto &w : ways) {
        SCOPED_TRACE(w.way);
        script->clear();
        script->push(Answer::choose(QStringLiteral("Cancelar")));
        w.leave();
        EXPECT_EQ(script->messages(), QStringList{question});
        EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshImpInscEsta);
        EXPECT_EQ(frm->pgcCliente->ActivePage(), frm->tshFornecedor);
        EXPECT_EQ(set->ChangeCount(), 1);
        // Kept, also once the grid is clicked again (the leave took the focus away from it).
        focusCell(frm->dbgFornInsc, row, QStringLiteral("CDGRUPOFISC"));
        EXPECT_EQ(set->ChangeCount(), 1);
    }
    // Gravar, refused again, from the menu: the tab stays, and its menu entry stays ticked.
    script->clear();
    script->push(Answer::choose(QStringLiteral("Gravar")));
    triggerMenu(frm->mnuFilial);
    EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshImpInscEsta);
    EXPECT_TRUE(frm->mnuImpInscEsta->isChecked());
    EXPECT_FALSE(frm->mnuFilial->isChecked());
    EXPECT_EQ(set->ChangeCount(), 1);
    script->clear();
    script->push(Answer::choose(QStringLiteral("Descartar")));
    clickTab(frm->pgcCliente, frm->tshCli);
    EXPECT_EQ(frm->pgcCliente->ActivePage(), frm->tshCli);
    EXPECT_EQ(set->ChangeCount(), 0);
}

// The undo of one row's save, while another row holds a change the server refused.
TEST_F(PendingChangesTest, BeforeTheReloadOfAnUndoThePendingChangeIsSavedDiscardedOrKept)
{
    struct Case {
        const char *what;
        const char *answer;
        bool conflictGone;    // the other user's change is taken back before answering
        bool undone;
        bool pendingAfter;
        bool saved;           // the pending row holds what this screen typed
    };
    const Case cases[] = {
        {"cancel: nothing happens", "Cancelar", false, false, true, false},
        {"discard: the change goes, the undo runs", "Descartar", false, true, false, false},
        {"save refused again: the undo does not run", "Gravar", false, false, true, false},
        {"save accepted: then the undo", "Gravar", true, true, false, true},
    };
    const QList<int> rows = plainRows();
    ASSERT_GE(rows.size(), 2 * int(std::size(cases)));
    int next = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const int undoRow = rows.at(next++), pendingRow = rows.at(next++);
        const QString undoSupplier = value(undoRow, "CDFORNECED"), pendingSupplier = value(pendingRow, "CDFORNECED");
        const QString original = value(undoRow, "CDGRUPOFISC"), pendingOriginal = value(pendingRow, "CDGRUPOFISC");
        post(undoRow, "1");
        ASSERT_EQ(dbGroup(undoSupplier), "001");
        const std::string underneath = refusedSave(pendingRow);
        if (c.conflictGone)
            db->exec("UPDATE FORNECEDOR SET CDGRUPOFISC = $1 WHERE CDFORNECED = $2",
                     {pendingOriginal.toStdString(), pendingSupplier.toStdString()});
        clearCalls();

        script->push(Answer::dialog([&](QDialog &d) {
            auto *o = qobject_cast<ger10200::TfrmOperacoes *>(&d);
            ASSERT_TRUE(o);
            ASSERT_TRUE(waitFor([o] { return o->isLoaded(); }));
            o->tblOperacoes->selectRow(0);
            script->push(Answer::yes());
            script->push(Answer::choose(QString::fromLatin1(c.answer)));
            clickButton(o->sbtDesfazer);
        }));
        triggerMenu(frm->mnuOperacoes);
        backToScreen();

        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        EXPECT_TRUE(askedOnce());
        EXPECT_EQ(callsOf(QStringLiteral("DesfazOperacao")).size(), c.undone ? 1 : 0);
        EXPECT_EQ(dbGroup(undoSupplier), c.undone ? original.toStdString() : "001");
        EXPECT_EQ(cds->ChangeCount(), c.pendingAfter ? 1 : 0);
        EXPECT_EQ(dbGroup(pendingSupplier), c.saved ? "002" : c.conflictGone ? pendingOriginal.toStdString() : underneath);
        EXPECT_EQ(value(rowOf(grid, QStringLiteral("CDFORNECED"), pendingSupplier), "CDGRUPOFISC"),
                  c.pendingAfter || c.saved ? QStringLiteral("002") : QString::fromStdString(underneath))
            << "the grid shows the pending change while it is kept, and the database otherwise";
        if (c.pendingAfter) {
            // Leave nothing pending for the next case.
            cds->CancelUpdates();
        }
        script->clear();
    }
}

// The automatic registration reloads the tab when it closes: a pending change is settled
// before the dialog opens, and "Cancelar" keeps the dialog closed.
TEST_F(PendingChangesTest, BeforeADialogWhoseCloseReloadsThePendingChangeIsSettled)
{
    const struct {
        const char *answer;
        bool opened;
    } cases[] = {{"Cancelar", false}, {"Descartar", true}};
    const QList<int> rows = plainRows();
    ASSERT_GE(rows.size(), 2);
    int next = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        const int row = rows.at(next++);
        const QString supplier = value(row, "CDFORNECED");
        const std::string underneath = refusedSave(row);
        ASSERT_TRUE(frm->sbtAutomatico->isEnabled());
        script->push(Answer::choose(QString::fromLatin1(c.answer)));
        if (c.opened)
            script->push(Answer::cancel());
        clickButton(frm->sbtAutomatico);
        backToScreen();

        EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
        EXPECT_TRUE(askedOnce());
        int dialogs = 0;
        for (const Shown &s : script->shown())
            dialogs += s.kind == Shown::Dialog;
        EXPECT_EQ(dialogs, c.opened ? 1 : 0);
        EXPECT_EQ(cds->ChangeCount(), c.opened ? 0 : 1);
        EXPECT_EQ(value(rowOf(grid, QStringLiteral("CDFORNECED"), supplier), "CDGRUPOFISC"),
                  c.opened ? QString::fromStdString(underneath) : QStringLiteral("002"));
        cds->CancelUpdates();
        script->clear();
    }
}

// "Cancelar" of the toolbar cancels the row being edited and reloads the tab: a change the
// server refused on another row is asked about first, and "Cancelar" keeps it.
TEST_F(PendingChangesTest, TheToolbarsCancelAsksBeforeItsReloadDropsARefusedChange)
{
    const struct {
        const char *answer;
        bool reloaded;
    } cases[] = {{"Cancelar", false}, {"Descartar", true}};
    const QList<int> rows = plainRows();
    ASSERT_GE(rows.size(), 4);
    int next = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        const int refused = rows.at(next++), edited = rows.at(next++);
        const QString supplier = value(refused, "CDFORNECED");
        const std::string underneath = refusedSave(refused);
        focusCell(grid, edited, QStringLiteral("CDGRUPOFISC"));
        typeKeys(QStringLiteral("3"));
        ASSERT_EQ(cds->State(), dataset::dsEdit);
        clearCalls();
        script->push(Answer::choose(QString::fromLatin1(c.answer)));
        clickButton(frm->sbtCancelar);

        EXPECT_TRUE(askedOnce());
        EXPECT_EQ(cds->State(), dataset::dsBrowse) << "the edited row is cancelled either way";
        EXPECT_EQ(callsOf(QStringLiteral("GetFornecedor")).size(), c.reloaded ? 1 : 0);
        EXPECT_EQ(cds->ChangeCount(), c.reloaded ? 0 : 1);
        EXPECT_EQ(value(rowOf(grid, QStringLiteral("CDFORNECED"), supplier), "CDGRUPOFISC"),
                  c.reloaded ? QString::fromStdString(underneath) : QStringLiteral("002"));
        cds->CancelUpdates();
        script->clear();
    }
}

// Closing the screen with an edit under way or a change the server refused: it asks, saves
// or drops as answered, and "Cancelar" keeps the screen open with the change still there.
TEST_F(PendingChangesTest, ClosingTheScreenAsksAboutWhatIsNotSaved)
{
    struct Case {
        const char *what;
        bool refused;          // a refused save in the change log; else an edit under way
        const char *answer;
        bool closed;
        bool saved;
    };
    const Case cases[] = {
        {"edit, cancel: the screen stays, the edit too", false, "Cancelar", false, false},
        {"edit, save: saved, then closed", false, "Gravar", true, true},
        {"edit, discard: closed, nothing saved", false, "Descartar", true, false},
        {"refused, cancel: the screen stays, the change too", true, "Cancelar", false, false},
        {"refused, save refused again: the screen stays", true, "Gravar", false, false},
        {"refused, discard: closed", true, "Descartar", true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QList<int> rows = plainRows();
        ASSERT_FALSE(rows.isEmpty());
        const int row = rows.first();
        const QString supplier = value(row, "CDFORNECED");
        std::string before = dbGroup(supplier);
        if (c.refused) {
            before = refusedSave(row);
        } else {
            focusCell(grid, row, QStringLiteral("CDGRUPOFISC"));
            typeKeys(QStringLiteral("2"));
            ASSERT_EQ(cds->State(), dataset::dsEdit);
        }
        script->push(Answer::choose(QString::fromLatin1(c.answer)));
        // The window's own close button (the screen's frame, in the host or alone).
        if (QMdiSubWindow *sub = frm->SubWindow())
            sub->close();
        else
            frm->close();
        QApplication::processEvents();

        EXPECT_TRUE(askedOnce());
        EXPECT_EQ(findScreen() != nullptr && findScreen()->isVisible(), !c.closed);
        EXPECT_EQ(dbGroup(supplier), c.saved ? "002" : before);
        if (!c.closed) {
            EXPECT_EQ(cds->State() == dataset::dsEdit, !c.refused) << "the edit is still under way";
            EXPECT_EQ(cds->ChangeCount(), c.refused ? 1 : 0);
            if (cds->State() == dataset::dsEdit)
                cds->Cancel();
            cds->CancelUpdates();
        } else {
            flushDeletes();
            frm = openScreen();
            ASSERT_TRUE(frm);
            cds = frm->cdsFornecedor;
            grid = frm->dbgPadrao;
        }
        script->clear();
    }
}


// A management-type row deleted stays in that tab's log; saving it from the close question
// while another tab is shown reloads that tab only, and the shown tab's own pending change
// is still asked about.
TEST_F(PendingChangesTest, SavingTheManagementTypesFromTheCloseQuestionKeepsTheShownTabsChange)
{
    clickTab(frm->pgcPadrao, frm->tshTipoGest);
    focusCell(frm->dbgTipoGest, 0, QStringLiteral("NMTPFATURFIS"));
    script->push(Answer::yes());
    pressKey(Qt::Key_Delete, Qt::ControlModifier);
    ASSERT_GT(frm->cdsTipoGest->ChangeCount(), 0);
    ASSERT_EQ(frm->cdsTipoGest->State(), dataset::dsBrowse);
    script->clear();

    // The interstate group, refused: another user changed it underneath.
    clickTab(frm->pgcPadrao, frm->tshOperInter);
    const std::string stored = db->scalar("SELECT DSPARGERFIS FROM PARAMGERAL WHERE CDPARGERAL = 'OPIN'").value_or("");
    const std::string underneath = stored == "004" ? "005" : "004";
    const QString typed = stored == "002" || underneath == "002" ? QStringLiteral("3") : QStringLiteral("2");
    db->exec("UPDATE PARAMGERAL SET DSPARGERFIS = $1 WHERE CDPARGERAL = 'OPIN'", {underneath});
    frm->medGrFiscOpEs->setFocus(Qt::OtherFocusReason);
    frm->medGrFiscOpEs->selectAll();
    typeKeys(typed);
    clickButton(frm->dbnPadrao->Button(vcl::nbPost));
    ASSERT_EQ(script->messages().size(), 1) << script->messages().join('\n').toStdString();
    ASSERT_EQ(frm->cdsOperInter->ChangeCount(), 1);
    script->clear();
    clearCalls();

    script->push(Answer::choose(QStringLiteral("Gravar")));
    script->push(Answer::choose(QStringLiteral("Cancelar")));
    frm->SubWindow() ? frm->SubWindow()->close() : frm->close();
    QApplication::processEvents();

    QStringList asked;
    for (const Shown &s : script->shown())
        asked << s.text;
    EXPECT_EQ(asked, (QStringList{QStringLiteral("Há alterações não gravadas em Tipo de Gestão Fiscal. Gravar, descartar ou cancelar?"),
                                  QStringLiteral("Há alterações não gravadas em Operações Interestaduais. Gravar, descartar ou cancelar?")}));
    EXPECT_FALSE(methods().contains(QStringLiteral("GetOperInter")));
    EXPECT_EQ(frm->cdsOperInter->ChangeCount(), 1) << "the interstate change is still there";
    EXPECT_EQ(frm->medGrFiscOpEs->Text(), QStringLiteral("00") + typed);
    EXPECT_TRUE(findScreen() && findScreen()->isVisible());
    frm->cdsOperInter->CancelUpdates();
}

} // namespace
} // namespace fiscal::test
