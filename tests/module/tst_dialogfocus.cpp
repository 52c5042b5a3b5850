// Code boxes on a real X server with a window manager (run through
// tests/support/xdisplay.sh --wm), with the real message boxes: an unknown code left in a
// box gives its message once, however the window manager activates the windows around
// the box, and the focus is then where the user corrects it. Going to another program and
// back runs no check and leaves the focus where it was.

#include "modulefixture.h"

#include "clientlib/btnpesquisa.h"
#include "clientlib/hostservices.h"
#include "dataset/clientdataset.h"
#include "vcl/dbgrid.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMessageBox>
#include <QProcess>
#include <QTableView>
#include <QTest>
#include <QTimer>

namespace fiscal::test {
namespace {

// A key pressed on the X server's keyboard: it goes to the window the window manager gave
// the focus to, as a person's key does.
void pressOnKeyboard(const char *key)
{
    QProcess::startDetached(QStringLiteral("xdotool"), {QStringLiteral("key"), QString::fromLatin1(key)});
}

// Every message box shown, answered with Enter on the keyboard once the window manager has
// made it the active window, as a person answers it. Past `limit` boxes the loop is broken
// by closing `stop` first, so that a test of an endless loop ends.
class MessageBoxes : public QObject {
public:
    MessageBoxes()
    {
        qApp->installEventFilter(this);
        m_timer.callOnTimeout(this, [this] { answer(); });
        m_timer.start(20);
    }
    ~MessageBoxes() override { qApp->removeEventFilter(this); }

    QStringList shown;
    // The focus in the window behind each box when the box came up: the box to correct
    // already, so that the window finds it there when it is active again.
    QStringList focusBehind;
    QStringList neverActive;

    void clear()
    {
        shown.clear();
        focusBehind.clear();
        neverActive.clear();
    }
    QPointer<QDialog> stop;
    static constexpr int limit = 4;
    const char *key = "Return";   // what answers each box

    static bool anyVisible()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox *>(w) && w->isVisible())
                return true;
        return false;
    }

protected:
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(o)) {
                shown << box->text();
                QWidget *behind = box->parentWidget() ? box->parentWidget()->window()->focusWidget() : nullptr;
                focusBehind << (behind ? behind->objectName() : QString());
                m_waiting.append({box, {}, false});
                m_waiting.last().since.start();
            }
        }
        return false;
    }

private:
    void answer()
    {
        // The newest box is on top: one at a time.
        for (auto it = m_waiting.rbegin(); it != m_waiting.rend(); ++it) {
            QMessageBox *box = it->box;
            if (!box || !box->isVisible())
                continue;
            if (shown.size() > limit && stop)
                stop->reject();
            if (box->isActiveWindow()) {
                // Again after a while if the key went astray.
                if (!it->keyed || it->since.hasExpired(5000)) {
                    it->keyed = true;
                    it->since.restart();
                    pressOnKeyboard(key);
                }
            } else if (it->since.hasExpired(20000)) {
                neverActive << box->text();
                if (!box->buttons().isEmpty())
                    box->buttons().first()->click();
            }
            return;
        }
    }

    QTimer m_timer;
    struct Waiting {
        QPointer<QMessageBox> box;
        QElapsedTimer since;
        bool keyed;
    };
    QList<Waiting> m_waiting;
};

enum class Screen { Main, CadAutomatico, CadAutoImpInscEsta, Replica };

struct Case {
    const char *name;
    Screen screen;
    const char *tab;          // the main screen's tab to show first
    const char *box;          // object name of the code box
    const char *code;         // typed, then Tab
    const char *message;      // the one box expected
    const char *focusAfter;   // object name
    // Before typing: what the box needs around it (e.g. the origin company of a registration).
    std::function<void(QWidget &)> prepare = {};
    // Instead of typing and Tab: the action that shows the message.
    std::function<void(QWidget &)> act = {};
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

template <typename T>
T *child(QWidget &w, const char *name)
{
    T *c = w.findChild<T *>(QString::fromLatin1(name));
    EXPECT_TRUE(c) << name;
    return c;
}

class DialogFocusTest : public ModuleTest, public ::testing::WithParamInterface<Case> {
protected:
    DialogFocusTest() : ModuleTest(false) {}

    void SetUp() override
    {
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"))
            << "runs on an X server with a window manager: tests/support/xdisplay.sh --wm tst_dialogfocus";
        ModuleTest::SetUp();
        // The host's window with the main screen inside it; the dialogs are its children.
        auto *area = new QMdiArea(&m_host);
        m_host.setCentralWidget(area);
        m_host.resize(1100, 600);
        clientlib::setHostWindow(&m_host, area);
        m_host.show();
        frm = openScreen();
        ASSERT_TRUE(frm);
        ASSERT_TRUE(waitFor([this] { return frm->isActiveWindow(); }, 30000)) << "the main screen never became active";
    }

    void TearDown() override
    {
        // Closing the screens leaves the box: no check of the wrong code on the way out.
        if (m_box)
            m_box->clear();
        if (m_other.state() != QProcess::NotRunning) {
            m_other.kill();
            m_other.waitForFinished();
        }
        ModuleTest::TearDown();
        clientlib::setHostWindow(nullptr, nullptr);
    }

    // Runs `drive` in the dialog that `open` runs modally, once the window manager has made
    // it active; closes it afterwards.
    void inDialog(const std::function<void()> &open, const std::function<void(QDialog &)> &drive)
    {
        bool drove = false;
        QTimer::singleShot(0, frm, [&] {
            auto *d = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            if (!d) {
                ADD_FAILURE() << "no dialog opened";
                return;
            }
            QPointer<QDialog> alive(d);
            if (waitFor([&] { return alive && alive->isActiveWindow(); }, 30000))
                drive(*d);
            else
                ADD_FAILURE() << "the dialog never became active";
            drove = true;
            // One that `drive` closed keeps its answer.
            if (alive && alive->isVisible())
                alive->reject();
        });
        open();
        EXPECT_TRUE(drove);
    }

    // Lets the window manager and the event loop finish what the last action started: the
    // window active again and no box on screen, for a whole second.
    static bool settle(QWidget &window)
    {
        QPointer<QWidget> alive(&window);
        QElapsedTimer total, calm;
        total.start();
        calm.start();
        while (total.elapsed() < 60000) {
            QTest::qWait(20);
            if (!alive || !alive->isVisible())
                return false;
            if (!alive->isActiveWindow() || MessageBoxes::anyVisible())
                calm.restart();
            else if (calm.elapsed() >= 1000)
                return true;
        }
        return false;
    }

    // Runs an xdotool command to its end, the event loop running meanwhile.
    static QString xdotool(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral("timeout"), QStringList{QStringLiteral("30"), QStringLiteral("xdotool")} + args);
        waitFor([&] { return p.state() == QProcess::NotRunning; }, 40000);
        EXPECT_EQ(p.exitCode(), 0) << "xdotool " << args.join(QLatin1Char(' ')).toStdString() << ": "
                                   << p.readAllStandardError().toStdString();
        return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }

    // Another program's window, made active through the window manager, then this one again.
    void leaveAndComeBack(QWidget &window)
    {
        if (m_other.state() == QProcess::NotRunning) {
            m_other.start(QStringLiteral("xmessage"),
                          {QStringLiteral("-geometry"), QStringLiteral("+900+650"), QStringLiteral("-title"),
                           QStringLiteral("Outro programa"), QStringLiteral("Outro programa")});
            m_otherId = xdotool({QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--name"),
                                 QStringLiteral("^Outro programa$")})
                            .section(QLatin1Char('\n'), 0, 0);
        }
        xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), m_otherId});
        EXPECT_TRUE(waitFor([&] { return !window.isActiveWindow(); }, 30000)) << "the other program never got the focus";
        xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), QString::number(window.window()->winId())});
    }

    // The case on its screen: the message once, the focus where it belongs, and a trip to
    // another program that changes nothing.
    void run(QWidget &window, const Case &c)
    {
        MessageBoxes &boxes = m_boxes;
        boxes.clear();
        boxes.stop = qobject_cast<QDialog *>(&window);
        if (c.prepare)
            c.prepare(window);
        if (c.act) {
            c.act(window);
        } else {
            auto *box = child<QLineEdit>(window, c.box);
            if (!box)
                return;
            m_box = box;
            typeInto(box, QString::fromLatin1(c.code));
            pressOnKeyboard("Tab");
        }
        EXPECT_TRUE(waitFor([&] { return !boxes.shown.isEmpty(); }, 30000)) << "no message";
        const bool settled = settle(window);
        EXPECT_TRUE(settled) << "the window is " << (window.isVisible() ? "open" : "closed")
                             << (window.isActiveWindow() ? ", active" : ", not active")
                             << (MessageBoxes::anyVisible() ? ", a box is up" : "");
        EXPECT_EQ(boxes.shown, QStringList{QString::fromUtf8(c.message)});
        EXPECT_EQ(boxes.focusBehind.value(0), QString::fromLatin1(c.focusAfter)) << "the focus when the box came up";
        EXPECT_TRUE(boxes.neverActive.isEmpty()) << "boxes the window manager never activated: "
                                                 << boxes.neverActive.join(QStringLiteral(", ")).toStdString();
        if (!settled)
            return;
        QWidget *focus = QApplication::focusWidget();
        EXPECT_EQ(focus ? focus->objectName() : QString(), QString::fromLatin1(c.focusAfter));

        boxes.clear();
        leaveAndComeBack(window);
        EXPECT_TRUE(settle(window)) << "not active again after coming back";
        EXPECT_EQ(boxes.shown, QStringList{});
        focus = QApplication::focusWidget();
        EXPECT_EQ(focus ? focus->objectName() : QString(), QString::fromLatin1(c.focusAfter));
    }

    ger10200::TfrmParamGrupFiscal *frm = nullptr;

protected:
    MessageBoxes m_boxes;

private:
    QMainWindow m_host;
    QPointer<QLineEdit> m_box;
    QProcess m_other;
    QString m_otherId;
};

TEST_P(DialogFocusTest, anUnknownCodeGivesOneMessageAndTheFocusStaysPut)
{
    const Case &c = GetParam();
    auto *tab = frm->findChild<vcl::TTabSheet *>(QString::fromLatin1(c.tab));
    ASSERT_TRUE(tab) << c.tab;
    clickTab(frm->pgcPadrao, tab);
    if (c.screen == Screen::Main) {
        run(*frm->window(), c);
        return;
    }
    QAbstractButton *opener = c.screen == Screen::Replica ? frm->sbtReplica : frm->sbtAutomatico;
    inDialog([&] { clickButton(opener); }, [&](QDialog &d) { run(d, c); });
}

// The first supplier row whose group is not `group`, and its code (rowCount() when none).
std::pair<int, std::string> supplierNotIn(const dataset::TClientDataSet &cds, const char *group)
{
    const int column = cds.FieldByName(QStringLiteral("CDGRUPOFISC"))->Index();
    int row = 0;
    while (row < cds.rowCount() && cds.valueAt(row, column).value_or(QString()) == QLatin1String(group))
        ++row;
    if (row == cds.rowCount())
        return {row, {}};
    return {row, cds.valueAt(row, cds.FieldByName(QStringLiteral("CDFORNECED"))->Index()).value_or(QString()).toStdString()};
}

// A click on another tab while the box being left holds an unknown code: one real message,
// and the tab stays, with the focus back in the box once the window is active again.
TEST_F(DialogFocusTest, anUnknownCodeKeepsTheTabAClickAskedFor)
{
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    ASSERT_EQ(QApplication::focusWidget(), frm->medCdImposto);
    typeKeys(QStringLiteral("99"));
    m_boxes.clear();
    clickTab(frm->pgcPadrao, frm->tshCliente);
    EXPECT_TRUE(settle(*frm->window()));
    EXPECT_EQ(m_boxes.shown, QStringList{QStringLiteral("Imposto não cadastrado.")});
    EXPECT_EQ(frm->pgcPadrao->ActivePage(), frm->tshImpFili);
    EXPECT_EQ(QApplication::focusWidget(), frm->medCdImposto);
}

// Closing the screen with an edit under way asks on the real display too: the box comes up
// active over the screen, and Enter (its first button, Gravar) saves the edit and closes.
TEST_F(DialogFocusTest, closingWithAnEditUnderWayAsksAndEnterSaves)
{
    dataset::TClientDataSet *cds = frm->cdsFornecedor;
    const auto [row, supplier] = supplierNotIn(*cds, "002");
    ASSERT_LT(row, cds->rowCount());
    focusCell(frm->dbgPadrao, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("2"));
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    m_boxes.clear();
    QPointer<QWidget> screen(frm);
    frm->SubWindow()->close();   // returns once the box is answered
    QApplication::processEvents();
    EXPECT_EQ(m_boxes.shown,
              QStringList{QStringLiteral("Há alterações não gravadas em Fornecedor. Gravar, descartar ou cancelar?")});
    EXPECT_TRUE(m_boxes.neverActive.isEmpty()) << m_boxes.neverActive.join('\n').toStdString();
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = $1", {supplier}), "002");
    EXPECT_TRUE(!screen || !screen->isVisible()) << "saved, the screen closes";
    frm = nullptr;
}

// Ctrl+Delete while a code is being typed, answered "Não" (Esc) on the real display: the
// code stays, and leaving the row saves it.
TEST_F(DialogFocusTest, aDeletionAnsweredNoKeepsTheCodeBeingTyped)
{
    dataset::TClientDataSet *cds = frm->cdsFornecedor;
    const auto [row, supplier] = supplierNotIn(*cds, "002");
    ASSERT_LT(row + 1, cds->rowCount());
    focusCell(frm->dbgPadrao, row, QStringLiteral("CDGRUPOFISC"));
    typeKeys(QStringLiteral("2"));
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    const int rows = cds->RecordCount();
    m_boxes.clear();
    m_boxes.key = "Escape";
    pressKey(Qt::Key_Delete, Qt::ControlModifier);   // returns once the box is answered
    EXPECT_TRUE(settle(*frm->window()));
    EXPECT_EQ(m_boxes.shown, QStringList{QStringLiteral("Confirma exclusão?")});
    EXPECT_TRUE(m_boxes.neverActive.isEmpty()) << m_boxes.neverActive.join('\n').toStdString();
    EXPECT_EQ(cds->RecordCount(), rows);
    pressKey(Qt::Key_Down);
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM FORNECEDOR WHERE CDFORNECED = $1", {supplier}), "002");
}

// A code being typed in a branch's cell on "Imposto/Filial", another program taken and this
// one given back: the cell editor closes with the activation, but the grid, which reloads
// when entered, is not entered again; the code stays and leaving the row saves it.
TEST_F(DialogFocusTest, aTripToAnotherProgramKeepsTheCodeBeingTypedInAGridThatReloadsOnEntering)
{
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    frm->medCdImposto->setText(QStringLiteral("01"));
    focusCell(frm->dbgImpFili, 0, QStringLiteral("CDGRUPOFISC"));
    dataset::TClientDataSet *cds = frm->cdsImpFili;
    ASSERT_TRUE(waitFor([&] { return cds->Active() && cds->RecordCount() > 1; }, 30000));
    focusCell(frm->dbgImpFili, 0, QStringLiteral("CDGRUPOFISC"));
    const QString branch = cds->FieldByName(QStringLiteral("CDFILIAL"))->AsString();
    const std::string chosen = cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->AsString() == QLatin1String("004") ? "005" : "004";
    typeKeys(QString::fromStdString(chosen.substr(2)));
    ASSERT_EQ(cds->State(), dataset::dsEdit);
    clearCalls();
    leaveAndComeBack(*frm->window());
    EXPECT_TRUE(settle(*frm->window()));
    EXPECT_TRUE(callsOf(QStringLiteral("GetImpFili")).isEmpty()) << "the grid was read again";
    EXPECT_EQ(cds->State(), dataset::dsEdit);
    pressKey(Qt::Key_Down);
    EXPECT_EQ(db->scalar("SELECT CDGRUPOFISC FROM GRFISCIMPOSFILI WHERE CDIMPOSTO = '01' AND CDFILIAL = $1",
                         {branch.toStdString()}),
              std::optional<std::string>(chosen));
}

// Another tax picked from the real list while the grid below had the focus: the list closes,
// the window manager gives the window back, and a click into the emptied grid reads it for
// the tax picked (the grid could not be entered again while it kept the focus).
TEST_F(DialogFocusTest, aTaxPickedFromTheListIsReadByAClickIntoTheGrid)
{
    clickTab(frm->pgcPadrao, frm->tshImpFili);
    frm->medCdImposto->setText(QStringLiteral("01"));
    focusCell(frm->dbgImpFili, 0, QStringLiteral("CDGRUPOFISC"));
    dataset::TClientDataSet *cds = frm->cdsImpFili;
    ASSERT_TRUE(waitFor([&] { return cds->Active(); }, 30000));
    const QString other = QString::fromStdString(*db->scalar("SELECT MIN(CDIMPOSTO) FROM IMPOSTO WHERE CDIMPOSTO <> '01'"));
    inDialog([&] { clickButton(frm->btpImposto); }, [&](QDialog &list) {
        // The row of that tax chosen in the list, Enter pressed on the keyboard.
        auto *view = list.findChild<QTableView *>();
        ASSERT_TRUE(view);
        const QModelIndexList rows = view->model()->match(view->model()->index(0, 0), Qt::DisplayRole, other, 1, Qt::MatchExactly);
        ASSERT_EQ(rows.size(), 1) << other.toStdString();
        view->selectRow(rows.first().row());
        QPointer<QDialog> alive(&list);
        pressOnKeyboard("Return");
        EXPECT_TRUE(waitFor([&] { return !alive || !alive->isVisible(); }, 30000)) << "Enter did not choose";
    });
    ASSERT_TRUE(settle(*frm->window()));
    ASSERT_EQ(frm->medCdImposto->Text(), other) << "the tax was not picked";
    EXPECT_FALSE(cds->Active());
    QTest::mouseClick(frm->dbgImpFili->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(waitFor([&] { return cds->Active(); }, 30000)) << "the grid clicked stayed empty";
    if (cds->Active() && !cds->IsEmpty()) {
        EXPECT_EQ(cds->FieldByName(QStringLiteral("CDIMPOSTO"))->AsString().trimmed(), frm->medCdImposto->Text().trimmed());
    }
}

void setText(QWidget &w, const char *box, const char *text)
{
    if (auto *edit = child<QLineEdit>(w, box))
        edit->setText(QString::fromLatin1(text));
}

void click(QWidget &w, const char *button)
{
    if (auto *b = child<QAbstractButton>(w, button))
        QTest::mouseClick(b, Qt::LeftButton);
}

const Case kCases[] = {
    {"cadAutomaticoGroup", Screen::CadAutomatico, "tshPadrao", "edtGrupoFiscal", "999",
     "Grupo fiscal não cadastrado.", "edtGrupoFiscal"},
    {"impInscEstaTax", Screen::CadAutoImpInscEsta, "tshImpInscEsta", "medImposto", "99", "Imposto não cadastrado.",
     "medImposto"},
    {"impInscEstaGroup", Screen::CadAutoImpInscEsta, "tshImpInscEsta", "edtGrupoFiscal", "999",
     "Grupo fiscal não cadastrado.", "edtGrupoFiscal"},
    // A check of the confirm button that names a radio button.
    {"impInscEstaNoClients", Screen::CadAutoImpInscEsta, "tshImpInscEsta", nullptr, nullptr,
     "Cliente deve ser informado.", "rbtListaCliente", [](QWidget &d) { setText(d, "medImposto", "01"); },
     [](QWidget &d) { click(d, "sbtConfirma"); }},
    {"replicaCompany", Screen::Replica, "tshImpInscEsta", "medCdEmpresa", "99", "Empresa não cadastrada.",
     "medCdEmpresa"},
    {"replicaRegistration", Screen::Replica, "tshImpInscEsta", "medCdInscEsta", "ZZ9",
     "Inscrição estadual não cadastrada.", "medCdInscEsta", [](QWidget &d) { setText(d, "medCdEmpresa", "01"); }},
    {"replicaTax", Screen::Replica, "tshImpInscEsta", "medCdImposto", "99", "Imposto não cadastrado.",
     "medCdImposto"},
    {"replicaDestination", Screen::Replica, "tshImpInscEsta", "medCdEmpDest", "99", "Empresa não cadastrada.",
     "medCdEmpDest"},
    {"mainTaxPerBranch", Screen::Main, "tshImpFili", "medCdImposto", "99", "Imposto não cadastrado.",
     "medCdImposto"},
    {"mainCompany", Screen::Main, "tshImpInscEsta", "medCdEmpresa", "99", "Empresa não cadastrada.",
     "medCdEmpresa"},
};

INSTANTIATE_TEST_SUITE_P(CodeBoxes, DialogFocusTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

} // namespace
} // namespace fiscal::test
