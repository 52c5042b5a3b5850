#include "dataset/field.h"

#include "dataset/clientdataset.h"
#include "dataset/databaseerror.h"

namespace fiscal::dataset {

TField::TField(TClientDataSet *dataSet, int index, const QString &name, int size)
    : dataSet_(dataSet), index_(index), name_(name), size_(size)
{
}

void TField::changed() { dataSet_->notifyFieldChanged(index_); }

void TField::setDisplayLabel(const QString &label)
{
    if (label_ == label)
        return;
    label_ = label;
    changed();
}

void TField::setVisible(bool visible)
{
    if (visible_ == visible)
        return;
    visible_ = visible;
    changed();
}

void TField::setReadOnly(bool readOnly)
{
    if (readOnly_ == readOnly)
        return;
    readOnly_ = readOnly;
    changed();
}

void TField::setRequired(bool required)
{
    if (required_ == required)
        return;
    required_ = required;
    changed();
}

void TField::setEditMask(const QString &mask)
{
    if (editMask_ == mask)
        return;
    editMask_ = mask;
    changed();
}

void TField::setAlignment(Qt::Alignment alignment)
{
    if (alignment_ == alignment)
        return;
    alignment_ = alignment;
    changed();
}

QString TField::AsString() const
{
    const RowRef r = dataSet_->readRow();
    return r.size() ? r.text(index_) : QString();
}

bool TField::IsNull() const
{
    const RowRef r = dataSet_->readRow();
    return r.size() == 0 || r.isNull(index_);
}

std::optional<QString> TField::Value() const
{
    const RowRef r = dataSet_->readRow();
    if (r.size() == 0)
        return std::nullopt;
    return r.value(index_);
}

std::optional<QString> TField::OldValue() const { return dataSet_->oldValue(index_); }

void TField::setAsString(const QString &text) { setValue(text); }

void TField::Clear() { setValue(std::nullopt); }

void TField::setValue(const std::optional<QString> &value)
{
    if (readOnly_)
        throw EDatabaseError(QStringLiteral("O campo '%1' não pode ser modificado.").arg(name_));
    // A string field keeps what fits, as a typed cell or a " - " text written into it does.
    const bool wasChanged = (value && size_ > 0 && value->size() > size_)
        ? dataSet_->writeValue(index_, value->left(size_))
        : dataSet_->writeValue(index_, value);
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

void TField::FocusControl() { dataSet_->requestFieldFocus(this); }

} // namespace fiscal::dataset
