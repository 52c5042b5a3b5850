#pragma once
// The help window ("frmAjuda"): a manual's table of contents and search on the left, the
// page on the right. One per process; help.h finds it and opens it at a page.

#include "help/manual.h"

#include <QWidget>

class QLineEdit;
class QListWidget;
class QTabWidget;
class QTextBrowser;
class QTreeWidget;

namespace fiscal::help {

class HelpWindow : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString currentPage READ currentPage)
    Q_PROPERTY(QString manualName READ manualName)
public:
    explicit HelpWindow(const Manual &manual, QWidget *parent = nullptr);

    QString manualName() const { return m_manual.name(); }
    // Id of the page shown.
    QString currentPage() const;
    Q_INVOKABLE void showPage(const QString &id);
    // Runs a search as typed into the search box; the hits are listed by page title.
    Q_INVOKABLE void search(const QString &words);

    QTreeWidget *contents() const { return m_contents; }
    QListWidget *results() const { return m_results; }
    QTextBrowser *browser() const { return m_browser; }

private:
    // The contents follow the page shown, also one reached through a link.
    void syncContents(const QUrl &url);

    Manual m_manual;
    QTabWidget *m_tabs;
    QTreeWidget *m_contents;
    QLineEdit *m_searchBox;
    QListWidget *m_results;
    QTextBrowser *m_browser;
};

} // namespace fiscal::help
