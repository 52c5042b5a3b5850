#pragma once
// Small controls the screens use.
//
//   TLabel(caption, bold)          Caption()/setCaption(), setBold()
//   TSpeedButton / TButtonFlat     flat tool button: Hint()/setHint() (tool tip),
//                                  OnClick(); takes no focus when clicked, as a tool-bar
//                                  button must not trigger the exit check of a box
//   TRadioButton                   Checked()/setChecked(), OnClick() after a click or a
//                                  keyboard selection (not when set by code);
//                                  OnEnter()/OnExit() as for boxes
// Handlers run through guarded().

#include <QLabel>
#include <QRadioButton>
#include <QToolButton>
#include <functional>

namespace fiscal::vcl {

class TLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLabel(const QString &caption = {}, bool bold = false, QWidget *parent = nullptr);
    QString Caption() const { return text(); }
    void setCaption(const QString &caption) { setText(caption); }
    void setBold(bool bold);
};

class TSpeedButton : public QToolButton {
    Q_OBJECT
public:
    explicit TSpeedButton(QWidget *parent = nullptr);
    QString Hint() const { return toolTip(); }
    // The hint is also the button's name for screen readers: most of them show only an icon.
    void setHint(const QString &hint)
    {
        setToolTip(hint);
        setAccessibleName(hint);
    }
    std::function<void()> OnClick;
};

using TButtonFlat = TSpeedButton;

class TRadioButton : public QRadioButton {
    Q_OBJECT
public:
    explicit TRadioButton(const QString &caption = {}, QWidget *parent = nullptr);
    bool Checked() const { return isChecked(); }
    std::function<void()> OnClick;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;
};

} // namespace fiscal::vcl
