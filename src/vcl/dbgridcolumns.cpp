#include "vcl/dbgridcolumns.h"

#include "vcl/dbgrid.h"

#include "dataset/clientdataset.h"
#include "dataset/datasource.h"

namespace fiscal::vcl {

TColumn::TColumn(TDBGrid *grid, const QString &fieldName)
    : m_grid(grid)
    , m_fieldName(fieldName)
{
}

int TColumn::Index() const
{
    return m_grid->Columns().IndexOf(this);
}

void TColumn::setFieldName(const QString &name)
{
    if (m_fieldName == name)
        return;
    m_fieldName = name;
    m_grid->columnChanged(this, true);
}

dataset::TField *TColumn::Field() const
{
    dataset::TDataSource *ds = m_grid->DataSource();
    if (!ds || !ds->DataSet() || m_fieldName.isEmpty())
        return nullptr;
    return ds->DataSet()->FindField(m_fieldName);
}

QString TColumn::Title() const
{
    if (m_title)
        return *m_title;
    if (dataset::TField *f = Field())
        return f->DisplayLabel();
    return m_fieldName;
}

void TColumn::setTitle(const QString &title)
{
    m_title = title;
    m_grid->columnChanged(this, false);
}

void TColumn::setWidth(int width)
{
    if (m_width == width)
        return;
    m_width = width;
    m_grid->columnChanged(this, false);
}

bool TColumn::Visible() const
{
    if (!m_visible)
        return false;
    dataset::TField *f = Field();
    return !f || f->Visible();
}

void TColumn::setVisible(bool visible)
{
    if (m_visible == visible)
        return;
    m_visible = visible;
    m_grid->columnChanged(this, false);
}

void TColumn::setButtonStyle(TColumnButtonStyle style)
{
    if (m_buttonStyle == style)
        return;
    m_buttonStyle = style;
    m_grid->columnChanged(this, false);
}

Qt::Alignment TColumn::Alignment() const
{
    if (m_alignment)
        return *m_alignment;
    if (dataset::TField *f = Field())
        return f->Alignment();
    return Qt::AlignLeft;
}

void TColumn::setAlignment(Qt::Alignment alignment)
{
    m_alignment = alignment;
    m_grid->columnChanged(this, false);
}

TColumn *TDBGridColumns::Add(const QString &fieldName)
{
    if (!m_userDefined) {
        // The first column added by code replaces the default ones.
        m_grid->beginColumnsChange();
        m_columns.clear();
        m_userDefined = true;
        m_columns.push_back(std::make_unique<TColumn>(m_grid, fieldName));
        m_grid->endColumnsChange();
        return m_columns.back().get();
    }
    m_grid->beginColumnsChange();
    m_columns.push_back(std::make_unique<TColumn>(m_grid, fieldName));
    m_grid->endColumnsChange();
    return m_columns.back().get();
}

void TDBGridColumns::Clear()
{
    m_grid->beginColumnsChange();
    m_columns.clear();
    m_userDefined = false;
    m_grid->endColumnsChange();
}

int TDBGridColumns::IndexOfField(const QString &fieldName) const
{
    for (int i = 0; i < Count(); ++i) {
        if (m_columns[size_t(i)]->FieldName().compare(fieldName, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

TColumn *TDBGridColumns::FindField(const QString &fieldName) const
{
    const int i = IndexOfField(fieldName);
    return i >= 0 ? Items(i) : nullptr;
}

int TDBGridColumns::IndexOf(const TColumn *column) const
{
    for (int i = 0; i < Count(); ++i) {
        if (m_columns[size_t(i)].get() == column)
            return i;
    }
    return -1;
}

void TDBGridColumns::rebuildDefault(const QStringList &fieldNames)
{
    m_columns.clear();
    for (const QString &name : fieldNames)
        m_columns.push_back(std::make_unique<TColumn>(m_grid, name));
}

} // namespace fiscal::vcl
