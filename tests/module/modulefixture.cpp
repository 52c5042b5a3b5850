#include "modulefixture.h"

#include "Pkg_Ger10200/module.h"
#include "clientlib/dbgeral.h"
#include "clientlib/localcache.h"
#include "clientlib/netconnection.h"
#include "clientlib/settings.h"
#include "clientlib/waitanimation.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "help/help.h"
#include "rpc/envelope.h"
#include "vcl/dbgrid.h"
#include "vcl/guard.h"
#include "vcl/maskedit.h"
#include "vcl/pagecontrol.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMap>
#include "protocol/objects.h"

#include <QTabBar>
#include <QTest>

namespace fiscal::test {

bool lookupsThroughServer()
{
    return qEnvironmentVariable("FISCAL_TEST_ROAD") == QLatin1String("server");
}

QString helpPage()
{
    QWidget *w = help::helpWindow();
    return w ? w->property("currentPage").toString() : QString();
}

QString helpPageOnF1(QWidget &window)
{
    window.activateWindow();
    if (!QTest::qWaitForWindowActive(&window))
        return QStringLiteral("(not active)");
    QTest::keyClick(&window, Qt::Key_F1);
    QApplication::processEvents();
    return helpPage();
}

void pointClientAt(const TestDb &db, const ServerProcess &server)
{
    auto &settings = clientlib::Settings::instance();
    settings.setServerHost(QStringLiteral("127.0.0.1"));
    settings.setServerPort(server.port());
    settings.setDatabase(lookupsThroughServer() ? QString() : QString::fromStdString(db.url()));
    clientlib::dtmDBGeral().close();
    clientlib::LocalCache::instance().clear();
}

void ModuleTest::SetUp()
{
    db = TestDb::create(Backend::Sqlite);
    server = std::make_unique<ServerProcess>(db->url());
    pointClientAt(*db, *server);

    if (m_scripted) {
        auto scripted = std::make_unique<clientlib::ScriptedInteraction>();
        script = scripted.get();
        m_scope = std::make_unique<clientlib::InteractionScope>(std::move(scripted));
    }

    clientlib::TNetConnection::setCallObserver(
        [this](const QString &serverName, const QString &method, const QCborArray &params) {
            // The lookups are the road's business, not calls the screens make.
            if (serverName == QLatin1String(protocol::kConsultas))
                return;
            // A change set travels as its encoded bytes; the tests read it as the server does.
            QCborArray decoded;
            for (const QCborValue &p : params)
                decoded.append(p.isTag() && p.tag() == QCborTag(QCborKnownTags::EncodedCbor)
                                   ? QCborValue::fromCbor(rpc::encodedParam(p))
                                   : p);
            RecordedCall call{method, decoded, serverName};
            if (clientlib::WaitAnimation *avi = clientlib::currentWaitAnimation()) {
                call.waitKind = avi->kind();
                call.waitText = avi->text();
                call.waitWindow = avi->parentWidget();
                if (call.waitWindow)
                    call.waitWindowName = call.waitWindow->objectName();
            }
            m_calls.append(call);
        });
}

void ModuleTest::TearDown()
{
    if (auto *frm = findScreen()) {
        // Whatever a test left unsaved is dropped first: closing would ask about it.
        for (dataset::TClientDataSet *cds : frm->findChildren<dataset::TClientDataSet *>()) {
            vcl::guarded([cds] {
                if (cds->State() == dataset::dsEdit || cds->State() == dataset::dsInsert)
                    cds->Cancel();
                if (cds->Active() && cds->ChangeCount() > 0)
                    cds->CancelUpdates();
            });
        }
        frm->close();
        QApplication::processEvents();
    }
    // Released screens go with the deferred deletes.
    flushDeletes();
    clientlib::TNetConnection::setCallObserver({});
    m_scope.reset();
    clientlib::dtmDBGeral().close();
    server.reset();
    db.reset();
}

ger10200::TfrmParamGrupFiscal *ModuleTest::findScreen()
{
    return ger10200::frmParamGrupFiscal.data();
}

int ModuleTest::screenCount()
{
    int n = 0;
    for (QWidget *w : QApplication::allWidgets()) {
        if (qobject_cast<ger10200::TfrmParamGrupFiscal *>(w))
            ++n;
    }
    return n;
}

ger10200::TfrmParamGrupFiscal *ModuleTest::openScreen()
{
    IniProc();
    auto *frm = findScreen();
    if (!frm)
        return nullptr;
    // The first activation loads the data, as when the user first sees the screen.
    frm->window()->activateWindow();
    waitFor([] { return !findScreen() || findScreen()->isLoaded(); }, 30000);
    frm = findScreen();
    if (frm) {
        frm->activateWindow();
        QApplication::processEvents();
    }
    return frm;
}

void OpenScreenTest::SetUp()
{
    ModuleTest::SetUp();
    frm = openScreen();
    ASSERT_TRUE(frm);
    clearCalls();
}

bool ModuleTest::waitFor(const std::function<bool()> &cond, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!cond() && t.elapsed() < timeoutMs)
        QTest::qWait(10);
    return cond();
}

QStringList ModuleTest::methods() const
{
    QStringList names;
    for (const RecordedCall &c : m_calls)
        names << c.method;
    return names;
}

QList<RecordedCall> ModuleTest::callsOf(const QString &method) const
{
    QList<RecordedCall> out;
    for (const RecordedCall &c : m_calls) {
        if (c.method.compare(method, Qt::CaseInsensitive) == 0)
            out << c;
    }
    return out;
}

void ModuleTest::clickTab(vcl::TPageControl *pgc, vcl::TTabSheet *tab)
{
    QTabBar *bar = pgc->tabBar();
    const int index = pgc->indexOf(tab);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    QApplication::processEvents();
}

void ModuleTest::enterFirstRegistration(ger10200::TfrmParamGrupFiscal *frm)
{
    const auto reg = db->query("SELECT CDEMPRESA, CDINSCESTA FROM INSCRESTAD ORDER BY CDEMPRESA, CDINSCESTA");
    ASSERT_FALSE(reg.empty());
    clickTab(frm->pgcPadrao, frm->tshImpInscEsta);
    frm->medCdEmpresa->setText(QString::fromStdString(*reg.front()[0]));
    frm->medInscEsta->setText(QString::fromStdString(*reg.front()[1]));
    frm->medImp->setText(QStringLiteral("01"));
    frm->dbgFornInsc->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
}

void ModuleTest::triggerMenu(QAction *action)
{
    action->trigger();
    QApplication::processEvents();
}

void ModuleTest::focusCell(vcl::TDBGrid *grid, int row, const QString &fieldName)
{
    grid->setFocus(Qt::MouseFocusReason);
    QApplication::processEvents();
    const int col = grid->Columns().IndexOfField(fieldName);
    const QModelIndex index = grid->model()->index(row, col);
    const QRect rect = grid->visualRect(index);
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, rect.center());
    QApplication::processEvents();
}

void ModuleTest::typeKeys(const QString &text)
{
    for (QChar c : text) {
        QWidget *w = QApplication::focusWidget();
        if (!w)
            return;
        QTest::keyClick(w, c.toLatin1());
        QApplication::processEvents();
    }
}

void ModuleTest::pressKey(Qt::Key key, Qt::KeyboardModifiers mods)
{
    QWidget *w = QApplication::focusWidget();
    if (!w)
        return;
    QTest::keyClick(w, key, mods);
    QApplication::processEvents();
}

void ModuleTest::choose(QAbstractButton *radio)
{
    QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(8, radio->height() / 2));
    QApplication::processEvents();
}

void ModuleTest::typeInto(QLineEdit *box, const QString &text)
{
    QTest::mouseClick(box, Qt::LeftButton);
    QTest::keyClick(box, Qt::Key_Home);
    QTest::keyClicks(box, text);
    QApplication::processEvents();
}

bool ModuleTest::runDialog(const std::function<void(QDialog &)> &drive, const std::function<void()> &open,
                           QWidget *back)
{
    bool stayedOpen = false, shown = false;
    script->push(clientlib::Answer::dialog([&](QDialog &d) {
        shown = true;
        d.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&d));
        QPointer<QDialog> alive(&d);
        drive(d);
        stayedOpen = alive && alive->isVisible();
    }, false));
    open();
    // A dialog that never opened would leave every check in `drive` unrun and the test green.
    EXPECT_TRUE(shown) << "the dialog did not open; messages: " << script->messages().join(u'|').toStdString();
    if (back) {
        back->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(back));
    }
    return stayedOpen;
}

QMap<QString, QString> ModuleTest::stored(const std::string &sql) const
{
    QMap<QString, QString> out;
    for (const TestDb::Row &r : db->query(sql))
        out.insert(QString::fromStdString(r.at(0).value_or("")), QString::fromStdString(r.at(1).value_or("")));
    return out;
}

QStringList ModuleTest::texts(const QCborArray &params)
{
    QStringList out;
    for (const QCborValue &v : params)
        out << (v.isBool() ? QString::fromLatin1(v.toBool() ? "true" : "false") : v.toString());
    return out;
}

void ModuleTest::flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QApplication::processEvents();
}

void ModuleTest::clickButton(QAbstractButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
    QApplication::processEvents();
}

int ModuleTest::rowOf(vcl::TDBGrid *grid, const QString &field, const QString &value)
{
    dataset::TClientDataSet *cds = grid->DataSource()->DataSet();
    const int f = cds->FieldByName(field)->Index();
    for (int r = 0; r < cds->rowCount(); ++r) {
        if (cds->valueAt(r, f).value_or(QString()) == value)
            return r;
    }
    return -1;
}

::testing::AssertionResult ModuleTest::databaseShows(dataset::TClientDataSet *cds, const QString &keyField,
                                                     const std::string &sql, const TestDb::Row &params) const
{
    QMap<QString, QString> stored;
    for (const TestDb::Row &r : db->query(sql, params))
        stored.insert(QString::fromStdString(r.at(0).value_or("")), QString::fromStdString(r.at(1).value_or("")));
    const int key = cds->FieldByName(keyField)->Index();
    const int group = cds->FieldByName(QStringLiteral("CDGRUPOFISC"))->Index();
    if (stored.size() != cds->rowCount())
        return ::testing::AssertionFailure() << "the database holds " << stored.size() << " rows, the grid shows "
                                             << cds->rowCount();
    for (int r = 0; r < cds->rowCount(); ++r) {
        const QString k = cds->valueAt(r, key).value_or(QString());
        const QString shown = cds->valueAt(r, group).value_or(QString());
        if (!stored.contains(k))
            return ::testing::AssertionFailure() << k.toStdString() << " is not in the database";
        if (stored.value(k) != shown)
            return ::testing::AssertionFailure() << k.toStdString() << ": the grid shows '" << shown.toStdString()
                                                 << "', the database holds '" << stored.value(k).toStdString() << "'";
    }
    return ::testing::AssertionSuccess();
}

} // namespace fiscal::test
