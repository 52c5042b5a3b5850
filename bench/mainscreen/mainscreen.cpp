#include "mainscreen.h"

#include "benchsupport.h"

#include "Pkg_Ger10200/mainscreen/frmparamgrupfiscal.h"
#include "Pkg_Ger10200/module.h"
#include "clientlib/hostservices.h"
#include "clientlib/settings.h"
#include "vcl/pagecontrol.h"

#include <QCoreApplication>
#include <QMdiArea>
#include <QTabBar>
#include <QTest>

#include <stdexcept>

extern "C" void IniProc();

namespace fiscal::bench {

MainScreen::MainScreen(std::uint16_t port, const std::string &db)
{
    auto &settings = clientlib::Settings::instance();
    settings.setServerHost(QStringLiteral("127.0.0.1"));
    settings.setServerPort(port);
    settings.setDatabase(QString::fromStdString(db));
    auto *mdi = new QMdiArea;
    m_window.setCentralWidget(mdi);
    clientlib::setHostWindow(&m_window, mdi);
    m_window.resize(1024, 600);
    m_window.show();
    IniProc();
    const Deadline loading(600);
    while (!(ger10200::frmParamGrupFiscal && ger10200::frmParamGrupFiscal->isLoaded()) && !loading.passed())
        QTest::qWait(20);
    m_form = ger10200::frmParamGrupFiscal;
    if (!m_form || !m_form->isLoaded())
        throw std::runtime_error("the main screen did not load");
    QTabBar *tabs = m_form->pgcPadrao->tabBar();
    QTest::mouseClick(tabs, Qt::LeftButton, {}, tabs->tabRect(m_form->pgcPadrao->indexOf(m_form->tshCliente)).center());
    QCoreApplication::processEvents();
}

MainScreen::~MainScreen()
{
    m_form->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace fiscal::bench
