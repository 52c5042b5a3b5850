#include "vcl/pagecontrol.h"

#include "testhooks.h"

#include <QLineEdit>
#include <QTabBar>
#include <QVBoxLayout>
#include <QTest>
#include <gtest/gtest.h>

#include <functional>

using namespace fiscal::vcl;

namespace {

class PageControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *caption : {"Fornecedor", "Cliente", "Filial", "Tipo de Operação"})
            pages.append(pc.addPage(QString::fromUtf8(caption)));
        pc.OnChange = [this] { changes << pc.ActivePage()->Caption(); };
        pc.resize(600, 300);
        pc.show();
        QApplication::setActiveWindow(&pc);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&pc));
    }

    void clickTab(int index)
    {
        QTabBar *bar = pc.tabBar();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    }

    TPageControl pc;
    QList<TTabSheet *> pages;
    QStringList changes;
};

TEST_F(PageControlTest, userSwitchesFireOnChangeCodeSwitchesDoNot)
{
    clickTab(1);
    EXPECT_EQ(pc.ActivePage(), pages[1]);
    pc.setActivePage(pages[2]);
    EXPECT_EQ(pc.ActivePage(), pages[2]);
    EXPECT_TRUE(pc.selectPage(pages[0]));
    EXPECT_EQ(changes, (QStringList{QStringLiteral("Cliente"), QStringLiteral("Fornecedor")}));
}

TEST_F(PageControlTest, disabledTabsRefuseEveryUserPath)
{
    // What editing does: every tab but the active one is disabled.
    for (int i = 1; i < pages.size(); ++i)
        pages[i]->setEnabled(false);
    struct Attempt {
        const char *name;
        std::function<void()> act;
    };
    const Attempt attempts[] = {
        {"click", [this] { clickTab(2); }},
        {"ctrl+tab", [this] { QTest::keyClick(&pc, Qt::Key_Tab, Qt::ControlModifier); }},
        {"arrow on the tab bar", [this] { QTest::keyClick(pc.tabBar(), Qt::Key_Right); }},
        {"user path in code (menu entry)", [this] { EXPECT_FALSE(pc.selectPage(pages[3])); }},
    };
    for (const Attempt &a : attempts) {
        a.act();
        EXPECT_EQ(pc.ActivePage(), pages[0]) << a.name;
        EXPECT_EQ(pc.currentIndex(), 0) << a.name;
    }
    EXPECT_TRUE(changes.isEmpty());

    for (int i = 1; i < pages.size(); ++i)
        pages[i]->setEnabled(true);
    clickTab(2);
    EXPECT_EQ(pc.ActivePage(), pages[2]);
    EXPECT_TRUE(pages[0]->Enabled());
}

TEST_F(PageControlTest, disablingTheActivePageKeepsItActive)
{
    pc.setActivePage(pages[1]);
    pages[1]->setEnabled(false);
    EXPECT_EQ(pc.ActivePage(), pages[1]);
    EXPECT_EQ(pc.currentIndex(), 1);
    EXPECT_FALSE(pages[1]->Enabled());
    // Code may still show a disabled page.
    pages[3]->setEnabled(false);
    pc.setActivePage(pages[3]);
    EXPECT_EQ(pc.ActivePage(), pages[3]);
}

TEST_F(PageControlTest, plainSetEnabledOnThePageDisablesItsTab)
{
    static_cast<QWidget *>(pages[2])->setEnabled(false);
    EXPECT_FALSE(pc.isTabEnabled(2));
    clickTab(2);
    EXPECT_EQ(pc.ActivePage(), pages[0]);
}

TEST_F(PageControlTest, onChangingCanRefuseAndSeesTheOldPage)
{
    struct Case {
        const char *name;
        std::function<void(bool &)> changing;
        int expectedActive;
        int reported;
    };
    const Case cases[] = {
        {"allow", [](bool &) {}, 1, 0},
        {"refuse", [](bool &allow) { allow = false; }, 0, 0},
        {"throw", [](bool &) { throw std::runtime_error("não"); }, 0, 1},
    };
    for (const Case &c : cases) {
        vcltest::resetHooks();
        pc.setActivePage(pages[0]);
        changes.clear();
        TTabSheet *seen = nullptr;
        pc.OnChanging = [&](bool &allow) {
            seen = pc.ActivePage();
            c.changing(allow);
        };
        clickTab(1);
        EXPECT_EQ(seen, pages[0]) << c.name;
        EXPECT_EQ(pc.ActivePage(), pages[c.expectedActive]) << c.name;
        EXPECT_EQ(pc.currentIndex(), c.expectedActive) << c.name;
        EXPECT_EQ(changes.size(), c.expectedActive == 1 ? 1 : 0) << c.name;
        EXPECT_EQ(vcltest::errors().size(), c.reported) << c.name;
    }
}

// Switching pages by a click or by Ctrl+Tab from a box in the page keeps the focus inside
// the page control: a box before it must not be entered (and its handlers run) on the way
// from one page to the other.
TEST(PageControlFocus, switchingPagesKeepsTheFocusInThePageControl)
{
    const struct {
        const char *what;
        std::function<void(TPageControl *, QWidget *)> switchPage;
    } cases[] = {
        {"a click on the tab",
         [](TPageControl *pc, QWidget *) { QTest::mouseClick(pc->tabBar(), Qt::LeftButton, {}, pc->tabBar()->tabRect(1).center()); }},
        {"Ctrl+Tab in a box", [](TPageControl *, QWidget *box) { QTest::keyClick(box, Qt::Key_Tab, Qt::ControlModifier); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QList<QWidget *> focused;   // outlives the window, which reports focus moves while it goes
        QWidget window;
        auto *before = new QLineEdit(&window);
        auto *pc = new TPageControl(&window);
        QLineEdit *boxes[2];
        for (int i = 0; i < 2; ++i)
            boxes[i] = new QLineEdit(pc->addPage(QStringLiteral("Página %1").arg(i)));
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(before);
        layout->addWidget(pc);
        window.show();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        boxes[0]->setFocus();
        QApplication::processEvents();
        ASSERT_TRUE(boxes[0]->hasFocus());

        QObject::connect(qApp, &QApplication::focusChanged, &window, [&](QWidget *, QWidget *now) { focused << now; });
        c.switchPage(pc, boxes[0]);
        EXPECT_EQ(pc->currentIndex(), 1);
        EXPECT_FALSE(focused.contains(before));
        ASSERT_TRUE(QApplication::focusWidget());
        EXPECT_TRUE(pc->isAncestorOf(QApplication::focusWidget()));
    }
}

TEST_F(PageControlTest, hiddenTabsCannotBeSelected)
{
    pages[1]->setTabVisible(false);
    EXPECT_FALSE(pc.selectPage(pages[1]));
    EXPECT_EQ(pc.ActivePage(), pages[0]);
    EXPECT_FALSE(pages[1]->TabVisible());
    pages[1]->setCaption(QStringLiteral("Clientes"));
    EXPECT_EQ(pc.tabText(1), QStringLiteral("Clientes"));
}

} // namespace
