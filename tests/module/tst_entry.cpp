// Opening the main screen: one instance, one GetDados on the first activation, nothing on
// later activations, and a failing first load that is reported once and not retried.

#include "modulefixture.h"

#include "Pkg_Ger10200/module.h"
#include "clientlib/hostservices.h"
#include "clientlib/settings.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QStyle>
#include <QTest>

namespace fiscal::test {
namespace {

using ger10200::TfrmParamGrupFiscal;

TEST_F(ModuleTest, OpeningLoadsEverythingWithOneGetDados)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    EXPECT_EQ(methods(), QStringList{QStringLiteral("GetDados")});
    EXPECT_EQ(frm->windowTitle(), QStringLiteral("Parâmetros de Grupo Fiscal"));
    EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshPadrao);
    EXPECT_EQ(frm->dtsPadrao->DataSet(), frm->cdsFornecedor);
    EXPECT_EQ(frm->cdsFornecedor->RecordCount(), db->count("SELECT COUNT(*) FROM FORNECEDOR"));
    EXPECT_EQ(frm->cdsCliente->RecordCount(), db->count("SELECT COUNT(*) FROM CLIENTE"));
    EXPECT_EQ(frm->cdsFilial->RecordCount(), db->count("SELECT COUNT(*) FROM FILIAL"));
    // The tax tabs stay empty until their boxes are filled.
    EXPECT_FALSE(frm->cdsImpFili->Active());
    EXPECT_FALSE(frm->cdsFornInsc->Active());
    EXPECT_FALSE(frm->cdsCliInsc->Active());
    EXPECT_FALSE(frm->cdsGrupoFiscal->Active());
    EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();

    // Activating the screen again (switching host windows) loads nothing.
    clearCalls();
    QWidget other;
    other.show();
    other.activateWindow();
    QApplication::processEvents();
    frm->activateWindow();
    QTest::qWait(50);
    EXPECT_TRUE(methods().isEmpty()) << methods().join(',').toStdString();
}

TEST_F(ModuleTest, SecondIniProcCreatesNothingAndRestoresTheScreen)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    QWidget *window = frm->window();
    window->showMinimized();
    QApplication::processEvents();
    ASSERT_TRUE(window->isMinimized());
    clearCalls();

    IniProc();
    QApplication::processEvents();
    EXPECT_EQ(screenCount(), 1);
    EXPECT_EQ(findScreen(), frm);
    EXPECT_FALSE(frm->window()->isMinimized());
    EXPECT_TRUE(frm->isVisible());
    EXPECT_FALSE(methods().contains(QStringLiteral("GetDados")));
}

TEST_F(ModuleTest, ClosingAndReopeningCreatesAndLoadsANewScreen)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    frm->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    EXPECT_FALSE(ger10200::boCriado);
    EXPECT_EQ(findScreen(), nullptr) << "a closed screen is released and nothing points at it";

    clearCalls();
    TfrmParamGrupFiscal *again = openScreen();
    ASSERT_TRUE(again);
    EXPECT_TRUE(ger10200::boCriado);
    EXPECT_EQ(methods(), QStringList{QStringLiteral("GetDados")});
}

// A creation that throws (here the box telling that the server is unreachable fails
// itself) leaves nothing registered: the next IniProc creates a whole screen and loads it.
TEST_F(ModuleTest, AFailedCreationLeavesNoScreenForTheNextIniProc)
{
    class FailingBoxes : public clientlib::ScriptedInteraction {
        int message(clientlib::TMsgDlgType, const QString &, const QString &, clientlib::TMsgDlgButtons,
                    QWidget *) override
        {
            throw std::runtime_error("caixa de mensagem indisponível");
        }
    };
    {
        clientlib::InteractionScope failing(std::make_unique<FailingBoxes>());
        clientlib::Settings::instance().setServerPort(1);   // nobody listens there
        IniProc();
        clientlib::Settings::instance().setServerPort(server->port());
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(ger10200::boCriado);
    EXPECT_EQ(findScreen(), nullptr);
    EXPECT_EQ(screenCount(), 0);

    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    EXPECT_TRUE(frm->isLoaded());
    EXPECT_EQ(screenCount(), 1);
    EXPECT_EQ(methods(), QStringList{QStringLiteral("GetDados")});
}

TEST_F(ModuleTest, FailingFirstLoadIsShownOnceStopsTheAnimationAndIsNotRetried)
{
    // A real failure on the server: the suppliers' table is gone.
    db->exec("ALTER TABLE FORNECEDOR RENAME TO FORNECEDOR_FORA");
    IniProc();
    TfrmParamGrupFiscal *frm = findScreen();
    ASSERT_TRUE(frm);
    ASSERT_TRUE(waitFor([&] { return !script->messages().isEmpty(); }));
    EXPECT_EQ(callsOf(QStringLiteral("GetDados")).size(), 1);
    QTest::qWait(50);
    EXPECT_FALSE(frm->isLoaded());
    EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
    ASSERT_EQ(script->messages().size(), 1) << script->messages().join('\n').toStdString();
    EXPECT_FALSE(script->messages().first().isEmpty());

    QWidget other;
    other.show();
    other.activateWindow();
    QApplication::processEvents();
    frm->activateWindow();
    QTest::qWait(50);
    EXPECT_EQ(callsOf(QStringLiteral("GetDados")).size(), 1) << "no retry on the next activation";
    EXPECT_EQ(script->messages().size(), 1);
}

// A server out of reach as the screen opens is said once, not again by the first load.
TEST_F(ModuleTest, AServerOutOfReachAsTheScreenOpensIsSaidOnce)
{
    clientlib::Settings::instance().setServerPort(1);
    IniProc();
    TfrmParamGrupFiscal *frm = findScreen();
    ASSERT_TRUE(frm);
    ASSERT_TRUE(waitFor([&] { return !script->messages().isEmpty(); }));
    QTest::qWait(100);
    EXPECT_EQ(script->messages().size(), 1) << script->messages().join('\n').toStdString();
    EXPECT_FALSE(frm->isLoaded());
    EXPECT_EQ(clientlib::currentWaitAnimation(), nullptr);
}

// Inside the host: the screen is a sub-window of fixed size that becomes the active one by
// itself, whatever window held the focus, and loads once.
// The host's main window with its MDI area, shown, as the screens' host.
struct HostWindow : QMainWindow {
    HostWindow() : area(new QMdiArea(this))
    {
        setCentralWidget(area);
        resize(1100, 600);
        clientlib::setHostWindow(this, area);
        show();
    }
    QMdiArea *area;
};

TEST_F(ModuleTest, InTheHostTheScreenIsAFixedSubWindowThatLoadsOnce)
{
    struct Case {
        const char *name;
        bool hostActive;
    };
    for (const Case c : {Case{"the host holds the focus", true}, Case{"another window holds the focus", false}}) {
        SCOPED_TRACE(c.name);
        clearCalls();
        HostWindow host;
        QMdiArea *area = host.area;
        QWidget other;
        if (c.hostActive) {
            host.activateWindow();
        } else {
            other.show();
            other.activateWindow();
        }
        QApplication::processEvents();

        IniProc();
        TfrmParamGrupFiscal *frm = findScreen();
        ASSERT_TRUE(frm);
        ASSERT_TRUE(waitFor([&] { return frm->isLoaded(); }));
        EXPECT_EQ(methods(), QStringList{QStringLiteral("GetDados")});
        QMdiSubWindow *sub = frm->SubWindow();
        ASSERT_TRUE(sub);
        EXPECT_EQ(area->activeSubWindow(), sub);
        EXPECT_EQ(frm->size(), QSize(877, 308));
        EXPECT_EQ(frm->minimumSize(), frm->maximumSize()) << "not resizable";
        EXPECT_TRUE(sub->windowFlags() & Qt::MSWindowsFixedSizeDialogHint);
        EXPECT_FALSE(sub->windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_EQ(sub->contentsRect(), QRect(frm->mapTo(sub, QPoint(0, 0)), frm->size()))
            << "the frame holds the screen and nothing else";

        // Another sub-window, then back: a later activation loads nothing.
        QMdiSubWindow *second = area->addSubWindow(new QWidget);
        second->show();
        area->setActiveSubWindow(second);
        QApplication::processEvents();
        area->setActiveSubWindow(sub);
        QApplication::processEvents();
        IniProc();
        QApplication::processEvents();
        EXPECT_EQ(methods(), QStringList{QStringLiteral("GetDados")});
        EXPECT_EQ(screenCount(), 1);

        frm->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QApplication::processEvents();
        clientlib::setHostWindow(nullptr, nullptr);
    }
}

// In the host, whose MDI area takes Ctrl+Tab for its windows and whose grids take it for their
// cells, the keys switch the innermost page control around the focus: the inner "Cliente" tab
// has no other way from the keyboard, being no tab stop.
TEST_F(ModuleTest, InTheHostTheKeysSwitchTheInnermostPages)
{
    HostWindow host;
    host.activateWindow();
    QApplication::processEvents();
    IniProc();
    TfrmParamGrupFiscal *frm = findScreen();
    ASSERT_TRUE(frm);
    ASSERT_TRUE(waitFor([&] { return frm->isLoaded(); }));

    frm->pgcPadrao->selectPage(frm->tshImpInscEsta);
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    ASSERT_FALSE(reg.empty());
    frm->medCdEmpresa->setText(QString::fromStdString(*reg.front()[0]));
    frm->medInscEsta->setText(QString::fromStdString(*reg.front()[1]));
    frm->medImp->setText(QStringLiteral("01"));
    frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    ASSERT_EQ(frm->pgcCliente->ActivePage(), frm->tshFornecedor);

    const struct {
        const char *name;
        Qt::Key key;
        Qt::KeyboardModifiers mods;
        vcl::TPageControl *pages;
        vcl::TTabSheet *to;
        QWidget *focus;
        const char *loads;
    } steps[] = {
        {"Ctrl+Tab in the supplier grid", Qt::Key_Tab, Qt::ControlModifier, frm->pgcCliente, frm->tshCli, frm->dbgCliInsc, "GetCliInsc"},
        {"Ctrl+PageUp in the client grid", Qt::Key_PageUp, Qt::ControlModifier, frm->pgcCliente, frm->tshFornecedor,
         frm->dbgFornInsc, "GetFornInsc"},
        {"Ctrl+Shift+Tab in a filter box", Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier, frm->pgcPadrao,
         frm->tshImpFili, nullptr, nullptr},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.name);
        if (!step.focus)
            frm->medImp->setFocus(Qt::TabFocusReason);
        clearCalls();
        QTest::keyClick(QApplication::focusWidget(), step.key, step.mods);
        QApplication::processEvents();
        EXPECT_EQ(step.pages->ActivePage(), step.to);
        if (step.focus) {
            EXPECT_EQ(QApplication::focusWidget(), step.focus);
        }
        if (step.loads) {
            EXPECT_EQ(methods(), QStringList{QString::fromLatin1(step.loads)});
        }
    }

    frm->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
    clientlib::setHostWindow(nullptr, nullptr);
}

// The registration-number columns left at their default width show a formatted company
// number whole.
TEST_F(ModuleTest, RegistrationColumnsShowAWholeCompanyNumber)
{
    TfrmParamGrupFiscal *frm = openScreen();
    ASSERT_TRUE(frm);
    const QString number = QStringLiteral("99.999.999/9999-99");
    const struct { vcl::TDBGrid *grid; const char *field; } cases[] = {
        {frm->dbgPadrao, "NRINSJURFORN"},
        {frm->dbgCliente, "NRINSJURCLIE"},
        {frm->dbgFornInsc, "NRINSJURFORN"},
        {frm->dbgCliInsc, "NRINSJURCLIE"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.grid->objectName().toStdString());
        const int col = c.grid->Columns().IndexOfField(QString::fromLatin1(c.field));
        ASSERT_GE(col, 0);
        EXPECT_EQ(c.grid->Columns()[col]->Title(), QStringLiteral("Inscrição"));
        const int margin = c.grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, c.grid) + 1;
        EXPECT_GE(c.grid->columnWidth(col), c.grid->fontMetrics().horizontalAdvance(number) + 2 * margin + 2)
            << "the painter starts the text 2 pixels in";
    }
}

} // namespace
} // namespace fiscal::test
