#include "vcl/dbgridfindbar_p.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace fiscal::vcl {
namespace {

QToolButton *barButton(QWidget *parent, const QString &text, const QString &tip)
{
    auto *b = new QToolButton(parent);
    b->setText(text);
    b->setToolTip(tip);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::NoFocus);
    return b;
}

} // namespace

GridFindBar::GridFindBar(QWidget *parent)
    : QWidget(parent)
    , m_edit(new QLineEdit(this))
    , m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("findBar"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Window);
    m_edit->setObjectName(QStringLiteral("findText"));
    m_edit->installEventFilter(this);
    m_status->setObjectName(QStringLiteral("findStatus"));

    auto *label = new QLabel(QStringLiteral("Localizar:"), this);
    label->setBuddy(m_edit);
    QToolButton *previous = barButton(this, QStringLiteral("▲"), QStringLiteral("Anterior (Shift+F3)"));
    QToolButton *next = barButton(this, QStringLiteral("▼"), QStringLiteral("Próximo (F3)"));
    QToolButton *close = barButton(this, QStringLiteral("✕"), QStringLiteral("Fechar (Esc)"));
    previous->setObjectName(QStringLiteral("findPrevious"));
    next->setObjectName(QStringLiteral("findNext"));
    close->setObjectName(QStringLiteral("findClose"));

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(4, 2, 2, 2);
    row->setSpacing(4);
    row->addWidget(label);
    row->addWidget(m_edit, 1);
    row->addWidget(previous);
    row->addWidget(next);
    row->addWidget(m_status, 1);
    row->addWidget(close);

    connect(m_edit, &QLineEdit::textEdited, this, &GridFindBar::textEdited);
    connect(previous, &QToolButton::clicked, this, [this] { Q_EMIT findRequested(false); });
    connect(next, &QToolButton::clicked, this, [this] { Q_EMIT findRequested(true); });
    connect(close, &QToolButton::clicked, this, &GridFindBar::closeRequested);
}

QString GridFindBar::text() const { return m_edit->text(); }

void GridFindBar::setStatus(const QString &status) { m_status->setText(status); }

QString GridFindBar::status() const { return m_status->text(); }

bool GridFindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_edit || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool shift = key->modifiers() & Qt::ShiftModifier;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_F3:
        Q_EMIT findRequested(!shift);
        return true;
    case Qt::Key_Escape:
        Q_EMIT closeRequested();
        return true;
    default:
        return QWidget::eventFilter(watched, event);
    }
}

} // namespace fiscal::vcl
