#pragma once
// The tool buttons of the plain Qt windows (reports, history): icon and text side by side,
// the text also as the tip.
//
//   auto *b = vcl::newToolButton(this, "sbtFechar", "Fechar", QStyle::SP_DialogCloseButton);

#include <QStyle>
#include <QToolButton>

namespace fiscal::vcl {

QToolButton *newToolButton(QWidget *parent, const char *name, const QString &text, QStyle::StandardPixmap icon);

} // namespace fiscal::vcl
