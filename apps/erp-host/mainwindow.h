#pragma once
// The host's MDI main window: a "Módulos" menu with one entry per loaded module (its
// exported IniProc), a "Janela" menu, and the MDI area the module screens live in.

#include <QLibrary>
#include <QMainWindow>

class QAction;
class QMdiArea;

class HostWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit HostWindow(QWidget *parent = nullptr);

    QMdiArea *mdiArea() const { return m_mdi; }

    // Loads the module library and resolves IniProc; false (with a status message) when
    // the library or the entry is missing; the menu entry stays disabled then.
    bool loadModule(const QString &path);
    bool moduleLoaded() const { return m_iniProc != nullptr; }
    QString moduleError() const { return m_moduleError; }

    // Calls the module's IniProc; false when there is none or it failed.
    bool runModule();

private:
    QMdiArea *m_mdi = nullptr;
    QAction *m_moduleAction = nullptr;
    QLibrary m_library;
    void (*m_iniProc)() = nullptr;
    QString m_moduleError;
};
