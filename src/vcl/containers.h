#pragma once
// Containers: TPanel (a QFrame) and TGroupBox.
//   Caption()/setCaption()   TGroupBox's title; TPanel shows no caption
//   OnEnter(), OnExit()      the focus comes into the container from outside / leaves it
//                            (focuswatch.h); OnExit may throw to keep the focus inside
//   setChildrenEnabled(c, b) enables or disables every widget inside a container

#include <QFrame>
#include <QGroupBox>
#include <functional>

namespace fiscal::vcl {

class TPanel : public QFrame {
    Q_OBJECT
public:
    explicit TPanel(QWidget *parent = nullptr);

    std::function<void()> OnEnter;
    std::function<void()> OnExit;
};

class TGroupBox : public QGroupBox {
    Q_OBJECT
public:
    explicit TGroupBox(const QString &caption = {}, QWidget *parent = nullptr);

    QString Caption() const { return title(); }
    void setCaption(const QString &caption) { setTitle(caption); }

    std::function<void()> OnEnter;
    std::function<void()> OnExit;
};

void setChildrenEnabled(QWidget *container, bool enabled);

} // namespace fiscal::vcl
