#include "clientlib/messages.h"

#include "clientlib/waitanimation.h"
#include "dataset/abort.h"

#include <QApplication>
#include <QWidget>

namespace fiscal::clientlib {

TMessages::TMessages(QObject *parent) : QObject(parent)
{
}

void TMessages::setStrings(const QStringList &rows)
{
    m_rows = rows;
}

void TMessages::add(const QString &row)
{
    m_rows.append(row);
}

const QString *TMessages::find(const QString &key) const
{
    const QString wanted = key.trimmed();
    for (const QString &row : m_rows) {
        const qsizetype bar = row.indexOf(QLatin1Char('|'));
        const QStringView rowKey = bar < 0 ? QStringView(row) : QStringView(row).left(bar);
        if (rowKey.trimmed().compare(wanted, Qt::CaseInsensitive) == 0) {
            return &row;
        }
    }
    return nullptr;
}

bool TMessages::hasKey(const QString &key) const
{
    return find(key) != nullptr;
}

QString TMessages::Msg(const QString &key) const
{
    const QString *row = find(key);
    if (!row) {
        return key;
    }
    const qsizetype bar = row->indexOf(QLatin1Char('|'));
    return bar < 0 ? QString() : row->mid(bar + 1);
}

int TMessages::ShowMsg(const QString &key, TMsgDlgType kind, TMsgDlgButtons buttons, int) const
{
    const QString text = Msg(key);
    QString title = messageTitle(kind);
    QString body = text;
    if (hasKey(key)) {
        const qsizetype bar = text.indexOf(QLatin1Char('|'));
        if (bar >= 0) {
            title = text.left(bar);
            body = text.mid(bar + 1);
        }
    }
    return interaction().message(kind, title, body, buttons, dialogParent(this));
}

QWidget *dialogParent(const QObject *near)
{
    for (const QObject *o = near; o; o = o->parent()) {
        if (o->isWidgetType()) {
            return const_cast<QWidget *>(static_cast<const QWidget *>(o))->window();
        }
    }
    return QApplication::activeWindow();
}

void MensErro(const QString &text, bool)
{
    DeactiveShowAvi();
    interaction().message(mtError, messageTitle(mtError), text, mbOK, dialogParent());
    Abort();
}

void Abort()
{
    throw dataset::EAbort();
}

} // namespace fiscal::clientlib
