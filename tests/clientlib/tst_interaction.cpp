#include "clientlib/btnpesquisa.h"
#include "clientlib/datasetroutines.h"
#include "clientlib/messages.h"
#include "scriptedinteraction.h"
#include "clientlib/search.h"
#include "dataset/abort.h"
#include "dataset/datasource.h"
#include "vcl/confirm.h"
#include "vcl/guard.h"
#include "vcl/maskedit.h"

#include <QDialog>
#include <QPushButton>
#include <QTest>
#include "qtprint.h"

#include <gtest/gtest.h>

using namespace fiscal;
using namespace fiscal::clientlib;

namespace {

class Scripted : public ::testing::Test {
protected:
    Scripted()
    {
        auto s = std::make_unique<ScriptedInteraction>();
        script = s.get();
        scope = std::make_unique<InteractionScope>(std::move(s));
    }
    ScriptedInteraction *script = nullptr;
    std::unique_ptr<InteractionScope> scope;
};

// Groups with awkward keys: a quote, a comma.
void fillGroups(dataset::TClientDataSet &ds)
{
    if (ds.FieldCount() == 0) {
        ds.addField(QStringLiteral("CDGRUPOFISC"), 10, QStringLiteral("Código"));
        ds.addField(QStringLiteral("DSGRUPOFISC"), 30, QStringLiteral("Descrição"));
    }
    dataset::DataPacket p;
    p.fields = ds.FieldDefs();
    p.rows = {
        dataset::Row{QStringLiteral("001"), QStringLiteral("ICMS normal")},
        dataset::Row{QStringLiteral("D'A"), QStringLiteral("Com aspas")},
        dataset::Row{QStringLiteral("0,1"), QStringLiteral("Com vírgula")},
        dataset::Row{QStringLiteral("014"), std::nullopt},
    };
    ds.setData(p);
}

TEST_F(Scripted, ShowMsgReturnsTheButtonAndSplitsThreeFieldRows)
{
    TMessages msg;
    msg.setStrings({QStringLiteral("Confirma|Confirma a operação?"),
                    QStringLiteral("Aviso|Atenção|Texto do aviso")});
    struct Case { Answer answer; TMsgDlgButtons buttons; int expected; };
    const Case cases[] = {
        {Answer::yes(), mbYesNo, mrYes},
        {Answer::no(), mbYesNo, mrNo},
        {Answer::cancel(), mbYesNo, mrNo},
        {Answer::cancel(), mbYesNoCancel, mrCancel},
    };
    for (const Case &c : cases) {
        script->push(c.answer);
        EXPECT_EQ(msg.ShowMsg(QStringLiteral("confirma"), mtConfirmation, c.buttons, 0), c.expected);
    }
    EXPECT_EQ(mrYes, 6);
    EXPECT_EQ(msg.ShowMsg(QStringLiteral("Aviso"), mtInformation, mbOK, 0), mrOk);
    ASSERT_EQ(script->shown().size(), 5);
    EXPECT_EQ(script->shown().at(0).text, QStringLiteral("Confirma a operação?"));
    EXPECT_EQ(script->shown().at(4).title, QStringLiteral("Atenção"));
    EXPECT_EQ(script->shown().at(4).text, QStringLiteral("Texto do aviso"));
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

TEST_F(Scripted, UnscriptedQuestionGetsTheSafeAnswerAndIsReported)
{
    EXPECT_EQ(interaction().message(mtConfirmation, {}, QStringLiteral("Excluir?"), mbYesNo, nullptr), mrNo);
    EXPECT_EQ(script->problems().size(), 1);
    // OK-only boxes need no answer and do not eat the one meant for a later question.
    script->push(Answer::yes());
    EXPECT_EQ(interaction().message(mtError, {}, QStringLiteral("Falhou"), mbOK, nullptr), mrOk);
    EXPECT_EQ(script->pending(), 1);
    EXPECT_EQ(interaction().message(mtConfirmation, {}, QStringLiteral("Continuar?"), mbYesNo, nullptr), mrYes);
}

TEST_F(Scripted, MensErroShowsAnErrorBoxAndAborts)
{
    EXPECT_THROW(MensErro(QStringLiteral("Imposto não cadastrado."), true), dataset::EAbort);
    ASSERT_EQ(script->shown().size(), 1);
    EXPECT_EQ(script->shown().at(0).messageType, mtError);
    EXPECT_EQ(script->shown().at(0).text, QStringLiteral("Imposto não cadastrado."));
}

TEST_F(Scripted, GuardShowsErrorsThroughTheServiceAndSwallowsAborts)
{
    EXPECT_FALSE(vcl::guarded([] { throw std::runtime_error("falha de teste"); }));
    EXPECT_FALSE(vcl::guarded([] { throw dataset::EAbort(); }));
    EXPECT_EQ(script->messages(), QStringList{QStringLiteral("falha de teste")});
    // The components' own questions go through it too.
    script->push(Answer::yes());
    EXPECT_TRUE(vcl::confirm(QStringLiteral("Confirma exclusão?")));
    EXPECT_FALSE(vcl::confirm(QStringLiteral("Confirma exclusão?")));   // unscripted: No
}

TEST_F(Scripted, PesquisaListaWritesQuotedKeys)
{
    dataset::TClientDataSet ds;
    fillGroups(ds);
    dataset::TDataSource src;
    src.setDataSet(&ds);
    const QString title = QStringLiteral("Grupo Fiscal|Não há grupo fiscal cadastrado.");

    struct Case { Answer answer; bool confirmed; const char *expected; };
    const Case cases[] = {
        {Answer::pickKeys({QStringLiteral("001"), QStringLiteral("014")}), true, "'001','014'"},
        {Answer::pickKeys({QStringLiteral("D'A"), QStringLiteral("0,1")}), true, "'D''A','0,1'"},
        {Answer::cancel(), false, "'D''A','0,1'"},      // cancel keeps the last choice
        {Answer::pickKeys({}), true, ""},               // confirmed with nothing checked
    };
    QString selection;
    for (const Case &c : cases) {
        script->push(c.answer);
        EXPECT_EQ(PesquisaLista(&src, QStringLiteral("CDGRUPOFISC"), title, false, selection), c.confirmed);
        EXPECT_EQ(selection, QString::fromUtf8(c.expected));
    }
    const Shown &list = script->shown().at(0);
    EXPECT_EQ(list.kind, Shown::ChooseMany);
    EXPECT_EQ(list.title, QStringLiteral("Grupo Fiscal"));
    EXPECT_EQ(list.table.rows.size(), 4);
    // The second search starts with the first choice checked.
    EXPECT_EQ(script->shown().at(1).table.checked, (QList<int>{0, 3}));
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

TEST_F(Scripted, PesquisaListaOnAnEmptyListShowsTheEmptyText)
{
    dataset::TClientDataSet ds;
    ds.addField(QStringLiteral("CDINSCESTA"), 16);
    ds.Open();
    dataset::TDataSource src;
    src.setDataSet(&ds);
    QString selection = QStringLiteral("'1'");
    EXPECT_FALSE(PesquisaLista(&src, QStringLiteral("CDINSCESTA"),
                               QStringLiteral("Inscrição Estadual|Não há inscrição estadual cadastrada para a empresa informada."),
                               false, selection));
    EXPECT_EQ(selection, QStringLiteral("'1'"));
    EXPECT_EQ(script->messages(),
              QStringList{QStringLiteral("Não há inscrição estadual cadastrada para a empresa informada.")});
}

TEST_F(Scripted, PesquisarPositionsTheDataSetOnTheChosenRow)
{
    dataset::TClientDataSet ds;
    fillGroups(ds);
    dataset::TDataSource src;
    src.setDataSet(&ds);
    script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), QStringLiteral("0,1")));
    EXPECT_TRUE(Pesquisar(&src, QStringLiteral("Grupos"), false, true));
    EXPECT_EQ(ds.FieldByName(QStringLiteral("DSGRUPOFISC"))->AsString(), QStringLiteral("Com vírgula"));
    script->push(Answer::cancel());
    EXPECT_FALSE(Pesquisar(&src, QStringLiteral("Grupos"), false, true));
    EXPECT_EQ(ds.RecNo(), 3);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

TEST_F(Scripted, SearchButtonRunsBeforeListAfter)
{
    dataset::TClientDataSet ds;
    fillGroups(ds);
    ds.Close();
    dataset::TDataSource src;
    src.setDataSet(&ds);
    vcl::TMaskEdit code;
    TBtnPesquisa btp;
    btp.setAssociate(&code);
    btp.setTitle(QStringLiteral("Grupos Fiscais"));
    btp.setDataSource(&src);
    QStringList trace;
    btp.OnBeforePesq = [&](TBtnPesquisa &, bool &) {
        trace << QStringLiteral("before");
        fillGroups(ds);
    };
    btp.OnAfterPesq = [&](TBtnPesquisa &) {
        trace << QStringLiteral("after:") + ds.FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString();
    };
    script->push(Answer::pickRow(QStringLiteral("CDGRUPOFISC"), QStringLiteral("014")));
    QTest::mouseClick(&btp, Qt::LeftButton);
    EXPECT_EQ(trace, (QStringList{QStringLiteral("before"), QStringLiteral("after:014")}));
    EXPECT_EQ(btp.toolTip(), QStringLiteral("Pesquisar"));

    // A cancelled list runs no after-handler; an aborting before-handler shows no list.
    trace.clear();
    script->push(Answer::cancel());
    QTest::mouseClick(&btp, Qt::LeftButton);
    EXPECT_EQ(trace, QStringList{QStringLiteral("before")});
    btp.OnBeforePesq = [](TBtnPesquisa &, bool &) { dataset::Abort(); };
    const auto listsBefore = script->shown().size();
    QTest::mouseClick(&btp, Qt::LeftButton);
    EXPECT_EQ(script->shown().size(), listsBefore);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

TEST_F(Scripted, SearchButtonWithoutHandlersOpensAndFillsTheKey)
{
    dataset::TClientDataSet ds;
    fillGroups(ds);
    dataset::TDataSource src;
    src.setDataSet(&ds);
    vcl::TEdit code;
    TBtnPesquisa btp;
    btp.setAssociate(&code);
    btp.setDataSource(&src);
    btp.setPesqChave(QStringLiteral("CDGRUPOFISC"));
    script->push(Answer::pickRow(QStringLiteral("DSGRUPOFISC"), QStringLiteral("ICMS normal")));
    EXPECT_TRUE(btp.Pesquisa());
    EXPECT_EQ(code.Text(), QStringLiteral("001"));

    // EmptyError replaces the empty list and aborts.
    dataset::TClientDataSet empty;
    empty.addField(QStringLiteral("CDGRUPOFISC"), 3);
    dataset::TDataSource emptySrc;
    emptySrc.setDataSet(&empty);
    btp.setDataSource(&emptySrc);
    btp.setEmptyError(QStringLiteral("Não há grupo fiscal cadastrado."));
    EXPECT_THROW(btp.Pesquisa(), dataset::EAbort);
    EXPECT_TRUE(empty.Active());
    EXPECT_EQ(script->messages().last(), QStringLiteral("Não há grupo fiscal cadastrado."));
}

TEST_F(Scripted, ModalDialogIsDrivenAndItsResultReturned)
{
    struct Case { bool clickOk; bool accept; int expected; };
    const Case cases[] = {
        {true, false, QDialog::Accepted},     // the dialog closed itself with OK
        {false, true, QDialog::Accepted},     // left open: the script accepts it
        {false, false, QDialog::Rejected},
    };
    for (const Case &c : cases) {
        auto *dialog = new QDialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowTitle(QStringLiteral("Cadastramento Automático"));
        auto *ok = new QPushButton(QStringLiteral("OK"), dialog);
        QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
        QPointer<QDialog> alive(dialog);
        bool driven = false;
        script->push(Answer::dialog([&](QDialog &d) {
            driven = d.isVisible();
            if (c.clickOk) {
                QTest::mouseClick(ok, Qt::LeftButton);
            }
        }, c.accept));
        EXPECT_EQ(interaction().runModal(*dialog), c.expected);
        EXPECT_TRUE(driven);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(alive.isNull()) << "a dialog that deletes itself on close is released";
    }
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

TEST(DataSetRoutines, SetaCampoNullNullsBlankFieldsOfTheEditedRecord)
{
    dataset::TClientDataSet ds;
    fillGroups(ds);
    ds.FieldByName(QStringLiteral("DSGRUPOFISC"))->setReadOnly(true);
    ds.First();
    ds.Edit();
    ds.FieldByName(QStringLiteral("CDGRUPOFISC"))->setAsString(QStringLiteral("   "));
    ds.FieldByName(QStringLiteral("DSGRUPOFISC"))->setReadOnly(false);
    ds.FieldByName(QStringLiteral("DSGRUPOFISC"))->setAsString(QString());
    ds.FieldByName(QStringLiteral("DSGRUPOFISC"))->setReadOnly(true);
    Seta_Campo_Null(&ds);
    EXPECT_TRUE(ds.FieldByName(QStringLiteral("CDGRUPOFISC"))->IsNull());
    EXPECT_TRUE(ds.FieldByName(QStringLiteral("DSGRUPOFISC"))->IsNull());
    EXPECT_TRUE(ds.FieldByName(QStringLiteral("DSGRUPOFISC"))->ReadOnly());
    ds.Cancel();
    // Browsing: nothing to prepare, nothing changes.
    Seta_Campo_Null(&ds);
    EXPECT_EQ(ds.ChangeCount(), 0);
}

} // namespace
