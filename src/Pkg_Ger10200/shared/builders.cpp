#include "Pkg_Ger10200/shared/builders.h"

#include "clientlib/adoibquery.h"
#include "clientlib/btnpesquisa.h"
#include "dataset/clientdataset.h"
#include "dataset/datasource.h"
#include "protocol/lookups.h"
#include "vcl/colors.h"
#include "vcl/dbgrid.h"
#include "vcl/edit.h"
#include "vcl/maskedit.h"

#include <QAbstractButton>
#include <QBoxLayout>
#include <QLineEdit>

namespace fiscal::ger10200 {

using dataset::TClientDataSet;
using dataset::TDataSource;

dataset::TClientDataSet *makeDataSet(QObject *owner, const QString &name,
                                     std::span<const layout::FieldSpec> fields)
{
    auto *cds = new dataset::TClientDataSet(owner);
    cds->setObjectName(name);
    addFields(cds, fields);
    return cds;
}

void addFields(dataset::TClientDataSet *cds, std::span<const layout::FieldSpec> fields)
{
    for (const layout::FieldSpec &spec : fields) {
        const QString fieldName = QString::fromLatin1(spec.name);
        dataset::TField *f = cds->addField(fieldName, spec.size,
                                           spec.label ? QString::fromUtf8(spec.label) : fieldName);
        f->setVisible(spec.visible);
        f->setReadOnly(spec.readOnly);
        if (spec.editMask)
            f->setEditMask(QString::fromLatin1(spec.editMask));
    }
}

void addColumns(vcl::TDBGrid *grid, std::span<const layout::ColumnSpec> columns)
{
    for (const layout::ColumnSpec &spec : columns) {
        vcl::TColumn *c = grid->Columns().Add(QString::fromLatin1(spec.field));
        c->setTitle(QString::fromUtf8(spec.title));
        if (spec.width > 0)
            c->setWidth(spec.width);
        c->setReadOnly(spec.readOnly);
        c->setButtonStyle(spec.ellipsis ? vcl::cbsEllipsis : vcl::cbsAuto);
    }
}

TDataSource *makeSource(QObject *owner, const QString &name, TClientDataSet *cds)
{
    auto *dts = new TDataSource(owner);
    dts->setObjectName(name);
    dts->setDataSet(cds);
    return dts;
}

vcl::TMaskEdit *makeCodeBox(QWidget *parent, const QString &name, const QString &mask,
                            int maxLength, int width)
{
    auto *box = new vcl::TMaskEdit(parent);
    box->setObjectName(name);
    if (!mask.isEmpty())
        box->setEditMask(mask);
    if (maxLength > 0)
        box->setMaxLength(maxLength);
    box->setFixedWidth(width);
    vcl::setColor(box, vcl::clInfoBk());
    return box;
}

QLineEdit *makeNameBox(QWidget *parent, const QString &name, int width)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setEnabled(false);
    box->setFocusPolicy(Qt::NoFocus);
    box->setFixedWidth(width);
    vcl::setColor(box, vcl::clBtnFace());
    return box;
}

clientlib::TBtnPesquisa *makeSearch(QWidget *parent, const QString &name, QWidget *associate,
                                    const QString &title, TDataSource *dts, const QString &emptyError)
{
    auto *btn = new clientlib::TBtnPesquisa(parent);
    btn->setObjectName(name);
    btn->setHint(QStringLiteral("Pesquisar"));
    // Screen readers: "Pesquisar Empresa" rather than "...", and the code box by its search
    // (a "Lista" radio button keeps its own caption).
    if (!title.isEmpty()) {
        btn->setAccessibleName(QStringLiteral("Pesquisar ") + title);
        if (associate && associate->accessibleName().isEmpty() && !qobject_cast<QAbstractButton *>(associate))
            associate->setAccessibleName(title);
    }
    btn->setAssociate(associate);
    btn->setTitle(title);
    btn->setDataSource(dts);
    btn->setEmptyError(emptyError);
    return btn;
}

vcl::TEdit *makeGrupoFiscalBox(QWidget *parent, const QString &name)
{
    auto *box = new vcl::TEdit(parent);
    box->setObjectName(name);
    box->setMaxLength(3);
    box->setFixedWidth(box->fontMetrics().horizontalAdvance(QStringLiteral("0000")) + 12);
    vcl::setColor(box, vcl::clInfoBk());
    return box;
}

CodeFieldRow addCodeFieldRow(QBoxLayout *line, QWidget *box, const CodeFieldRowSpec &spec)
{
    QWidget *parent = box->parentWidget();
    CodeFieldRow row;
    row.search = makeSearch(parent, QString::fromLatin1(spec.search), box, spec.title, spec.source, spec.emptyError);
    line->addWidget(box);
    line->addWidget(row.search);
    if (spec.name) {
        // A stretching box is never narrower than a few characters.
        row.name = makeNameBox(parent, QString::fromLatin1(spec.name), spec.nameWidth > 0 ? spec.nameWidth : 80);
        if (spec.nameWidth > 0) {
            line->addWidget(row.name);
        } else {
            row.name->setMaximumWidth(QWIDGETSIZE_MAX);
            line->addWidget(row.name, 1);
        }
    }
    if (!row.name || spec.nameWidth > 0)
        line->addStretch(1);
    return row;
}

clientlib::TADOIBQuery *makeQuery(QObject *owner, const QString &name, const char *lookup,
                                  std::span<const layout::FieldSpec> fields)
{
    const protocol::Lookup &statement = protocol::findLookup(lookup);
    auto *q = new clientlib::TADOIBQuery(owner);
    q->setObjectName(name);
    q->setSQL(QString::fromUtf8(statement.sql));
    q->setConsulta(QString::fromUtf8(statement.name));
    if (statement.sqlOracle)
        q->setSQL_ORACLE(QString::fromUtf8(statement.sqlOracle));
    if (statement.sqlMssql)
        q->setSQL_MSSQL(QString::fromUtf8(statement.sqlMssql));
    if (statement.sqlIb)
        q->setSQL_IB(QString::fromUtf8(statement.sqlIb));
    addFields(q, fields);
    return q;
}

} // namespace fiscal::ger10200
