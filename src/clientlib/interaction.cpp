#include "clientlib/interaction.h"

#include "clientlib/qtinteraction.h"
#include "clientlib/errorreporter_p.h"

#include <QCoreApplication>

namespace fiscal::clientlib {

namespace {

// The service every screen of the process uses; cleared when it is destroyed.
Interaction *g_service = nullptr;

Interaction *current() { return g_service; }
void store(Interaction *service) { g_service = service; }

} // namespace

int ChoiceTable::column(const QString &fieldName) const
{
    for (int i = 0; i < fieldNames.size(); ++i) {
        if (fieldNames.at(i).compare(fieldName, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
}

Interaction::~Interaction()
{
    if (current() == this) {
        store(nullptr);
    }
}

Interaction &interaction()
{
    Interaction *service = current();
    if (!service) {
        // The default lives as long as the application (or the process, without one).
        service = new QtInteraction(QCoreApplication::instance());
        store(service);
    }
    detail::ensureErrorReporter();
    return *service;
}

std::unique_ptr<Interaction> setInteraction(std::unique_ptr<Interaction> service)
{
    Interaction *previous = current();
    Interaction *next = service.release();
    store(next);
    detail::ensureErrorReporter();
    if (previous) {
        previous->setParent(nullptr);
    }
    return std::unique_ptr<Interaction>(previous);
}

InteractionScope::InteractionScope(std::unique_ptr<Interaction> service)
    : m_previous(setInteraction(std::move(service)))
{
}

InteractionScope::~InteractionScope()
{
    // Deletes the scoped service; the previous one comes back.
    setInteraction(std::move(m_previous));
}

QString messageTitle(TMsgDlgType kind)
{
    switch (kind) {
    case mtWarning: return QStringLiteral("Atenção");
    case mtError: return QStringLiteral("Erro");
    case mtInformation: return QStringLiteral("Informação");
    case mtConfirmation: return QStringLiteral("Confirmação");
    }
    return QString();
}

} // namespace fiscal::clientlib
