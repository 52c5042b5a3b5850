#pragma once
// Columns of a TDBGrid.
//
//   TColumn: FieldName, Field() (resolved on the grid's data set, nullptr when missing),
//     Title (the field's DisplayLabel unless set), Width (-1 = the grid's default: the
//     field's Size in digits, never narrower than the title),
//     ReadOnly, Visible (also false while the bound field is invisible), ButtonStyle
//     (cbsAuto/cbsNone: no button, cbsEllipsis: an ellipsis button in the current cell that
//     fires the grid's OnEditButtonClick), Alignment (the field's unless set), Index, Grid,
//     FindFields (the stored fields whose values the cells show, for the grid's find bar;
//     empty: the column's field, through its display text).
//   TDBGridColumns: Count, Items(i) / operator[], Add(fieldName = {}), Clear,
//     IndexOfField(name) (-1 when absent, name without regard to case), FindField(name).
// When no column was ever added the grid shows one column per visible field of its data
// set (default columns), rebuilt whenever the data set's fields change.

#include <QList>
#include <QString>
#include <QStringList>
#include <Qt>
#include <memory>
#include <optional>

namespace fiscal::dataset {
class TField;
}

namespace fiscal::vcl {

class TDBGrid;

enum TColumnButtonStyle { cbsAuto, cbsEllipsis, cbsNone };

class TColumn {
public:
    TColumn(TDBGrid *grid, const QString &fieldName);
    TColumn(const TColumn &) = delete;
    TColumn &operator=(const TColumn &) = delete;

    TDBGrid *Grid() const { return m_grid; }
    int Index() const;

    QString FieldName() const { return m_fieldName; }
    void setFieldName(const QString &name);
    dataset::TField *Field() const;

    QString Title() const;
    void setTitle(const QString &title);
    int Width() const { return m_width; }
    void setWidth(int width);
    bool ReadOnly() const { return m_readOnly; }
    void setReadOnly(bool readOnly) { m_readOnly = readOnly; }
    bool Visible() const;
    void setVisible(bool visible);
    TColumnButtonStyle ButtonStyle() const { return m_buttonStyle; }
    void setButtonStyle(TColumnButtonStyle style);
    Qt::Alignment Alignment() const;
    void setAlignment(Qt::Alignment alignment);
    QStringList FindFields() const { return m_findFields; }
    void setFindFields(const QStringList &fieldNames) { m_findFields = fieldNames; }

private:
    TDBGrid *m_grid;
    QString m_fieldName;
    std::optional<QString> m_title;
    int m_width = -1;
    bool m_readOnly = false;
    bool m_visible = true;
    TColumnButtonStyle m_buttonStyle = cbsAuto;
    std::optional<Qt::Alignment> m_alignment;
    QStringList m_findFields;
};

class TDBGridColumns {
public:
    explicit TDBGridColumns(TDBGrid *grid) : m_grid(grid) {}

    int Count() const { return int(m_columns.size()); }
    TColumn *Items(int index) const { return m_columns.at(index).get(); }
    TColumn *operator[](int index) const { return Items(index); }
    TColumn *Add(const QString &fieldName = {});
    void Clear();
    int IndexOfField(const QString &fieldName) const;
    TColumn *FindField(const QString &fieldName) const;
    int IndexOf(const TColumn *column) const;

private:
    friend class TDBGrid;
    void rebuildDefault(const QStringList &fieldNames);

    TDBGrid *m_grid;
    std::vector<std::unique_ptr<TColumn>> m_columns;
    bool m_userDefined = false;
};

} // namespace fiscal::vcl
