#include "vcl/controls.h"
#include "vcl/cursor.h"
#include "vcl/dbcontrols.h"
#include "vcl/menus.h"

#include "dataset/abort.h"
#include "dataset/clientdataset.h"
#include "testhooks.h"

#include <QGuiApplication>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace fiscal::vcl;
using fiscal::dataset::DataPacket;
using fiscal::dataset::Row;
using fiscal::dataset::TClientDataSet;
using fiscal::dataset::TDataSource;

namespace {

TEST(Controls, menuEntryFollowsItsButton)
{
    TSpeedButton button;
    button.setEnabled(false);
    int runs = 0;
    QAction *action = newMenuItem(&button, QStringLiteral("Ca&dastramento Automático"), QKeySequence(QStringLiteral("Ctrl+A")),
                                  [&] { ++runs; throw std::runtime_error("falhou"); });
    linkEnabled(action, &button);
    EXPECT_FALSE(action->isEnabled());
    for (bool enabled : {true, false, true}) {
        button.setEnabled(enabled);
        EXPECT_EQ(action->isEnabled(), enabled);
    }
    action->trigger();   // the handler's error is reported, never thrown out
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(vcltest::errors(), QStringList{"falhou"});
    EXPECT_EQ(action->shortcut(), QKeySequence(QStringLiteral("Ctrl+A")));
}

TEST(Controls, radioOnClickOnlyForTheUser)
{
    TRadioButton radio(QStringLiteral("Lista"));
    int clicks = 0;
    radio.OnClick = [&] { ++clicks; };
    radio.setChecked(true);
    radio.setChecked(false);
    EXPECT_EQ(clicks, 0);
    radio.show();
    QTest::mouseClick(&radio, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(radio.Checked());
}

TEST(Controls, hourGlassIsRestoredEvenOnErrors)
{
    EXPECT_EQ(screenCursor(), crDefault);
    try {
        HourGlass outer;
        HourGlass inner;
        EXPECT_EQ(screenCursor(), crHourGlass);
        throw std::runtime_error("x");
    } catch (const std::runtime_error &) {
    }
    EXPECT_EQ(screenCursor(), crDefault);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

class NavigatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cds.addField(QStringLiteral("CDGRUPOFISC"), 3);
        cds.addField(QStringLiteral("NOME"), 30);
        DataPacket p;
        p.fields = cds.FieldDefs();
        p.rows = {Row{QStringLiteral("001"), QStringLiteral("Matriz")}, Row{QStringLiteral("002"), QStringLiteral("Filial")}};
        cds.setData(p);
        cds.BeforeInsert = [](TClientDataSet &) { throw fiscal::dataset::EAbort(); };
        dts.setDataSet(&cds);
        nav.setDataSource(&dts);
        name.setDataSource(&dts);
        name.setDataField(QStringLiteral("NOME"));
    }
    bool enabled(TNavigateBtn b) { return nav.Button(b)->isEnabled(); }

    TClientDataSet cds;
    TDataSource dts;
    TDBNavigator nav;
    TDBText name;
};

TEST_F(NavigatorTest, buttonsFollowStateAndPosition)
{
    struct Step {
        const char *name;
        std::function<void()> act;
        QList<TNavigateBtn> on;
        QString label;
    };
    const Step steps[] = {
        {"first row", [] {}, {nbNext, nbLast, nbInsert, nbDelete, nbEdit}, "Matriz"},
        {"next", [&] { nav.BtnClick(nbNext); }, {nbFirst, nbPrior, nbInsert, nbDelete, nbEdit}, "Filial"},
        {"edit", [&] { nav.BtnClick(nbEdit); cds.FieldByName("NOME")->setAsString("Nova"); },
         {nbFirst, nbPrior, nbDelete, nbPost, nbCancel}, "Nova"},
        {"cancel", [&] { nav.BtnClick(nbCancel); }, {nbFirst, nbPrior, nbInsert, nbDelete, nbEdit}, "Filial"},
        {"insert refused", [&] { nav.BtnClick(nbInsert); }, {nbFirst, nbPrior, nbInsert, nbDelete, nbEdit}, "Filial"},
        {"close", [&] { cds.Close(); }, {}, ""},
    };
    for (const Step &s : steps) {
        s.act();
        for (int b = nbFirst; b <= nbCancel; ++b)
            EXPECT_EQ(enabled(TNavigateBtn(b)), s.on.contains(TNavigateBtn(b))) << s.name << " button " << b;
        EXPECT_EQ(name.text(), s.label) << s.name;
    }
    EXPECT_TRUE(vcltest::errors().isEmpty());
}

TEST_F(NavigatorTest, deleteAsksFirstAndPostErrorsAreReported)
{
    vcltest::answerNext(false);
    nav.BtnClick(nbDelete);
    EXPECT_EQ(cds.RecordCount(), 2);
    vcltest::answerNext(true);
    nav.BtnClick(nbDelete);
    EXPECT_EQ(cds.RecordCount(), 1);
    EXPECT_EQ(vcltest::questions().size(), 2);

    cds.BeforePost = [](TClientDataSet &) { throw std::runtime_error("Grupo fiscal não cadastrado."); };
    nav.BtnClick(nbEdit);
    cds.FieldByName("CDGRUPOFISC")->setAsString("999");
    nav.BtnClick(nbPost);
    EXPECT_EQ(cds.State(), fiscal::dataset::dsEdit);
    EXPECT_EQ(vcltest::errors(), QStringList{"Grupo fiscal não cadastrado."});
}

} // namespace
