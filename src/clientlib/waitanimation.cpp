#include "clientlib/waitanimation.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>
#include <QTimer>
#include <QtMath>

namespace fiscal::clientlib {

namespace {

// The one animation of the process (host and modules alike); a QPointer, since its owner
// window may take it along when it closes.
QPointer<WaitAnimation> g_current;

constexpr int kSpokes = 12;
constexpr int kIntervalMs = 60;

void setCurrent(WaitAnimation *a)
{
    g_current = a;
}

QWidget *hostFor(QWidget *owner)
{
    if (owner) {
        return owner->window();
    }
    return QApplication::activeWindow();
}

QColor colourOf(int kind)
{
    switch (kind) {
    case 0: return QColor(0x2e, 0x7d, 0x32);   // connecting: green
    case 1: return QColor(0xc6, 0x28, 0x28);   // saving: red
    default: return QColor(0x15, 0x65, 0xc0);  // reading: blue
    }
}

} // namespace

WaitAnimation::WaitAnimation(QWidget *owner, int kind, const QString &text)
    : QFrame(hostFor(owner))
{
    setObjectName(QStringLiteral("waitAnimation"));
    setFrameShape(QFrame::Box);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::NoFocus);
    if (!parentWidget()) {
        // No window to lie over: a small frameless window of its own.
        setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    }
    m_timer = new QTimer(this);
    m_timer->setInterval(kIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &WaitAnimation::tick);
    restart(owner, kind, text);
}

void WaitAnimation::restart(QWidget *owner, int kind, const QString &text)
{
    QWidget *host = hostFor(owner);
    if (host && host != parentWidget()) {
        setParent(host);
    }
    if (m_host) {
        m_host->removeEventFilter(this);
    }
    m_host = host;
    if (m_host) {
        m_host->installEventFilter(this);
    }
    m_kind = kind;
    m_text = text;
    place();
    show();
    raise();
    m_timer->start();
    // Drawn at once: the call that follows may block before any event loop runs.
    repaint();
}

void WaitAnimation::place()
{
    const QFontMetrics fm(font());
    const int w = qMax(220, fm.horizontalAdvance(m_text) + 40);
    const int h = 110;
    resize(w, h);
    if (QWidget *p = parentWidget()) {
        move((p->width() - w) / 2, (p->height() - h) / 2);
    }
}

bool WaitAnimation::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_host && event->type() == QEvent::Resize) {
        place();
    }
    return QFrame::eventFilter(watched, event);
}

void WaitAnimation::tick()
{
    ++m_frame;
    update();
}

void WaitAnimation::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor base = colourOf(m_kind);
    const QPointF centre(width() / 2.0, 40);
    const int lead = m_frame % kSpokes;
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at the head is darkest; the tail fades.
        const int age = (lead - i + kSpokes) % kSpokes;
        QColor c = base;
        c.setAlphaF(1.0 - age / double(kSpokes));
        p.setPen(QPen(c, 4, Qt::SolidLine, Qt::RoundCap));
        const qreal angle = 2 * M_PI * i / kSpokes;
        const QPointF dir(qCos(angle), qSin(angle));
        p.drawLine(centre + dir * 12, centre + dir * 24);
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(0, 72, width(), height() - 72), Qt::AlignHCenter | Qt::AlignTop, m_text);
}

WaitAnimation *currentWaitAnimation()
{
    return g_current;
}

void ActiveShowAvi(QWidget *owner, int kind, const QString &text)
{
    if (WaitAnimation *a = currentWaitAnimation()) {
        a->restart(owner, kind, text);
        return;
    }
    setCurrent(new WaitAnimation(owner, kind, text));
}

void DeactiveShowAvi()
{
    if (WaitAnimation *a = currentWaitAnimation()) {
        setCurrent(nullptr);
        a->hide();
        a->deleteLater();
    }
}

} // namespace fiscal::clientlib
