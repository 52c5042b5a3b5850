#pragma once
// TField: one string field of a TClientDataSet; value access acts on the data set's
// current record (or its edit buffer while editing).
//
//   properties: FieldName, DisplayLabel (defaults to FieldName), Size (0 = unlimited),
//     Visible, ReadOnly, Required, EditMask ("999;0; "), Tag, Alignment, Index, DataSet
//   values: AsString (null -> ""), setAsString (truncated to Size), IsNull, Clear (null),
//     Value / setValue (std::optional), OldValue (as loaded or last merged)
//   setting a value needs the data set in dsEdit or dsInsert (EDatabaseError otherwise,
//     also for a ReadOnly field); reading a closed data set throws EDatabaseError.
//   DisplayText / Text (edit text): AsString passed through OnGetText(sender, text, displayText);
//     `text` arrives filled with AsString.
//   OnChange(sender): after a value was changed.
//   FocusControl(): asks the views bound to the data set to select this field's column
//     (TClientDataSet::fieldFocusRequested).

#include <QString>
#include <Qt>
#include <functional>
#include <optional>

namespace fiscal::dataset {

class TClientDataSet;

class TField {
public:
    using TFieldGetTextEvent = std::function<void(TField &sender, QString &text, bool displayText)>;
    using TFieldNotifyEvent = std::function<void(TField &sender)>;

    TField(TClientDataSet *dataSet, int index, const QString &name, int size);
    TField(const TField &) = delete;
    TField &operator=(const TField &) = delete;

    TClientDataSet *DataSet() const { return dataSet_; }
    int Index() const { return index_; }
    const QString &FieldName() const { return name_; }
    QString DataType() const { return QStringLiteral("string"); }

    QString DisplayLabel() const { return label_.isEmpty() ? name_ : label_; }
    void setDisplayLabel(const QString &label);
    int Size() const { return size_; }
    bool Visible() const { return visible_; }
    void setVisible(bool visible);
    bool ReadOnly() const { return readOnly_; }
    void setReadOnly(bool readOnly);
    bool Required() const { return required_; }
    void setRequired(bool required);
    const QString &EditMask() const { return editMask_; }
    void setEditMask(const QString &mask);
    int Tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }
    Qt::Alignment Alignment() const { return alignment_; }
    void setAlignment(Qt::Alignment alignment);

    QString AsString() const;
    void setAsString(const QString &text);
    bool IsNull() const;
    void Clear();
    std::optional<QString> Value() const;
    void setValue(const std::optional<QString> &value);
    std::optional<QString> OldValue() const;

    QString DisplayText() const;
    QString Text() const;                    // the edit text
    void setText(const QString &text) { setAsString(text); }

    void FocusControl();

    TFieldGetTextEvent OnGetText;
    TFieldNotifyEvent OnChange;

private:
    friend class TClientDataSet;
    QString textFor(bool displayText) const;
    void changed();

    TClientDataSet *dataSet_;
    int index_;
    QString name_;
    QString label_;
    int size_;
    bool visible_ = true;
    bool readOnly_ = false;
    bool required_ = false;
    QString editMask_;
    int tag_ = 0;
    Qt::Alignment alignment_ = Qt::AlignLeft;
};

} // namespace fiscal::dataset
