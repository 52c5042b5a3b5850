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

ChoiceRows::ChoiceRows(int count, int columns, Text display, Text value)
    : m_count(count), m_columns(columns), m_display(std::move(display)), m_value(std::move(value))
{
}

ChoiceRows::ChoiceRows(const QList<QStringList> &rows) : m_count(int(rows.size()))
{
    for (const QStringList &row : rows)
        m_columns = std::max(m_columns, int(row.size()));
    m_display = [rows](int r, int c) { return rows.at(r).value(c); };
}

QString ChoiceRows::text(int row, int column) const
{
    return m_display && row >= 0 && row < m_count ? m_display(row, column) : QString();
}

QString ChoiceRows::value(int row, int column) const
{
    return m_value ? (row >= 0 && row < m_count ? m_value(row, column) : QString()) : text(row, column);
}

QStringList ChoiceRows::at(int row) const
{
    QStringList texts;
    for (int c = 0; c < m_columns; ++c)
        texts.append(text(row, c));
    return texts;
}

ChoiceRows ChoiceRows::fixed() const
{
    QList<QStringList> shown;
    QList<QStringList> values;
    for (int r = 0; r < m_count; ++r) {
        shown.append(at(r));
        if (m_value) {
            QStringList v;
            for (int c = 0; c < m_columns; ++c)
                v.append(m_value(r, c));
            values.append(v);
        }
    }
    ChoiceRows copy(shown);
    copy.m_columns = m_columns;
    if (m_value)
        copy.m_value = [values](int r, int c) { return values.at(r).value(c); };
    return copy;
}

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
