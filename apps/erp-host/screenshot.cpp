#include "screenshot.h"

#include "hostoptions.h"
#include "mainwindow.h"

#include "clientlib/hostservices.h"
#include "clientlib/qtinteraction.h"
#include "clientlib/screentargets.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QFile>
#include <QImage>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <memory>

namespace {

using fiscal::clientlib::ScreenTarget;
using fiscal::clientlib::ScreenTargets;

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

// Nobody is there to answer a box: a box left open would hold the run until it is killed.
// What a box says goes to standard error, its safe answer is taken at once, and a warning or
// an error fails the run. Dialogs still open, so that they can be drawn.
class UnattendedInteraction : public fiscal::clientlib::QtInteraction {
public:
    bool failed = false;

    int message(fiscal::clientlib::TMsgDlgType kind, const QString &, const QString &text,
                fiscal::clientlib::TMsgDlgButtons buttons, QWidget *) override
    {
        using namespace fiscal::clientlib;
        tell(kind, text);
        if (buttons & mbOK)
            return mrOk;
        return buttons & mbCancel ? mrCancel : mrNo;
    }
    int ask(fiscal::clientlib::TMsgDlgType kind, const QString &, const QString &text, const QStringList &buttons,
            QWidget *) override
    {
        tell(kind, text);
        return int(buttons.size()) - 1;   // the last one: "Cancelar"
    }

private:
    void tell(fiscal::clientlib::TMsgDlgType kind, const QString &text)
    {
        std::fprintf(stderr, "erp-host: %s\n", qPrintable(text));
        failed = failed || kind == fiscal::clientlib::mtError || kind == fiscal::clientlib::mtWarning;
    }
};

// Installs the unattended boxes for a run; `failed()` tells whether one said something wrong.
class Unattended {
public:
    Unattended() : m_service(new UnattendedInteraction), m_scope(std::unique_ptr<UnattendedInteraction>(m_service)) {}
    bool failed() const { return m_service->failed; }
private:
    UnattendedInteraction *m_service;   // owned by the scope
    fiscal::clientlib::InteractionScope m_scope;
};

constexpr const char *kToldAnError = "a tela mostrou um erro (acima); nenhuma imagem foi gravada";

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

QWidget *visibleWindow(const QString &name)
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == name && w->isVisible())
            return w;
    }
    return nullptr;
}

const ScreenTarget *findTarget(const std::vector<ScreenTarget> &targets, const QString &name)
{
    for (const ScreenTarget &t : targets) {
        if (t.name == name)
            return &t;
    }
    return nullptr;
}

QString targetNames(const std::vector<ScreenTarget> &targets)
{
    QStringList names;
    for (const ScreenTarget &t : targets)
        names << t.name;
    return names.join(QStringLiteral(", "));
}

// The window a --window target names, opened from the loaded screen; a null image when it
// did not come up in time. A modal one is drawn from a timer while it runs, then closed.
QImage grabWindow(QApplication &app, QWidget &screen, const ScreenTarget &target, QDeadlineTimer deadline,
                  QString &error)
{
    QImage image;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        QWidget *w = visibleWindow(target.window);
        const QVariant loaded = w ? w->property("loaded") : QVariant();
        if (w && image.isNull() && (!loaded.isValid() || loaded.toBool())) {
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
    error = target.open(screen);   // a modal window returns once closed
    while (error.isEmpty() && image.isNull() && !deadline.hasExpired())
        app.processEvents(QEventLoop::AllEvents, 50);
    return image;
}

// Opens the dialog; while it is up, draws it over the host and closes it.
int shootDialog(QApplication &app, HostWindow &window, QWidget &screen, const ScreenTarget &dialog,
                const QString &file)
{
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
    const QString error = dialog.open(screen);   // returns when the dialog has closed
    poll.stop();
    settle(app);
    if (!error.isEmpty())
        return fail(error);
    if (!shown)
        return fail(QStringLiteral("a janela \"%1\" não se abriu").arg(dialog.name));
    if (!saved)
        return fail(QStringLiteral("não foi possível gravar %1").arg(file));
    return 0;
}

} // namespace

int takeScreenshot(QApplication &app, HostWindow &window, int module, const HostOptions &options)
{
    if (!window.moduleLoaded(module))
        return fail(window.moduleError(module));
    // What the module lets the host draw: asked only when more than the main screen is wanted.
    const ScreenTargets *targets = nullptr;
    if (options.screenshotTab > 0 || !options.screenshotDialog.isEmpty() || !options.window.isEmpty()) {
        const auto proc = reinterpret_cast<fiscal::clientlib::ScreenTargetsProc>(window.moduleSymbol(module, "ScreenTargets"));
        targets = proc ? proc() : nullptr;
        if (!targets)
            return fail(QStringLiteral("o módulo não oferece abas, janelas nem diálogos para a imagem"));
    }
    const ScreenTarget *dialog = nullptr;
    if (!options.screenshotDialog.isEmpty()) {
        dialog = findTarget(targets->dialogs, options.screenshotDialog);
        if (!dialog)
            return fail(QStringLiteral("janela desconhecida: %1 (use %2)").arg(options.screenshotDialog, targetNames(targets->dialogs)));
    }
    const ScreenTarget *alone = nullptr;
    if (!options.window.isEmpty()) {
        alone = findTarget(targets->windows, options.window);
        if (!alone)
            return fail(QStringLiteral("janela desconhecida: %1 (use %2)").arg(options.window, targetNames(targets->windows)));
    }

    const Unattended boxes;
    window.runModule(module);
    QDeadlineTimer deadline(options.screenshotTimeoutMs);
    while (!loadedScreen(window.mdiArea()) && !deadline.hasExpired() && !boxes.failed()) {
        app.processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    if (boxes.failed())
        return fail(QString::fromUtf8(kToldAnError));
    QWidget *screen = loadedScreen(window.mdiArea());

    const int tab = options.screenshotTab > 0 ? options.screenshotTab : (dialog ? dialog->tab : 0);
    if (screen && tab > 0) {
        if (const QString error = targets->showTab(*screen, tab); !error.isEmpty())
            return fail(error);
    }
    // A last round so the screen paints what it loaded.
    settle(app);
    if (screen && dialog) {
        const int shot = shootDialog(app, window, *screen, *dialog, options.screenshot);
        if (boxes.failed()) {
            QFile::remove(options.screenshot);
            return fail(QString::fromUtf8(kToldAnError));
        }
        return shot;
    }

    QImage image;
    QString error;
    if (screen && alone)
        image = grabWindow(app, *screen, *alone, deadline, error);
    if (!error.isEmpty())
        return fail(error);
    if (boxes.failed())
        return fail(QString::fromUtf8(kToldAnError));
    const bool shown = screen && (!alone || !image.isNull());
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
    const Unattended boxes;
    window.runModule(module);
    // Waits for events rather than polling, so that the moment the data is in counts.
    QTimer tick;
    tick.start(50);
    QDeadlineTimer deadline(options.screenshotTimeoutMs);
    while (!loadedScreen(window.mdiArea()) && !deadline.hasExpired() && !boxes.failed())
        app.processEvents(QEventLoop::WaitForMoreEvents);
    if (boxes.failed())
        return fail(QStringLiteral("a tela mostrou um erro (acima)"));
    if (!loadedScreen(window.mdiArea()))
        return fail(QStringLiteral("a tela não terminou de carregar em %1 ms").arg(options.screenshotTimeoutMs));
    QCoreApplication::sendPostedEvents();
    window.repaint();
    std::fputs("drawn\n", stdout);
    std::fflush(stdout);
    return 0;
}
