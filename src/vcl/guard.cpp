#include "vcl/guard.h"

#include "dataset/abort.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <exception>

namespace fiscal::vcl {

namespace {

void defaultReporter(const QString &message)
{
    QMessageBox::critical(QApplication::activeWindow(), QStringLiteral("Erro"), message);
}

ErrorReporter &currentReporter()
{
    static ErrorReporter reporter = defaultReporter;
    return reporter;
}

} // namespace

ErrorReporter setErrorReporter(ErrorReporter reporter)
{
    ErrorReporter previous = currentReporter();
    currentReporter() = reporter ? std::move(reporter) : ErrorReporter(defaultReporter);
    return previous;
}

void reportError(const QString &message)
{
    // A copy: the reporter may replace itself while it runs.
    const ErrorReporter reporter = currentReporter();
    try {
        reporter(message);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "error reporter failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "error reporter failed\n");
    }
}

bool guarded(const std::function<void()> &fn)
{
    if (!fn)
        return true;
    try {
        fn();
        return true;
    } catch (const dataset::EAbort &) {
        // The silent abort: whoever threw it has already told the user.
    } catch (const std::exception &e) {
        reportError(QString::fromUtf8(e.what()));
    } catch (...) {
        reportError(QStringLiteral("Erro inesperado."));
    }
    return false;
}

} // namespace fiscal::vcl
