#include "screenshot.h"

#include "hostoptions.h"
#include "mainwindow.h"

#include "clientlib/hostservices.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QImage>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <cstdio>

namespace {

constexpr ScreenshotDialog kDialogs[] = {
    {"automatico", 1, "mnuCadAutomatico"},
    {"replica", 9, "mnuReplica"},
    {"impinscesta", 9, "mnuCadAutomatico"},
    {"historico", 1, "mnuHistorico"},
    {"operacoes", 1, "mnuOperacoes"},
};

QWidget *loadedScreen(QMdiArea *area)
{
    for (QMdiSubWindow *sub : area->subWindowList()) {
        if (fiscal::clientlib::isScreenLoaded(sub->widget()))
            return sub->widget();
    }
    return nullptr;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "erp-host: %s\n", qPrintable(message));
    return 1;
}

void settle(QApplication &app)
{
    for (int i = 0; i < 5; ++i) {
        app.processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
}

// The window as the user sees it: drawn with a plain frame and its title, over the host
// window where it stands (centred when it stands elsewhere).
void drawWindow(QPixmap &shot, QWidget &host, QWidget &window)
{
    const QPixmap content = window.grab();
    const int title = window.fontMetrics().height() + 8;
    const QSize framed(content.width() + 2, content.height() + title + 1);
    QPoint at = window.mapToGlobal(QPoint(0, 0)) - host.mapToGlobal(QPoint(0, 0)) - QPoint(1, title);
    if (!QRect(QPoint(0, 0), shot.size()).contains(QRect(at, framed)))
        at = QPoint((shot.width() - framed.width()) / 2, (shot.height() - framed.height()) / 2);
    QPainter p(&shot);
    const QPalette pal = window.palette();
    p.fillRect(QRect(at, framed), pal.color(QPalette::Highlight));
    p.setPen(pal.color(QPalette::HighlightedText));
    p.drawText(QRect(at + QPoint(6, 0), QSize(framed.width() - 12, title)), Qt::AlignVCenter | Qt::AlignLeft,
               window.windowTitle());
    p.drawPixmap(at + QPoint(1, title), content);
}

QWidget *visibleWindow(const char *name)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String(name) && w->isVisible())
            return w;
    }
    return nullptr;
}

// The window --window names, opened from the loaded screen as a person would; a null image
// when it did not come up in time. The coverage report is modal: it is grabbed from a timer
// while its dialog runs, then closed.
QImage grabWindow(QApplication &app, QWidget *screen, const HostOptions &options, QDeadlineTimer deadline)
{
    QImage image;
    if (options.window == QLatin1String("ajuda")) {
        if (auto *help = screen->findChild<QAbstractButton *>(QStringLiteral("sbtAjuda")))
            help->click();
        while (!visibleWindow("frmAjuda") && !deadline.hasExpired())
            app.processEvents(QEventLoop::AllEvents, 50);
        app.processEvents();
        if (QWidget *w = visibleWindow("frmAjuda"))
            image = w->grab().toImage();
        return image;
    }
    auto *action = screen->findChild<QAction *>(QStringLiteral("mnuCobertura"));
    if (!action)
        return image;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        QWidget *w = visibleWindow("frmCobertura");
        if (w && w->property("loaded").toBool()) {
            app.processEvents();
            image = w->grab().toImage();
        }
        if (w && (!image.isNull() || deadline.hasExpired())) {
            poll.stop();
            if (auto *dialog = qobject_cast<QDialog *>(w))
                dialog->reject();
        }
    });
    poll.start(50);
    action->trigger();
    return image;
}

// Runs the menu entry; while its modal dialog is up, draws it over the host and closes it.
int shootDialog(QApplication &app, HostWindow &window, QWidget &screen, const ScreenshotDialog &dialog,
                const QString &file)
{
    auto *action = screen.findChild<QAction *>(QString::fromLatin1(dialog.action));
    if (!action)
        return fail(QStringLiteral("a tela não tem o comando que abre \"%1\"").arg(QString::fromLatin1(dialog.name)));
    if (!action->isEnabled())
        return fail(QStringLiteral("o comando \"%1\" não está disponível nesta aba").arg(action->text().remove('&')));

    bool saved = false;
    bool shown = false;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
        QPointer<QWidget> modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        poll.stop();
        shown = true;
        settle(app);
        if (!modal)
            return;
        QPixmap shot = window.grab();
        drawWindow(shot, window, *modal);
        saved = shot.save(file);
        modal->close();
    });
    poll.start();
    action->trigger();   // returns when the dialog has closed
    poll.stop();
    settle(app);
    if (!shown)
        return fail(QStringLiteral("o comando \"%1\" não abriu nenhuma janela").arg(action->text().remove('&')));
    if (!saved)
        return fail(QStringLiteral("não foi possível gravar %1").arg(file));
    return 0;
}

} // namespace

std::span<const ScreenshotDialog> screenshotDialogs()
{
    return kDialogs;
}

const ScreenshotDialog *findScreenshotDialog(const QString &name)
{
    for (const ScreenshotDialog &d : kDialogs) {
        if (name == QLatin1String(d.name))
            return &d;
    }
    return nullptr;
}

QString screenshotDialogNames(const QString &separator)
{
    QStringList names;
    for (const ScreenshotDialog &d : kDialogs)
        names << QString::fromLatin1(d.name);
    return names.join(separator);
}

int takeScreenshot(QApplication &app, HostWindow &window, int module, const HostOptions &options)
{
    if (!window.moduleLoaded(module))
        return fail(window.moduleError(module));
    window.runModule(module);
    QDeadlineTimer deadline(options.screenshotTimeoutMs);
    while (!loadedScreen(window.mdiArea()) && !deadline.hasExpired()) {
        app.processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    QWidget *screen = loadedScreen(window.mdiArea());

    const ScreenshotDialog *dialog = findScreenshotDialog(options.screenshotDialog);
    const int tab = options.screenshotTab > 0 ? options.screenshotTab : (dialog ? dialog->tab : 0);
    if (screen && tab > 0) {
        auto *pages = screen->findChild<QTabWidget *>(QStringLiteral("pgcPadrao"));
        if (!pages || tab > pages->count())
            return fail(QStringLiteral("a tela não tem a aba %1").arg(tab));
        if (!pages->isTabEnabled(tab - 1))
            return fail(QStringLiteral("a aba %1 (%2) não está disponível").arg(tab).arg(pages->tabText(tab - 1)));
        // As a click on the tab: the screen runs its own tab-change handling.
        pages->setCurrentIndex(tab - 1);
    }
    // A last round so the screen paints what it loaded.
    settle(app);
    if (screen && dialog)
        return shootDialog(app, window, *screen, *dialog, options.screenshot);

    QImage image;
    if (screen && !options.window.isEmpty())
        image = grabWindow(app, screen, options, deadline);
    const bool shown = screen && (options.window.isEmpty() || !image.isNull());
    if (image.isNull())
        image = window.grab().toImage();
    if (!image.save(options.screenshot))
        return fail(QStringLiteral("não foi possível gravar %1").arg(options.screenshot));
    if (!shown) {
        return fail(QStringLiteral("a tela não terminou de carregar em %1 ms; imagem gravada assim mesmo")
                        .arg(options.screenshotTimeoutMs));
    }
    return 0;
}

int exitWhenDrawn(QApplication &app, HostWindow &window, int module, const HostOptions &options)
{
    if (!window.moduleLoaded(module))
        return fail(window.moduleError(module));
    window.runModule(module);
    // Waits for events rather than polling, so that the moment the data is in counts.
    QTimer tick;
    tick.start(50);
    QDeadlineTimer deadline(options.screenshotTimeoutMs);
    while (!loadedScreen(window.mdiArea()) && !deadline.hasExpired())
        app.processEvents(QEventLoop::WaitForMoreEvents);
    if (!loadedScreen(window.mdiArea()))
        return fail(QStringLiteral("a tela não terminou de carregar em %1 ms").arg(options.screenshotTimeoutMs));
    QCoreApplication::sendPostedEvents();
    window.repaint();
    std::fputs("drawn\n", stdout);
    std::fflush(stdout);
    return 0;
}
