#pragma once
// One fresh SQLite demo database and one fiscal-server per test; the module's main screen
// opened through IniProc, as the host opens it; every server call recorded in order; every
// box and list answered by a script.

#include "testsupport.h"

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"
#include "scriptedinteraction.h"

#include <QCborArray>
#include <QDialog>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <ostream>

namespace fiscal::dataset {
class TClientDataSet;
}

namespace fiscal::vcl {
class TDBGrid;
class TPageControl;
class TTabSheet;
}

class QAbstractButton;
class QLineEdit;

extern "C" void IniProc();

// Readable QStrings in failure messages.
inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) { *os << '[' << l.join(QStringLiteral(" | ")).toStdString() << ']'; }

namespace fiscal::test {

struct RecordedCall {
    QString method;
    QCborArray params;
    QString serverName;
    // The wait animation on screen when the call went out: its kind (-1: none), text and
    // the window it covers.
    int waitKind = -1;
    QString waitText;
    QPointer<QWidget> waitWindow;
    QString waitWindowName;   // kept when the window is gone
};

// The road of the module's lookups in this run: FISCAL_TEST_ROAD=server sends them through
// the application server (no database configured, as on a desktop), otherwise they read the
// database straight.
bool lookupsThroughServer();
// Points the client at `server` and, on the direct road, at `db`.
void pointClientAt(const TestDb &db, const ServerProcess &server);
// The page the help window shows; empty when none is open.
QString helpPage();
// F1 in `window`, made the active one (keys reach shortcuts only there); the page it opened.
QString helpPageOnF1(QWidget &window);

class ModuleTest : public ::testing::Test {
protected:
    // Without the script, boxes and dialogs are the real Qt ones (the display tests).
    explicit ModuleTest(bool scripted = true) : m_scripted(scripted) {}
    void SetUp() override;
    void TearDown() override;

    // IniProc, then wait until the first load has put the data on screen.
    ger10200::TfrmParamGrupFiscal *openScreen();
    // The main screen, or nullptr when none exists.
    static ger10200::TfrmParamGrupFiscal *findScreen();
    static int screenCount();

    // Lets the event loop run until cond holds or timeoutMs passed; returns cond.
    static bool waitFor(const std::function<bool()> &cond, int timeoutMs = 10000);

    QStringList methods() const;
    QList<RecordedCall> callsOf(const QString &method) const;
    void clearCalls() { m_calls.clear(); }

    // A person's actions.
    void clickTab(vcl::TPageControl *pgc, vcl::TTabSheet *tab);
    void triggerMenu(QAction *action);
    void focusCell(vcl::TDBGrid *grid, int row, const QString &fieldName);
    // "Imposto/Inscrição Estadual" on the first company registration and tax 01, entered
    // at its supplier grid.
    void enterFirstRegistration(ger10200::TfrmParamGrupFiscal *frm);
    void typeKeys(const QString &text);
    void pressKey(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier);
    void clickButton(QAbstractButton *button);
    static void choose(QAbstractButton *radio);
    static void typeInto(QLineEdit *box, const QString &text);
    // Opens a modal dialog with `open` (a click, a key, a call) and runs `drive` in it once
    // it is active; a dialog still open afterwards is closed without confirming, and `back`
    // is made the active window again. Returns whether the dialog was still open when
    // `drive` ended (one that confirmed may be released during `drive`).
    bool runDialog(const std::function<void(QDialog &)> &drive, const std::function<void()> &open, QWidget *back);
    template <typename Dialog>
    bool runDialog(const std::function<void(Dialog &)> &drive, const std::function<void()> &open, QWidget *back)
    {
        return runDialog([&](QDialog &d) {
            if (auto *dialog = qobject_cast<Dialog *>(&d))
                drive(*dialog);
            else
                ADD_FAILURE() << "another dialog: " << d.windowTitle().toStdString();
        }, open, back);
    }
    // Deletes what closed screens and dialogs left for deletion.
    static void flushDeletes();
    int rowOf(vcl::TDBGrid *grid, const QString &field, const QString &value);

    // Key -> fiscal group ("" for none) of every row `sql` selects (key, group).
    QMap<QString, QString> stored(const std::string &sql) const;
    // Call arguments as text (booleans as "true"/"false").
    static QStringList texts(const QCborArray &params);

    // Whether the database holds exactly what the data set shows: `sql` selects the key and
    // the fiscal group of every row the data set should show (null and empty are alike).
    ::testing::AssertionResult databaseShows(dataset::TClientDataSet *cds, const QString &keyField,
                                             const std::string &sql, const TestDb::Row &params = {}) const;

    std::unique_ptr<TestDb> db;
    std::unique_ptr<ServerProcess> server;
    clientlib::ScriptedInteraction *script = nullptr;

private:
    bool m_scripted;
    std::unique_ptr<clientlib::InteractionScope> m_scope;
    QList<RecordedCall> m_calls;
};

// A test that starts with the main screen open and loaded, and no call recorded yet.
class OpenScreenTest : public ModuleTest {
protected:
    void SetUp() override;

    ger10200::TfrmParamGrupFiscal *frm = nullptr;
};

} // namespace fiscal::test
