#include "vcl/pagecontrol.h"

#include "vcl/guard.h"

#include <QApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QShortcut>
#include <QTabBar>

namespace fiscal::vcl {

TTabSheet::TTabSheet(const QString &caption, QWidget *parent)
    : QWidget(parent)
    , m_caption(caption)
{
}

void TTabSheet::setCaption(const QString &caption)
{
    if (m_caption == caption)
        return;
    m_caption = caption;
    if (m_pageControl)
        m_pageControl->setTabText(PageIndex(), caption);
}

void TTabSheet::setEnabled(bool enabled)
{
    QWidget::setEnabled(enabled);   // the page control's event filter follows it
    if (m_pageControl)
        m_pageControl->syncTab(this);
}

bool TTabSheet::Enabled() const
{
    return !testAttribute(Qt::WA_ForceDisabled);
}

void TTabSheet::setTabVisible(bool visible)
{
    if (m_tabVisible == visible)
        return;
    m_tabVisible = visible;
    if (m_pageControl)
        m_pageControl->syncTab(this);
}

int TTabSheet::PageIndex() const
{
    return m_pageControl ? m_pageControl->indexOf(const_cast<TTabSheet *>(this)) : -1;
}

TPageControl::TPageControl(QWidget *parent)
    : QTabWidget(parent)
{
    connect(this, &QTabWidget::currentChanged, this, &TPageControl::onCurrentChanged);
    // Clicks on the tabs are seen before the tab bar switches (eventFilter).
    tabBar()->installEventFilter(this);
}

bool TPageControl::leavePage()
{
    // The window's own focus widget: after a refusal's message the focus goes back to the
    // box while the window is not active yet, and the application then has none.
    const auto inPage = [this] {
        QWidget *focus = window()->isActiveWindow() ? QApplication::focusWidget() : window()->focusWidget();
        return focus && currentWidget() && currentWidget()->isAncestorOf(focus);
    };
    if (inPage())
        tabBar()->setFocus(Qt::MouseFocusReason);
    return !inPage();
}

bool TPageControl::selectNextPage(bool forward)
{
    const int n = count();
    int next = -1;
    for (int step = 1; step < n && next < 0; ++step) {
        const int i = ((currentIndex() + (forward ? step : -step)) % n + n) % n;
        if (isTabEnabled(i) && isTabVisible(i))
            next = i;
    }
    if (next < 0 || !leavePage())
        return false;
    TTabSheet *page = Pages(next);
    const bool switched = selectPage(page);
    // Left on the tabs, the focus goes on into the page shown, as the Tab key would take it.
    QWidget *focus = window()->isActiveWindow() ? QApplication::focusWidget() : window()->focusWidget();
    if (focus && focus == tabBar()) {
        QWidget *w = currentWidget();
        for (QWidget *c = w ? w->nextInFocusChain() : nullptr; c && c != w; c = c->nextInFocusChain()) {
            if (w->isAncestorOf(c) && c->isVisible() && c->isEnabled() && (c->focusPolicy() & Qt::TabFocus)) {
                c->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
    return switched;
}

// Ctrl+Tab from inside a page switches as a click does, so the focus leaves the page first.
void TPageControl::keyPressEvent(QKeyEvent *event)
{
    const bool switchKey = (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab)
                           && (event->modifiers() & Qt::ControlModifier);
    if (switchKey && count() > 1) {
        selectNextPage(event->key() == Qt::Key_Tab && !(event->modifiers() & Qt::ShiftModifier));
        event->accept();
        return;
    }
    QTabWidget::keyPressEvent(event);
}

void installPageKeys(QWidget *screen)
{
    const auto add = [screen](const QKeySequence &keys, bool forward) {
        auto *s = new QShortcut(keys, screen);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        QObject::connect(s, &QShortcut::activated, screen, [screen, forward] {
            for (QWidget *w = QApplication::focusWidget(); w && w != screen->parentWidget(); w = w->parentWidget()) {
                if (auto *pc = qobject_cast<TPageControl *>(w); pc && pc->count() > 1) {
                    guarded([&] { pc->selectNextPage(forward); });
                    return;
                }
            }
        });
    };
    add(QKeySequence(Qt::CTRL | Qt::Key_Tab), true);
    add(QKeySequence(Qt::CTRL | Qt::Key_PageDown), true);
    add(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), false);
    add(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), false);
    add(QKeySequence(Qt::CTRL | Qt::Key_PageUp), false);
}

TTabSheet *TPageControl::addPage(TTabSheet *sheet)
{
    sheet->m_pageControl = this;
    ++m_byCode;
    addTab(sheet, sheet->Caption());
    --m_byCode;
    m_active = currentIndex();
    sheet->installEventFilter(this);
    syncTab(sheet);
    return sheet;
}

TTabSheet *TPageControl::addPage(const QString &caption)
{
    return addPage(new TTabSheet(caption));
}

TTabSheet *TPageControl::Pages(int index) const
{
    return qobject_cast<TTabSheet *>(widget(index));
}

TTabSheet *TPageControl::ActivePage() const
{
    return m_active >= 0 ? Pages(m_active) : nullptr;
}

void TPageControl::setActivePage(TTabSheet *sheet)
{
    const int index = indexOf(sheet);
    if (index < 0)
        return;
    ++m_byCode;
    m_active = index;
    setCurrentIndex(index);
    --m_byCode;
}

bool TPageControl::selectPage(TTabSheet *sheet)
{
    const int index = indexOf(sheet);
    if (index < 0 || !isTabEnabled(index) || !isTabVisible(index))
        return false;
    if (index == m_active)
        return true;
    setCurrentIndex(index);   // onCurrentChanged asks OnChanging and may go back
    return m_active == index;
}

void TPageControl::syncTab(TTabSheet *sheet)
{
    const int index = indexOf(sheet);
    if (index < 0)
        return;
    // Qt moves the current tab away from a tab that gets disabled or hidden; the active
    // page is the program's business, so keep it.
    ++m_byCode;
    const bool enabled = sheet->isEnabledTo(this);
    if (isTabEnabled(index) != enabled)
        tabBar()->setTabEnabled(index, enabled);
    if (isTabVisible(index) != sheet->m_tabVisible)
        setTabVisible(index, sheet->m_tabVisible);
    if (m_active >= 0 && m_active < count() && currentIndex() != m_active)
        setCurrentIndex(m_active);
    --m_byCode;
}

bool TPageControl::eventFilter(QObject *watched, QEvent *event)
{
    // A click on another tab takes the focus to the tabs first, as clicking a page control
    // does. Otherwise hiding the old page would push the focus out of the page control to
    // whatever comes next in the focus chain, and back in: enter and exit handlers would
    // run in the middle of the switch. When the box being left refuses its text, the click
    // is dropped and the page stays. A disabled tab switches nothing, so the focus stays.
    if (watched == tabBar()
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick)) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const int index = tabBar()->tabAt(mouse->position().toPoint());
        if (mouse->button() == Qt::LeftButton && index >= 0 && index != currentIndex() && isTabEnabled(index)
            && !leavePage())
            return true;
    }
    if (event->type() == QEvent::EnabledChange) {
        if (auto *sheet = qobject_cast<TTabSheet *>(watched); sheet && sheet->m_pageControl == this)
            syncTab(sheet);
    }
    return QTabWidget::eventFilter(watched, event);
}

void TPageControl::tabRemoved(int index)
{
    QTabWidget::tabRemoved(index);
    m_active = currentIndex();
}

void TPageControl::onCurrentChanged(int index)
{
    if (m_byCode > 0 || index == m_active)
        return;
    const int previous = m_active;
    auto goBack = [&] {
        ++m_byCode;
        setCurrentIndex(previous);
        --m_byCode;
    };
    if (index < 0 || !isTabEnabled(index)) {
        goBack();
        return;
    }
    bool allow = true;
    if (OnChanging && !guarded([&] { OnChanging(allow); }))
        allow = false;
    if (!allow) {
        goBack();
        return;
    }
    m_active = index;
    if (OnChange)
        guarded(OnChange);
}

} // namespace fiscal::vcl
