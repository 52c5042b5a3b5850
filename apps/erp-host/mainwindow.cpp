#include "mainwindow.h"

#include <QAction>
#include <QFileInfo>
#include <QMdiArea>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <exception>

HostWindow::HostWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Sistema de Gestão"));
    m_mdi = new QMdiArea(this);
    m_mdi->setObjectName(QStringLiteral("mdiArea"));
    setCentralWidget(m_mdi);

    QMenu *modules = menuBar()->addMenu(QStringLiteral("&Módulos"));
    m_moduleAction = modules->addAction(QStringLiteral("&Parâmetros de Grupo Fiscal"));
    m_moduleAction->setObjectName(QStringLiteral("actIniProc"));
    m_moduleAction->setEnabled(false);
    connect(m_moduleAction, &QAction::triggered, this, [this] { runModule(); });
    modules->addSeparator();
    QAction *quit = modules->addAction(QStringLiteral("&Sair"));
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu *windows = menuBar()->addMenu(QStringLiteral("&Janela"));
    connect(windows->addAction(QStringLiteral("&Cascata")), &QAction::triggered, m_mdi, &QMdiArea::cascadeSubWindows);
    connect(windows->addAction(QStringLiteral("&Lado a lado")), &QAction::triggered, m_mdi, &QMdiArea::tileSubWindows);
    connect(windows->addAction(QStringLiteral("&Fechar todas")), &QAction::triggered, m_mdi, &QMdiArea::closeAllSubWindows);

    statusBar()->showMessage(QStringLiteral("Nenhum módulo carregado."));
}

bool HostWindow::loadModule(const QString &path)
{
    m_iniProc = nullptr;
    if (path.isEmpty()) {
        m_moduleError = QStringLiteral("Nenhum módulo configurado.");
    } else if (!QFileInfo::exists(path)) {
        m_moduleError = QStringLiteral("Módulo não encontrado: %1").arg(path);
    } else {
        m_library.setFileName(path);
        if (!m_library.load()) {
            m_moduleError = QStringLiteral("Não foi possível carregar o módulo: %1").arg(m_library.errorString());
        } else {
            m_iniProc = reinterpret_cast<void (*)()>(m_library.resolve("IniProc"));
            if (!m_iniProc) {
                m_moduleError = QStringLiteral("O módulo %1 não exporta IniProc.").arg(path);
            }
        }
    }
    m_moduleAction->setEnabled(m_iniProc != nullptr);
    statusBar()->showMessage(m_iniProc ? QStringLiteral("Módulo carregado: %1").arg(QFileInfo(path).fileName())
                                       : m_moduleError);
    return m_iniProc != nullptr;
}

bool HostWindow::runModule()
{
    if (!m_iniProc) {
        return false;
    }
    // The module handles its own errors; this only keeps anything it lets through from
    // crossing the event loop.
    try {
        m_iniProc();
        return true;
    } catch (const std::exception &e) {
        QMessageBox::critical(this, QStringLiteral("Erro"), QString::fromUtf8(e.what()));
    } catch (...) {
        QMessageBox::critical(this, QStringLiteral("Erro"), QStringLiteral("Falha ao abrir o módulo."));
    }
    return false;
}
