#include "vcl/toolbutton.h"

namespace fiscal::vcl {

QToolButton *newToolButton(QWidget *parent, const char *name, const QString &text, QStyle::StandardPixmap icon)
{
    auto *b = new QToolButton(parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setText(text);
    b->setToolTip(text);
    b->setIcon(parent->style()->standardIcon(icon));
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    return b;
}

} // namespace fiscal::vcl
