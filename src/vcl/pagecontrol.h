#pragma once
// Page control whose tabs can be disabled.
//
//   TTabSheet(caption)            a page; Caption()/setCaption(), Enabled()/setEnabled(),
//                                 TabVisible()/setTabVisible(), PageIndex(), PageControl()
//   TPageControl::addPage(sheet)  appends a page (takes ownership)
//   ActivePage()/setActivePage()  the code path: selects any page, enabled or not, and
//                                 fires neither OnChanging nor OnChange
//   selectPage(sheet)             the user path (clicks, keys, menu entries): refused (false)
//                                 for a disabled or hidden tab and when OnChanging says no;
//                                 otherwise switches and fires OnChange
//   OnChanging(bool &allow)       before a user switch; ActivePage() is still the old page
//   OnChange()                    after a user switch
//
// A disabled tab cannot be selected by click, by keyboard (Ctrl+Tab, arrows) nor through
// selectPage() and selectNextPage(). Disabling a page by QWidget::setEnabled(false) on it disables its tab too.
// Handlers run through guarded(); a throwing OnChanging refuses the switch.

#include <QTabWidget>
#include <functional>

namespace fiscal::vcl {

class TPageControl;

class TTabSheet : public QWidget {
    Q_OBJECT
public:
    explicit TTabSheet(const QString &caption = {}, QWidget *parent = nullptr);

    QString Caption() const { return m_caption; }
    void setCaption(const QString &caption);
    bool Enabled() const;
    void setEnabled(bool enabled);
    bool TabVisible() const { return m_tabVisible; }
    void setTabVisible(bool visible);
    int PageIndex() const;
    TPageControl *PageControl() const { return m_pageControl; }

private:
    friend class TPageControl;
    QString m_caption;
    bool m_tabVisible = true;
    TPageControl *m_pageControl = nullptr;
};

class TPageControl : public QTabWidget {
    Q_OBJECT
public:
    explicit TPageControl(QWidget *parent = nullptr);

    TTabSheet *addPage(TTabSheet *sheet);
    TTabSheet *addPage(const QString &caption);
    int PageCount() const { return count(); }
    TTabSheet *Pages(int index) const;

    TTabSheet *ActivePage() const;
    void setActivePage(TTabSheet *sheet);
    int ActivePageIndex() const { return m_active; }
    bool selectPage(TTabSheet *sheet);
    // Moves the focus from the page shown to the tabs, as a click on another tab does, so that
    // a page changed from code leaves its widgets before the next page shows (hidden with the
    // focus, the page would pass it on, entering widgets of either page on the way).
    // False when the focus is still in the page: a widget's exit check refused to let it go,
    // and the page must stay.
    bool leavePage();
    // The user's switch to the next (or previous) tab that can be selected, as Ctrl+Tab: the
    // focus leaves the page first, then goes into the new one. False when nothing switched.
    bool selectNextPage(bool forward);

    std::function<void(bool &allow)> OnChanging;
    std::function<void()> OnChange;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void tabRemoved(int index) override;

private:
    friend class TTabSheet;
    void syncTab(TTabSheet *sheet);
    void onCurrentChanged(int index);

    int m_active = -1;
    int m_byCode = 0;
};

// Ctrl+Tab and Ctrl+PageDown (back: Ctrl+Shift+Tab, Ctrl+PageUp) anywhere in `screen`
// switch the innermost page control around the focus. An MDI area takes Ctrl+Tab to cycle its
// windows, and a grid as a move to its next cell, before a page control could see it.
void installPageKeys(QWidget *screen);

} // namespace fiscal::vcl
