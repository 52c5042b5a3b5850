#pragma once
// The platform's named colours and a way to give a box its background.
//
//   clInfoBk()            pale-yellow information colour (the palette's ToolTipBase)
//   clBtnFace()           button-face grey (the palette's Button)
//   setColor(w, colour)   background of a box, grid or panel

#include <QColor>

class QWidget;

namespace fiscal::vcl {

QColor clInfoBk();
QColor clBtnFace();
void setColor(QWidget *w, const QColor &colour);

} // namespace fiscal::vcl
