#include "vcl/dialogkeys.h"

#include <QDialog>
#include <QKeyEvent>
#include <QPushButton>

namespace fiscal::vcl {

namespace {

class EnterOnFocusedButton : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            || (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        // A focused button without auto-default passes Enter up to here.
        if (auto *button = qobject_cast<QPushButton *>(static_cast<QWidget *>(watched)->focusWidget());
            button && button->isEnabled()) {
            button->click();
        }
        return true;
    }
};

} // namespace

void enterClicksOnlyTheFocusedButton(QDialog *dialog)
{
    for (QPushButton *b : dialog->findChildren<QPushButton *>()) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    dialog->installEventFilter(new EnterOnFocusedButton(dialog));
}

} // namespace fiscal::vcl
