#pragma once
// The "Sobre" box of the host: name and version, the server and the database in use, the
// modules loaded. Built from plain values so that it shows what the host really uses.

#include <QDialog>
#include <QStringList>

struct AboutFacts {
    QString server;            // "http://HOST:PORTA"
    bool token = false;        // a token is sent (never shown)
    QString user;              // the user the host names in its calls
    QString database;          // as configured; a password in it is hidden
    QStringList modules;       // one line per module
};

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(const AboutFacts &facts, QWidget *parent = nullptr);
};

// The database as the box shows it: a PostgreSQL password (URL or key=value form) becomes
// "***"; an empty setting says so.
QString displayedDatabase(const QString &database);
