#include "vcl/maskedit.h"

namespace fiscal::vcl {

TMaskEdit::TMaskEdit(QWidget *parent)
    : TCustomEdit(parent)
{
}

void TMaskEdit::setEditMask(const QString &mask)
{
    if (m_maskText == mask)
        return;
    const QString stored = Text();
    m_maskText = mask;
    m_mask = EditMask::parse(mask);
    const int plainMaxLength = maxLength();
    setInputMask(m_mask.qtInputMask());
    if (m_mask.isNull())
        setMaxLength(plainMaxLength);
    setText(stored);
}

QString TMaskEdit::Text() const
{
    if (m_mask.isNull())
        return TCustomEdit::Text();
    return m_mask.storedText(displayText());
}

void TMaskEdit::setText(const QString &text)
{
    if (m_mask.isNull()) {
        TCustomEdit::setText(text);
        return;
    }
    QLineEdit::setText(m_mask.format(text));
    fireChangeIfNeeded();
}

bool TMaskEdit::IsEmpty() const
{
    if (m_mask.isNull())
        return TCustomEdit::IsEmpty();
    return m_mask.filledCount(displayText()) == 0;
}

} // namespace fiscal::vcl
