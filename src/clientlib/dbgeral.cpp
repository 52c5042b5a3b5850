#include "clientlib/dbgeral.h"

#include "clientlib/settings.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cerrno>
#include <iostream>

namespace fiscal::clientlib {

QString databaseFailureText(const std::exception &e)
{
    std::cerr << "erp-host: banco de dados: " << e.what() << std::endl;
    const auto *failure = dynamic_cast<const storage::Error *>(&e);
    using K = storage::Error::Kind;
    switch (failure ? failure->kind() : K::Other) {
    case K::Connection:
        return QStringLiteral("o banco de dados não respondeu, recusou a conexão ou não pôde ser aberto. Confira se "
                              "ele está disponível e o endereço configurado; se continuar, avise o administrador do "
                              "sistema.");
    case K::Busy:
    case K::Locked:
        return QStringLiteral("o banco de dados está ocupado com outra operação. Tente novamente.");
    case K::Timeout:
        return QStringLiteral("a consulta passou do tempo limite do banco de dados. Tente novamente; se continuar, "
                              "avise o administrador do sistema.");
    case K::Syntax:
        return QStringLiteral("o banco de dados recusou a consulta (uma tabela que falta, ou sem permissão de "
                              "leitura). Avise o administrador do sistema.");
    case K::Full:
        return QStringLiteral("não há espaço livre no disco do banco de dados. Avise o administrador do sistema.");
    case K::Constraint:
    case K::ReadOnly:
    case K::Other:
        break;
    }
    return QStringLiteral("o banco de dados não atendeu à consulta. Avise o administrador do sistema.");
}

storage::Connection &TdtmDBGeral::connection()
{
    const QString url = Settings::instance().database().trimmed();
    if (m_connection) {
        // Not while a read on another thread has it.
        const auto inUse = use();
        // The settings point elsewhere now (a test or the host switched databases), or the
        // database ended the session (a restart, a terminated backend): the desktop stays
        // open for days, and every lookup would fail until it was closed.
        if (url != m_url || m_connection->lostWhileIdle()) {
            m_connection.reset();
            m_url.clear();
        }
    }
    if (!m_connection) {
        if (url.isEmpty()) {
            throw EDatabaseError(QStringLiteral("Banco de dados não configurado."));
        }
        // The storage library's own reading of the text: any PostgreSQL connection string,
        // whatever keyword it starts with, is never taken for a file (nor shown: it may hold
        // a password).
        const bool postgres = storage::backendOf(url.toStdString()) == storage::Backend::Postgres;
        // Opening a missing SQLite file would create an empty database and every query
        // would fail later with a confusing message.
        if (!postgres && !QFileInfo::exists(url)) {
            // A folder the user may not enter hides the file as well: say which it is.
            struct stat st {};
            if (::stat(QFile::encodeName(url).constData(), &st) != 0 && errno == EACCES)
                throw EDatabaseError(QStringLiteral("Sem permissão para abrir o banco de dados: %1").arg(url));
            throw EDatabaseError(QStringLiteral("Banco de dados não encontrado: %1").arg(url));
        }
        try {
            m_connection = storage::open(url.toStdString());
        } catch (const std::exception &e) {
            // A file's path may be shown; a PostgreSQL address may hold a password.
            throw EDatabaseError(postgres ? QStringLiteral("Não foi possível abrir o banco de dados: %1").arg(databaseFailureText(e))
                                          : QStringLiteral("Não foi possível abrir o banco de dados %1: %2").arg(url, databaseFailureText(e)));
        }
        m_url = url;
    }
    return *m_connection;
}

storage::Backend TdtmDBGeral::backend()
{
    return connection().backend();
}

void TdtmDBGeral::close()
{
    const auto inUse = use();
    m_connection.reset();
    m_url.clear();
}

TdtmDBGeral &dtmDBGeral()
{
    static TdtmDBGeral module;
    return module;
}

} // namespace fiscal::clientlib
