#include "testhooks.h"

#include "vcl/confirm.h"
#include "vcl/guard.h"

#include <QList>
#include <gtest/gtest.h>

namespace vcltest {

namespace {
QList<bool> &answers()
{
    static QList<bool> a;
    return a;
}
} // namespace

QStringList &errors()
{
    static QStringList e;
    return e;
}

QStringList &questions()
{
    static QStringList q;
    return q;
}

void answerNext(bool yes)
{
    answers().append(yes);
}

void resetHooks()
{
    errors().clear();
    questions().clear();
    answers().clear();
}

void installHooks()
{
    fiscal::vcl::setErrorReporter([](const QString &m) { errors().append(m); });
    fiscal::vcl::setConfirmHandler([](const QString &q) {
        questions().append(q);
        if (answers().isEmpty()) {
            ADD_FAILURE() << "unscripted confirmation: " << q.toStdString();
            return false;
        }
        return answers().takeFirst();
    });
}

} // namespace vcltest
