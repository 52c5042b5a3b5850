#include "mainwindow.h"

#include "aboutdialog.h"
#include "hostoptions.h"

#include "clientlib/interaction.h"
#include "clientlib/settings.h"
#include "clientlib/usersession.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileInfo>
#include <QLibrary>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPointer>
#include <QStatusBar>
#include <exception>

namespace {

// The host's catalogue of menu captions; a module it does not know shows its name.
QString moduleCaption(const QString &name)
{
    if (name.compare(QLatin1String("Pkg_Ger10200"), Qt::CaseInsensitive) == 0) {
        return QStringLiteral("Parâmetros de Grupo Fiscal");
    }
    return name;
}

} // namespace

struct HostWindow::Module {
    QString path;
    QString name;
    QLibrary library;
    void (*iniProc)() = nullptr;
    QString error;
    QAction *action = nullptr;
};

HostWindow::HostWindow(QWidget *parent) : QMainWindow(parent)
{
    m_mdi = new QMdiArea(this);
    m_mdi->setObjectName(QStringLiteral("mdiArea"));
    // A screen of fixed size wider or taller than the area (a small laptop, a narrowed window)
    // stays reachable; QMdiArea has no scroll bars by default.
    m_mdi->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_mdi->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(m_mdi);

    // Each menu of the bar has a letter of its own, "&Usuário" and the open screen's
    // "&Operação" and "&Manutenção" too: two alike only take turns under Alt.
    m_modulesMenu = menuBar()->addMenu(QStringLiteral("Mó&dulos"));
    m_modulesEnd = m_modulesMenu->addSeparator();
    QAction *quit = m_modulesMenu->addAction(QStringLiteral("&Sair"));
    connect(quit, &QAction::triggered, this, &QWidget::close);

    QMenu *windows = menuBar()->addMenu(QStringLiteral("&Janela"));
    connect(windows->addAction(QStringLiteral("&Cascata")), &QAction::triggered, m_mdi, &QMdiArea::cascadeSubWindows);
    connect(windows->addAction(QStringLiteral("&Lado a lado")), &QAction::triggered, m_mdi, &QMdiArea::tileSubWindows);
    connect(windows->addAction(QStringLiteral("&Fechar todas")), &QAction::triggered, m_mdi, &QMdiArea::closeAllSubWindows);

    QMenu *help = menuBar()->addMenu(QStringLiteral("Ajud&a"));
    QAction *about = help->addAction(QStringLiteral("&Sobre"));
    about->setObjectName(QStringLiteral("actSobre"));
    connect(about, &QAction::triggered, this, &HostWindow::showAbout);

    connect(m_mdi, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow *sub) {
        if (sub) {
            // A screen may rename itself after it is shown.
            connect(sub, &QWidget::windowTitleChanged, this, &HostWindow::updateTitle, Qt::UniqueConnection);
        }
        updateTitle();
    });
    updateTitle();
    statusBar()->showMessage(QStringLiteral("Nenhum módulo carregado."));
}

HostWindow::~HostWindow() = default;

void HostWindow::updateTitle()
{
    const QMdiSubWindow *sub = m_mdi->activeSubWindow();
    setWindowTitle(sub && !sub->windowTitle().isEmpty()
                       ? QStringLiteral("%1 - %2").arg(sub->windowTitle(), applicationTitle())
                       : applicationTitle());
}

int HostWindow::loadModules(const QStringList &paths)
{
    QStringList status;
    int usable = 0;
    for (const QString &path : paths) {
        auto module = std::make_unique<Module>();
        module->path = path;
        module->name = moduleName(path);
        // A name without a folder is looked for where the host runs, as the check just made:
        // the loader alone would look along the system's library path.
        const QString file = QFileInfo(path).absoluteFilePath();
        if (!QFileInfo::exists(file)) {
            module->error = QStringLiteral("Módulo não encontrado: %1").arg(path);
        } else {
            module->library.setFileName(file);
            if (!module->library.load()) {
                module->error = QStringLiteral("Não foi possível carregar o módulo: %1").arg(module->library.errorString());
            } else {
                module->iniProc = reinterpret_cast<void (*)()>(module->library.resolve("IniProc"));
                if (!module->iniProc) {
                    module->error = QStringLiteral("O módulo %1 não exporta IniProc.").arg(path);
                }
            }
        }
        auto *action = new QAction(moduleCaption(module->name), this);
        action->setObjectName(QStringLiteral("actIniProc_%1").arg(module->name));
        action->setEnabled(module->iniProc != nullptr);
        action->setStatusTip(module->error);
        const int index = int(m_modules.size());
        connect(action, &QAction::triggered, this, [this, index] { runModule(index); });
        m_modulesMenu->insertAction(m_modulesEnd, action);
        module->action = action;
        if (module->iniProc) {
            ++usable;
            status << QStringLiteral("Módulo carregado: %1").arg(QFileInfo(path).fileName());
        } else {
            status << module->error;
        }
        m_modules.push_back(std::move(module));
    }
    if (paths.isEmpty()) {
        status << QStringLiteral("Nenhum módulo configurado.");
    }
    statusBar()->showMessage(status.join(QStringLiteral("; ")));
    return usable;
}

bool HostWindow::moduleLoaded(int index) const
{
    return index >= 0 && index < moduleCount() && m_modules[size_t(index)]->iniProc;
}

QString HostWindow::moduleError(int index) const
{
    if (index < 0 || index >= moduleCount()) {
        return QStringLiteral("Nenhum módulo configurado.");
    }
    return m_modules[size_t(index)]->error;
}

QFunctionPointer HostWindow::moduleSymbol(int index, const char *name) const
{
    return moduleLoaded(index) ? m_modules[std::size_t(index)]->library.resolve(name) : nullptr;
}

bool HostWindow::runModule(int index)
{
    if (!moduleLoaded(index)) {
        return false;
    }
    // The module handles its own errors; this only keeps anything it lets through from
    // crossing the event loop.
    using namespace fiscal::clientlib;
    try {
        m_modules[size_t(index)]->iniProc();
        return true;
    } catch (const std::exception &e) {
        interaction().message(mtError, messageTitle(mtError), QString::fromUtf8(e.what()), mbOK, this);
    } catch (...) {
        interaction().message(mtError, messageTitle(mtError), QStringLiteral("Falha ao abrir o módulo."), mbOK, this);
    }
    return false;
}

void HostWindow::closeEvent(QCloseEvent *event)
{
    // One screen at a time, stopping at the first that stays open (its "Cancelar"): the
    // program is not closing then, and the screens after it must not be asked, or closed,
    // as if it were. closeAllSubWindows() goes on past a refusal.
    const QList<QMdiSubWindow *> screens = m_mdi->subWindowList();
    for (const QPointer<QMdiSubWindow> &sub : QList<QPointer<QMdiSubWindow>>(screens.begin(), screens.end())) {
        if (sub && sub->isVisible() && !sub->close()) {
            event->ignore();
            return;
        }
    }
    QMainWindow::closeEvent(event);
}

void HostWindow::showAbout()
{
    using namespace fiscal::clientlib;
    const Settings &settings = Settings::instance();
    AboutFacts facts;
    facts.server = settings.serverAddress();
    facts.token = !settings.token().isEmpty();
    // Who the server records: the signed-in user, else the declared one.
    const UserSession &session = UserSession::instance();
    facts.user = !session.signedIn() ? settings.user()
                 : session.fullName().isEmpty() || session.fullName() == session.login()
                     ? session.login()
                     : QStringLiteral("%1 (%2)").arg(session.fullName(), session.login());
    facts.database = settings.database();
    for (const auto &m : m_modules) {
        const QString caption = m->action->text() == m->name ? m->name
                                                             : QStringLiteral("%1 (%2)").arg(m->action->text(), m->name);
        facts.modules << (m->iniProc ? caption : QStringLiteral("%1: %2").arg(m->name, m->error));
    }
    AboutDialog dialog(facts, this);
    interaction().runModal(dialog);
}
