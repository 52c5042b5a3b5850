#include "vcl/containers.h"

#include "vcl/focuswatch.h"

namespace fiscal::vcl {

TPanel::TPanel(QWidget *parent)
    : QFrame(parent)
{
    setFrameShape(QFrame::NoFrame);
    FocusWatch::instance().setOnEnter(this, [this] { if (OnEnter) OnEnter(); });
    FocusWatch::instance().setOnExit(this, [this] { if (OnExit) OnExit(); });
}

TGroupBox::TGroupBox(const QString &caption, QWidget *parent)
    : QGroupBox(caption, parent)
{
    FocusWatch::instance().setOnEnter(this, [this] { if (OnEnter) OnEnter(); });
    FocusWatch::instance().setOnExit(this, [this] { if (OnExit) OnExit(); });
}

void setChildrenEnabled(QWidget *container, bool enabled)
{
    const auto children = container->findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    for (QWidget *w : children)
        w->setEnabled(enabled);
}

} // namespace fiscal::vcl
