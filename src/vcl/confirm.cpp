#include "vcl/confirm.h"

#include <QApplication>
#include <QMessageBox>

namespace fiscal::vcl {

namespace {

bool defaultConfirm(const QString &question)
{
    return QMessageBox::question(QApplication::activeWindow(), QStringLiteral("Confirmação"), question,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

ConfirmHandler &currentHandler()
{
    static ConfirmHandler handler = defaultConfirm;
    return handler;
}

} // namespace

bool confirm(const QString &question)
{
    const ConfirmHandler handler = currentHandler();
    return handler(question);
}

ConfirmHandler setConfirmHandler(ConfirmHandler handler)
{
    ConfirmHandler previous = currentHandler();
    currentHandler() = handler ? std::move(handler) : ConfirmHandler(defaultConfirm);
    return previous;
}

} // namespace fiscal::vcl
