#pragma once
// Edit boxes.
//
// TCustomEdit (QLineEdit) carries what every box has:
//   Text()/setText()          the box's text (for a masked box: the stored text, blanks dropped)
//   IsEmpty()                 true when nothing but blanks was typed
//   MaxLength, ReadOnly       QLineEdit's maxLength/isReadOnly
//   CharCase/setCharCase      ecNormal, ecUpperCase, ecLowerCase: typed and set text converted
//   AutoSelect/setAutoSelect  focus given by code or the Tab key selects the whole text, so
//                             that typing replaces it (on by default; a click keeps the caret)
//   OnChange()                after the text changed, by the user or by code
//   OnEnter(), OnExit()       focus arrives / leaves (see focuswatch.h); OnExit may throw to
//                             keep the focus in the box
//   OnKeyPress(QChar &key)    a typed character (also '\b' Backspace, '\r' Enter, '\x1b'
//                             Esc); set key to QChar() to drop it, or change it
//   OnKeyDown(int &key, mods) a key before it is handled (Qt::Key values); set key to 0 to
//                             drop it
// A paste (Ctrl+V, Shift+Insert, the context menu) of several cells or lines copied from a
// spreadsheet puts in the first one only.
// Handlers run through guarded(); a throwing key handler drops the key.
//
// TEdit is the plain box.

#include <QLineEdit>
#include <functional>

namespace fiscal::vcl {

enum TEditCharCase { ecNormal, ecUpperCase, ecLowerCase };

class TCustomEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TCustomEdit(QWidget *parent = nullptr);

    virtual QString Text() const;
    virtual void setText(const QString &text);
    virtual bool IsEmpty() const;

    TEditCharCase CharCase() const { return m_charCase; }
    void setCharCase(TEditCharCase charCase);
    bool AutoSelect() const { return m_autoSelect; }
    void setAutoSelect(bool on) { m_autoSelect = on; }
    // The focus given by the program, with the text selected when AutoSelect is on, also
    // when the box has the focus already or its window is not active yet (no focus event).
    void SetFocus();

    std::function<void()> OnChange;
    std::function<void()> OnEnter;
    std::function<void()> OnExit;
    std::function<void(QChar &key)> OnKeyPress;
    std::function<void(int &key, Qt::KeyboardModifiers modifiers)> OnKeyDown;

protected:
    void focusInEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    QString convertCase(const QString &text) const;
    void fireChangeIfNeeded();

private:
    void pasteFirstCell();

    TEditCharCase m_charCase = ecNormal;
    bool m_autoSelect = true;
    QString m_lastText;
};

class TEdit : public TCustomEdit {
    Q_OBJECT
public:
    using TCustomEdit::TCustomEdit;
};

} // namespace fiscal::vcl
