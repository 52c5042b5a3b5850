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

    TClientDataSet *DataSet() const { return m_dataSet; }
    int Index() const { return m_index; }
    const QString &FieldName() const { return m_name; }
    QString DataType() const { return QStringLiteral("string"); }

    QString DisplayLabel() const { return m_label.isEmpty() ? m_name : m_label; }
    void setDisplayLabel(const QString &label);
    int Size() const { return m_size; }
    bool Visible() const { return m_visible; }
    void setVisible(bool visible);
    bool ReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly);
    bool Required() const { return m_required; }
    void setRequired(bool required);
    const QString &EditMask() const { return m_editMask; }
    void setEditMask(const QString &mask);
    int Tag() const { return m_tag; }
    void setTag(int tag) { m_tag = tag; }
    Qt::Alignment Alignment() const { return m_alignment; }
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

    TClientDataSet *m_dataSet;
    int m_index;
    QString m_name;
    QString m_label;
    int m_size;
    bool m_visible = true;
    bool m_readOnly = false;
    bool m_required = false;
    QString m_editMask;
    int m_tag = 0;
    Qt::Alignment m_alignment = Qt::AlignLeft;
};

} // namespace fiscal::dataset
