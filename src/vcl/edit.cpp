#include "vcl/edit.h"

#include "vcl/focuswatch.h"
#include "vcl/guard.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QRegularExpression>
#include <QValidator>

#include <memory>

namespace fiscal::vcl {

namespace {

// Every way text gets into the box passes here: typed, pasted, dropped, from an input method.
class CaseValidator : public QValidator {
public:
    CaseValidator(TEditCharCase charCase, QObject *parent) : QValidator(parent), m_case(charCase) {}
    State validate(QString &input, int &) const override
    {
        input = m_case == ecUpperCase ? input.toUpper() : input.toLower();
        return Acceptable;
    }

private:
    TEditCharCase m_case;
};

} // namespace

TCustomEdit::TCustomEdit(QWidget *parent)
    : QLineEdit(parent)
{
    connect(this, &QLineEdit::textChanged, this, [this] { fireChangeIfNeeded(); });
    FocusWatch::instance().setOnEnter(this, [this] { if (OnEnter) OnEnter(); });
    FocusWatch::instance().setOnExit(this, [this] { if (OnExit) OnExit(); });
}

QString TCustomEdit::Text() const
{
    return QLineEdit::text();
}

void TCustomEdit::setText(const QString &text)
{
    QLineEdit::setText(convertCase(text));
}

bool TCustomEdit::IsEmpty() const
{
    return Text().trimmed().isEmpty();
}

void TCustomEdit::setCharCase(TEditCharCase charCase)
{
    if (m_charCase == charCase)
        return;
    m_charCase = charCase;
    setValidator(charCase == ecNormal ? nullptr : new CaseValidator(charCase, this));
    const QString converted = convertCase(QLineEdit::text());
    if (converted != QLineEdit::text())
        QLineEdit::setText(converted);
}

QString TCustomEdit::convertCase(const QString &text) const
{
    switch (m_charCase) {
    case ecUpperCase: return text.toUpper();
    case ecLowerCase: return text.toLower();
    case ecNormal: break;
    }
    return text;
}

void TCustomEdit::fireChangeIfNeeded()
{
    const QString now = Text();
    if (now == m_lastText)
        return;
    m_lastText = now;
    if (OnChange)
        guarded(OnChange);
}

// Qt selects the text only for the Tab key. A box the program sends the user to (a check
// that refused its code, a tab's first box) must take what is typed next in place of what
// it holds: with a mask, a caret left at the end takes no key at all.
void TCustomEdit::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    if (m_autoSelect && event->reason() == Qt::OtherFocusReason)
        selectAll();
}

void TCustomEdit::SetFocus()
{
    setFocus(Qt::OtherFocusReason);
    if (m_autoSelect)
        selectAll();
}

void TCustomEdit::keyPressEvent(QKeyEvent *event)
{
    int key = event->key();
    if (OnKeyDown) {
        if (!guarded([&] { OnKeyDown(key, event->modifiers()); }) || key == 0) {
            event->accept();
            return;
        }
    }
    const QString typed = event->text();
    if (typed.size() == 1 && (OnKeyPress || m_charCase != ecNormal)) {
        QChar ch = typed.at(0);
        if (OnKeyPress && (!guarded([&] { OnKeyPress(ch); }) || ch.isNull())) {
            event->accept();
            return;
        }
        if (ch.isPrint())
            ch = convertCase(QString(ch)).at(0);
        if (ch != typed.at(0)) {
            QKeyEvent changed(event->type(), event->key(), event->modifiers(), QString(ch),
                              event->isAutoRepeat(), ushort(event->count()));
            QLineEdit::keyPressEvent(&changed);
            event->setAccepted(changed.isAccepted());
            return;
        }
    }
    // After the key filter, which may refuse pasting at all (its control character).
    if (event->matches(QKeySequence::Paste)) {
        pasteFirstCell();
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

void TCustomEdit::contextMenuEvent(QContextMenuEvent *event)
{
    std::unique_ptr<QMenu> menu(createStandardContextMenu());
    for (QAction *action : menu->actions()) {
        if (action->objectName() == QLatin1String("edit-paste")) {
            action->disconnect();
            connect(action, &QAction::triggered, this, [this] { pasteFirstCell(); });
        }
    }
    menu->exec(event->globalPos());
}

// Cells copied from a spreadsheet come as lines of tab-separated texts. A mask drops the tabs
// and line breaks it has no place for and joined the cells: "5" and "7" became group 057.
void TCustomEdit::pasteFirstCell()
{
    if (isReadOnly())
        return;
    QString text = QGuiApplication::clipboard()->text();
    while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
        text.chop(1);   // one cell copied ends with a line break
    const qsizetype end = text.indexOf(QRegularExpression(QStringLiteral("[\t\r\n]")));
    insert(end < 0 ? text : text.left(end));
}

} // namespace fiscal::vcl
