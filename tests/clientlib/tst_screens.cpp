// The base screens as a module uses them: created, shown in a host, closed, released.
#include "clientlib/forms.h"
#include "clientlib/frmpadraogrid.h"
#include "clientlib/frmrotigeral.h"
#include "clientlib/hostservices.h"
#include "scriptedinteraction.h"
#include "dataset/clientdataset.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTest>
#include "qtprint.h"

#include <gtest/gtest.h>

using namespace fiscal;
using namespace fiscal::clientlib;

namespace {

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class TfrmTeste : public TfrmPadraoGrid {
public:
    using TfrmPadraoGrid::TfrmPadraoGrid;
    QStringList trace;
    dataset::TClientDataSet cds;
protected:
    void FormCreate() override
    {
        TfrmPadraoGrid::FormCreate();
        trace << QStringLiteral("create");
        lblCodTela->setCaption(QStringLiteral("GER99999"));
        cds.addField(QStringLiteral("NOME"), 20);
        dataset::DataPacket p;
        p.fields = cds.FieldDefs();
        p.rows = {dataset::Row{QStringLiteral("Ana")}, dataset::Row{QStringLiteral("Bia")}};
        cds.setData(p);
        dtsPadrao->setDataSet(&cds);
    }
    void FormActivate() override { trace << QStringLiteral("activate"); }
    void FormClose() override
    {
        trace << QStringLiteral("close");
        closedTrace = trace;
        TfrmPadraoGrid::FormClose();
    }
public:
    static inline QStringList closedTrace;
};

class TfrmDialogo : public TfrmRotiGeral {
public:
    using TfrmRotiGeral::TfrmRotiGeral;
    static inline int closes = 0;
    static inline int confirms = 0;
protected:
    void FormClose() override { ++closes; }
    void sbtConfirmaClick() override
    {
        ++confirms;
        accept();
    }
};

TEST(TfrmPadraoGrid, EditAndCancelFollowTheBoundDataSet)
{
    QPointer<TfrmTeste> frm = CreateForm<TfrmTeste>();
    EXPECT_EQ(frm->trace, QStringList{QStringLiteral("create")});
    EXPECT_EQ(frm->dbtNome->text(), QStringLiteral("Ana"));

    struct Step { const char *what; bool alterar; bool cancelar; bool menuAlterar; dataset::TDataSetState state; };
    const Step steps[] = {
        {"browse", true, false, true, dataset::dsBrowse},
        {"edit", false, true, false, dataset::dsEdit},
        {"cancel", true, false, true, dataset::dsBrowse},
    };
    for (const Step &s : steps) {
        if (QString::fromUtf8(s.what) == QLatin1String("edit")) {
            QTest::mouseClick(frm->sbtAlterar, Qt::LeftButton);
        } else if (QString::fromUtf8(s.what) == QLatin1String("cancel")) {
            QTest::mouseClick(frm->sbtCancelar, Qt::LeftButton);
        }
        EXPECT_EQ(frm->cds.State(), s.state) << s.what;
        EXPECT_EQ(frm->sbtAlterar->isEnabled(), s.alterar) << s.what;
        EXPECT_EQ(frm->sbtCancelar->isEnabled(), s.cancelar) << s.what;
        EXPECT_EQ(frm->mnuAlterar->isEnabled(), s.menuAlterar) << s.what;
        for (QWidget *w : frm->idleControls()) {
            EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
        }
        for (QAction *a : frm->idleMenuEntries()) {
            EXPECT_FALSE(a->isEnabled()) << a->objectName().toStdString();
        }
    }
    // Every menu entry with a button follows it, the print entry too.
    for (const bool enabled : {false, true}) {
        frm->sbtImprimir->setEnabled(enabled);
        EXPECT_EQ(frm->mnuImprimir->isEnabled(), enabled);
    }
    delete frm.data();
}

TEST(TfrmPadraoGrid, ClosingInTheHostReleasesScreenAndSubWindow)
{
    QMainWindow host;
    auto *area = new QMdiArea(&host);
    host.setCentralWidget(area);
    host.resize(900, 500);
    host.show();
    setHostWindow(&host, area);

    for (const char *how : {"button", "subwindow", "code"}) {
        QPointer<TfrmTeste> frm = CreateForm<TfrmTeste>();
        frm->Show();
        QPointer<QMdiSubWindow> sub = frm->SubWindow();
        ASSERT_TRUE(sub) << how;
        EXPECT_EQ(area->subWindowList().size(), 1) << how;
        frm->Activate();

        if (QString::fromUtf8(how) == QLatin1String("button")) {
            QTest::mouseClick(frm->sbtFechar, Qt::LeftButton);
        } else if (QString::fromUtf8(how) == QLatin1String("subwindow")) {
            sub->close();
        } else {
            frm->close();
        }
        flushDeletes();
        EXPECT_TRUE(frm.isNull()) << how << ": the screen is released";
        EXPECT_TRUE(sub.isNull()) << how << ": so is its sub-window";
        EXPECT_TRUE(area->subWindowList().isEmpty()) << how;
        EXPECT_EQ(TfrmTeste::closedTrace.count(QStringLiteral("close")), 1) << how;
        EXPECT_TRUE(TfrmTeste::closedTrace.contains(QStringLiteral("activate"))) << how;
    }
    setHostWindow(nullptr, nullptr);
}

TEST(TfrmPadraoGrid, RestoreNormalBringsAMinimisedScreenBack)
{
    QMainWindow host;
    auto *area = new QMdiArea(&host);
    host.setCentralWidget(area);
    host.show();
    setHostWindow(&host, area);
    QPointer<TfrmTeste> frm = CreateForm<TfrmTeste>();
    frm->Show();
    frm->SubWindow()->showMinimized();
    EXPECT_TRUE(frm->IsMinimized());
    frm->RestoreNormal();
    EXPECT_FALSE(frm->IsMinimized());
    frm->close();
    flushDeletes();
    EXPECT_TRUE(frm.isNull());
    setHostWindow(nullptr, nullptr);
}

TEST(TfrmRotiGeral, EveryWayOfEndingRunsFormCloseOnceAndReleases)
{
    auto s = std::make_unique<ScriptedInteraction>();
    ScriptedInteraction *script = s.get();
    InteractionScope scope(std::move(s));

    struct Case { const char *how; int result; };
    const Case cases[] = {{"confirm", QDialog::Accepted}, {"escape", QDialog::Rejected}, {"close", QDialog::Rejected}};
    for (const Case &c : cases) {
        TfrmDialogo::closes = 0;
        TfrmDialogo::confirms = 0;
        QPointer<TfrmDialogo> dlg = CreateForm<TfrmDialogo>();
        dlg->setClientSize(365, 131);
        const QString how = QString::fromUtf8(c.how);
        script->push(Answer::dialog([&](QDialog &d) {
            if (how == QLatin1String("confirm")) {
                QTest::mouseClick(dlg->sbtConfirma, Qt::LeftButton);
            } else if (how == QLatin1String("escape")) {
                QTest::keyClick(&d, Qt::Key_Escape);
            } else {
                d.close();
            }
        }, false));
        EXPECT_EQ(interaction().runModal(*dlg), c.result) << c.how;
        flushDeletes();
        EXPECT_TRUE(dlg.isNull()) << c.how;
        EXPECT_EQ(TfrmDialogo::closes, 1) << c.how;
        EXPECT_EQ(TfrmDialogo::confirms, how == QLatin1String("confirm") ? 1 : 0) << c.how;
    }
    EXPECT_TRUE(script->problems().isEmpty()) << script->problems().join('\n').toStdString();
}

struct TfrmFalha : TfrmRotiGeral {
    static inline QPointer<TfrmRotiGeral> last;
    TfrmFalha() { last = this; }
    void FormCreate() override { throw std::runtime_error("sem conexão"); }
};

TEST(CreateForm, AFailingCreateReleasesTheScreen)
{
    EXPECT_THROW(CreateForm<TfrmFalha>(), std::runtime_error);
    EXPECT_TRUE(TfrmFalha::last.isNull());
}

} // namespace
