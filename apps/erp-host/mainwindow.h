#pragma once
// The host's MDI main window: a "Módulos" menu with one entry per configured module (its
// exported IniProc), a "Janela" menu, an "Ajuda" menu with "Sobre", and the MDI area the
// module screens live in. The title bar names the active screen and the application.

#include <QMainWindow>
#include <memory>
#include <vector>

class QAction;
class QLibrary;
class QMdiArea;
class QMenu;

class HostWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit HostWindow(QWidget *parent = nullptr);
    ~HostWindow() override;

    QMdiArea *mdiArea() const { return m_mdi; }

    // Loads each module library and resolves its IniProc, one "Módulos" entry per module.
    // A module that cannot be used keeps a disabled entry and says why in the status bar;
    // returns how many modules are usable.
    int loadModules(const QStringList &paths);
    int moduleCount() const { return int(m_modules.size()); }
    bool moduleLoaded(int index) const;
    QString moduleError(int index) const;

    // Calls the module's IniProc; false when it has none or it failed.
    bool runModule(int index);
    // Another function the module exports (nullptr when it has none).
    QFunctionPointer moduleSymbol(int index, const char *name) const;

    // The "Sobre" box: the version, the server and the database this host uses.
    void showAbout();

protected:
    // The screens close first; one that keeps changes the user did not let go of keeps the
    // program open.
    void closeEvent(QCloseEvent *event) override;

private:
    struct Module;
    void updateTitle();

    QMdiArea *m_mdi = nullptr;
    QMenu *m_modulesMenu = nullptr;
    QAction *m_modulesEnd = nullptr;
    std::vector<std::unique_ptr<Module>> m_modules;
};
