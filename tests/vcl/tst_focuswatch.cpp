#include "vcl/containers.h"
#include "vcl/edit.h"
#include "vcl/focuswatch.h"
#include "vcl/guard.h"

#include "dataset/abort.h"
#include "testhooks.h"

#include <QDialog>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

using namespace fiscal::vcl;

namespace {

// A form with two panels: left holds a and b, right holds c; d sits outside both.
class FocusWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto *layout = new QVBoxLayout(&form);
        left = new TPanel;
        right = new TPanel;
        auto *ll = new QVBoxLayout(left);
        auto *rl = new QVBoxLayout(right);
        a = new TEdit; b = new TEdit; c = new TEdit; d = new TEdit;
        ll->addWidget(a);
        ll->addWidget(b);
        rl->addWidget(c);
        layout->addWidget(left);
        layout->addWidget(right);
        layout->addWidget(d);
        const std::pair<const char *, TEdit *> edits[] = {{"a", a}, {"b", b}, {"c", c}, {"d", d}};
        for (auto [name, e] : edits) {
            const QString n = QString::fromLatin1(name);
            e->OnEnter = [this, n] { log << QStringLiteral("enter ") + n; };
            e->OnExit = [this, n] { log << QStringLiteral("exit ") + n; };
        }
        left->OnEnter = [this] { log << QStringLiteral("enter left"); };
        left->OnExit = [this] { log << QStringLiteral("exit left"); };
        right->OnEnter = [this] { log << QStringLiteral("enter right"); };
        right->OnExit = [this] { log << QStringLiteral("exit right"); };
        form.show();
        QApplication::setActiveWindow(&form);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
        a->setFocus();
        QCoreApplication::processEvents();
        log.clear();
    }

    QWidget form;
    TPanel *left = nullptr;
    TPanel *right = nullptr;
    TEdit *a = nullptr, *b = nullptr, *c = nullptr, *d = nullptr;
    QStringList log;
};

TEST_F(FocusWatchTest, containersAreEnteredAndExitedOnlyAcrossTheirBorder)
{
    struct Step {
        TEdit *to;
        QStringList expected;
    };
    const Step steps[] = {
        {b, {"exit a", "enter b"}},                                          // inside the left panel
        {c, {"exit b", "exit left", "enter right", "enter c"}},             // exits first, innermost first
        {d, {"exit c", "exit right", "enter d"}},
        {a, {"exit d", "enter left", "enter a"}},                           // enters outermost first
    };
    for (const Step &s : steps) {
        log.clear();
        s.to->setFocus();
        QCoreApplication::processEvents();
        EXPECT_EQ(log, s.expected);
        EXPECT_EQ(QApplication::focusWidget(), s.to);
    }
}

TEST_F(FocusWatchTest, tabKeyMovesFireTheSameEvents)
{
    QTest::keyClick(a, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), b);
    QTest::keyClick(b, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), c);
    EXPECT_EQ(log, (QStringList{"exit a", "enter b", "exit b", "exit left", "enter right", "enter c"}));
}

TEST_F(FocusWatchTest, aThrowingExitKeepsTheFocus)
{
    struct Case {
        const char *name;
        std::function<void()> thrower;
        int reported;
    };
    const Case cases[] = {
        {"abort", [] { throw fiscal::dataset::EAbort(); }, 0},
        {"error", [] { throw std::runtime_error("Imposto não cadastrado."); }, 1},
    };
    for (const Case &cs : cases) {
        vcltest::resetHooks();
        a->setFocus();
        QCoreApplication::processEvents();
        log.clear();
        a->OnExit = [&] { log << "exit a"; cs.thrower(); };
        c->setFocus();
        QCoreApplication::processEvents();
        EXPECT_EQ(QApplication::focusWidget(), a) << cs.name;
        // The container is not exited and nothing on the other side is entered.
        EXPECT_EQ(log, QStringList{"exit a"}) << cs.name;
        EXPECT_EQ(vcltest::errors().size(), cs.reported) << cs.name;
        a->OnExit = nullptr;
    }
    // Once the box accepts, the move goes through as usual.
    log.clear();
    c->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), c);
    EXPECT_EQ(log, (QStringList{"exit left", "enter right", "enter c"}));
}

TEST_F(FocusWatchTest, aContainerExitCanRefuseToo)
{
    left->OnExit = [this] { log << "exit left"; throw fiscal::dataset::EAbort(); };
    b->setFocus();
    d->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), b);
    EXPECT_EQ(log, (QStringList{"exit a", "enter b", "exit b", "exit left"}));
}

TEST_F(FocusWatchTest, aModalDialogDoesNotExitTheBox)
{
    // A message box shown by an exit handler, and any dialog, takes the focus into another
    // window; that is not leaving the box.
    QDialog dialog(&form);
    auto *inDialog = new QLineEdit(&dialog);
    QTimer::singleShot(0, &dialog, [&] {
        inDialog->setFocus();
        QTimer::singleShot(0, &dialog, &QDialog::accept);
    });
    dialog.exec();
    QApplication::setActiveWindow(&form);
    QCoreApplication::processEvents();
    EXPECT_TRUE(log.isEmpty()) << log.join(", ").toStdString();
    b->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(log, (QStringList{"exit a", "enter b"}));
}

TEST_F(FocusWatchTest, theWindowActivatedAgainUnderARefusalsBoxDoesNotLeaveTheBoxAgain)
{
    // What a window manager may do while the box of a refused code is up: the box takes the
    // focus in its own window, then the window behind it is activated again, which restores
    // its focus on the widget the user was moving to.
    int exits = 0;
    a->OnExit = [&] {
        log << "exit a";
        if (++exits > 3)
            return;   // an endless loop ends here
        QWidget box;
        auto *button = new QLineEdit(&box);
        box.show();
        QApplication::setActiveWindow(&box);
        button->setFocus();
        QCoreApplication::processEvents();
        QApplication::setActiveWindow(&form);
        QCoreApplication::processEvents();
        throw fiscal::dataset::EAbort();
    };
    b->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(log, QStringList{"exit a"});
    EXPECT_EQ(QApplication::focusWidget(), a);
}

TEST_F(FocusWatchTest, anEnterHandlerMayMoveTheFocusOn)
{
    right->OnEnter = [this] { log << "enter right"; d->setFocus(); };
    c->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), d);
    EXPECT_EQ(log, (QStringList{"exit a", "exit left", "enter right", "enter c", "exit c", "exit right", "enter d"}));
}

TEST_F(FocusWatchTest, plainWidgetsCanBeWatchedToo)
{
    auto *plain = new QLineEdit(&form);
    plain->show();
    setOnEnter(plain, [this] { log << "enter plain"; });
    setOnExit(plain, [this] { log << "exit plain"; });
    plain->setFocus();
    QCoreApplication::processEvents();
    a->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(log, (QStringList{"exit a", "exit left", "enter plain", "exit plain", "enter left", "enter a"}));
}

TEST(FocusWatchMdi, anotherScreenOfTheHostTakingTheFocusLeavesNothing)
{
    // A click into another screen and back must not exit and enter the grid being edited:
    // its enter reloads the rows and would drop the edit.
    QWidget host;
    auto *area = new QMdiArea(&host);
    (new QVBoxLayout(&host))->addWidget(area);
    auto *screen = new QWidget;
    auto *panel = new TPanel;
    auto *edit = new TEdit;
    auto *other = new TEdit;
    (new QVBoxLayout(panel))->addWidget(edit);
    auto *screenLayout = new QVBoxLayout(screen);
    screenLayout->addWidget(panel);
    screenLayout->addWidget(other);
    auto *elsewhere = new QLineEdit;
    QMdiSubWindow *screenWindow = area->addSubWindow(screen);
    QMdiSubWindow *otherWindow = area->addSubWindow(elsewhere);
    screenWindow->show();
    otherWindow->show();
    QStringList log;
    panel->OnEnter = [&] { log << "enter panel"; };
    panel->OnExit = [&] { log << "exit panel"; };
    host.show();
    QApplication::setActiveWindow(&host);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&host));
    edit->setFocus();
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), edit);
    log.clear();

    elsewhere->setFocus();
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), elsewhere);
    edit->setFocus();
    QCoreApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), edit);
    EXPECT_TRUE(log.isEmpty()) << log.join(", ").toStdString();

    // The same by clicks on the screens' title bars, where the frame itself may take the
    // focus on the way back to the box.
    const auto clickTitle = [](QMdiSubWindow *w) {
        const int bar = w->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, w);
        QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(w->width() / 3, bar / 2));
        QCoreApplication::processEvents();
    };
    clickTitle(otherWindow);
    ASSERT_EQ(area->activeSubWindow(), otherWindow);
    clickTitle(screenWindow);
    ASSERT_EQ(area->activeSubWindow(), screenWindow);
    EXPECT_EQ(QApplication::focusWidget(), edit);
    EXPECT_TRUE(log.isEmpty()) << log.join(", ").toStdString();

    other->setFocus();   // within the screen it is still an exit
    QCoreApplication::processEvents();
    EXPECT_EQ(log, QStringList{"exit panel"});
}

} // namespace
