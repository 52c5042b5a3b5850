#pragma once
// The tool buttons of the coverage windows: icon and text side by side, the text as tip.

#include <QStyle>
#include <QToolButton>

namespace fiscal::coverage::detail {

inline QToolButton *toolButton(QWidget *parent, const char *name, const QString &text, QStyle::StandardPixmap icon)
{
    auto *b = new QToolButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setText(text);
    b->setToolTip(text);
    b->setIcon(parent->style()->standardIcon(icon));
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    return b;
}

} // namespace fiscal::coverage::detail
