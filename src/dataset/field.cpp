#include "dataset/field.h"

#include "dataset/clientdataset.h"
#include "dataset/databaseerror.h"

namespace fiscal::dataset {

TField::TField(TClientDataSet *dataSet, int index, const QString &name, int size)
    : m_dataSet(dataSet), m_index(index), m_name(name), m_size(size)
{
}

void TField::changed() { m_dataSet->notifyFieldChanged(m_index); }

void TField::setDisplayLabel(const QString &label)
{
    if (m_label == label)
        return;
    m_label = label;
    changed();
}

void TField::setVisible(bool visible)
{
    if (m_visible == visible)
        return;
    m_visible = visible;
    changed();
}

void TField::setReadOnly(bool readOnly)
{
    if (m_readOnly == readOnly)
        return;
    m_readOnly = readOnly;
    changed();
}

void TField::setRequired(bool required)
{
    if (m_required == required)
        return;
    m_required = required;
    changed();
}

void TField::setEditMask(const QString &mask)
{
    if (m_editMask == mask)
        return;
    m_editMask = mask;
    changed();
}

void TField::setAlignment(Qt::Alignment alignment)
{
    if (m_alignment == alignment)
        return;
    m_alignment = alignment;
    changed();
}

QString TField::AsString() const
{
    const RowRef r = m_dataSet->readRow();
    return r.size() ? r.text(m_index) : QString();
}

bool TField::IsNull() const
{
    const RowRef r = m_dataSet->readRow();
    return r.size() == 0 || r.isNull(m_index);
}

std::optional<QString> TField::Value() const
{
    const RowRef r = m_dataSet->readRow();
    if (r.size() == 0)
        return std::nullopt;
    return r.value(m_index);
}

std::optional<QString> TField::OldValue() const { return m_dataSet->oldValue(m_index); }

void TField::setAsString(const QString &text) { setValue(text); }

void TField::Clear() { setValue(std::nullopt); }

namespace {

// The first `count` characters: a size counts characters, as the packets are read, and an
// emoji is two UTF-16 units that must not be split.
QString firstCharacters(const QString &text, qsizetype count)
{
    qsizetype at = 0;
    for (qsizetype n = 0; n < count && at < text.size(); ++n)
        at += text.at(at).isHighSurrogate() && at + 1 < text.size() && text.at(at + 1).isLowSurrogate() ? 2 : 1;
    return text.left(at);
}

} // namespace

void TField::setValue(const std::optional<QString> &value)
{
    if (m_readOnly)
        throw EDatabaseError(QStringLiteral("O campo '%1' não pode ser modificado.").arg(m_name));
    // A string field keeps what fits, as a typed cell or a " - " text written into it does.
    const bool wasChanged = (value && m_size > 0 && value->size() > m_size)
        ? m_dataSet->writeValue(m_index, firstCharacters(*value, m_size))
        : m_dataSet->writeValue(m_index, value);
    if (wasChanged && OnChange)
        OnChange(*this);
}

QString TField::textFor(bool displayText) const
{
    QString text = AsString();
    if (OnGetText)
        OnGetText(const_cast<TField &>(*this), text, displayText);
    return text;
}

QString TField::DisplayText() const { return textFor(true); }
QString TField::Text() const { return textFor(false); }

void TField::FocusControl() { m_dataSet->requestFieldFocus(this); }

} // namespace fiscal::dataset
