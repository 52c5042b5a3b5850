#include "vcl/controls.h"

#include "vcl/focuswatch.h"
#include "vcl/guard.h"

namespace fiscal::vcl {

TLabel::TLabel(const QString &caption, bool bold, QWidget *parent)
    : QLabel(caption, parent)
{
    setBold(bold);
}

void TLabel::setBold(bool bold)
{
    QFont f = font();
    f.setBold(bold);
    setFont(f);
}

TSpeedButton::TSpeedButton(QWidget *parent)
    : QToolButton(parent)
{
    setAutoRaise(true);
    setFocusPolicy(Qt::NoFocus);
    connect(this, &QToolButton::clicked, this, [this] {
        if (OnClick)
            guarded(OnClick);
    });
}

TRadioButton::TRadioButton(const QString &caption, QWidget *parent)
    : QRadioButton(caption, parent)
{
    // clicked() is the user's act; toggled() would also fire for setChecked() by code.
    connect(this, &QRadioButton::clicked, this, [this] {
        if (OnClick)
            guarded(OnClick);
    });
    FocusWatch::instance().setOnEnter(this, [this] { if (OnEnter) OnEnter(); });
    FocusWatch::instance().setOnExit(this, [this] { if (OnExit) OnExit(); });
}

} // namespace fiscal::vcl
