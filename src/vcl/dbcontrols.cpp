#include "vcl/dbcontrols.h"

#include "vcl/confirm.h"
#include "vcl/guard.h"

#include <QHBoxLayout>
#include <QToolButton>

namespace fiscal::vcl {

using dataset::TClientDataSet;
using dataset::TDataSource;

TDBText::TDBText(QWidget *parent)
    : QLabel(parent)
{
}

void TDBText::setDataSource(TDataSource *source)
{
    for (const auto &c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_source = source;
    if (source) {
        m_connections << connect(source, &TDataSource::currentChanged, this, [this] { refresh(); });
        m_connections << connect(source, &TDataSource::dataChanged, this, [this] { refresh(); });
        m_connections << connect(source, &TDataSource::modelReset, this, [this] { refresh(); });
        m_connections << connect(source, &TDataSource::dataSetChanged, this, [this] { refresh(); });
        m_connections << connect(source, &TDataSource::stateChange, this, [this] { refresh(); });
    }
    refresh();
}

void TDBText::setDataField(const QString &name)
{
    m_field = name;
    refresh();
}

void TDBText::refresh()
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    dataset::TField *f = ds && ds->Active() ? ds->FindField(m_field) : nullptr;
    setText(f && !ds->IsEmpty() ? f->DisplayText() : QString());
}

TDBNavigator::TDBNavigator(QWidget *parent)
    : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    static const char *const texts[] = {"|◀", "◀", "▶", "▶|", "+", "−", "✎", "✓", "✕"};
    static const char *const hints[] = {"Primeiro", "Anterior", "Próximo", "Último", "Incluir",
                                        "Excluir", "Alterar", "Gravar", "Cancelar"};
    for (int i = nbFirst; i <= nbCancel; ++i) {
        auto *b = new QToolButton(this);
        b->setText(QString::fromUtf8(texts[i]));
        b->setToolTip(QString::fromUtf8(hints[i]));
        b->setAccessibleName(QString::fromUtf8(hints[i]));   // the glyphs mean nothing read aloud
        b->setFocusPolicy(Qt::NoFocus);   // clicking must not trigger a box's exit check
        connect(b, &QToolButton::clicked, this, [this, i] { BtnClick(TNavigateBtn(i)); });
        layout->addWidget(b);
        m_buttons[i] = b;
    }
    updateButtons();
}

void TDBNavigator::setDataSource(TDataSource *source)
{
    for (const auto &c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_source = source;
    if (source) {
        m_connections << connect(source, &TDataSource::stateChange, this, [this] { updateButtons(); });
        m_connections << connect(source, &TDataSource::currentChanged, this, [this] { updateButtons(); });
        m_connections << connect(source, &TDataSource::modelReset, this, [this] { updateButtons(); });
        m_connections << connect(source, &TDataSource::dataSetChanged, this, [this] { updateButtons(); });
        m_connections << connect(source, &TDataSource::rowsRemoved, this, [this] { updateButtons(); });
        m_connections << connect(source, &TDataSource::rowsInserted, this, [this] { updateButtons(); });
    }
    updateButtons();
}

void TDBNavigator::BtnClick(TNavigateBtn which)
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    if (!ds || !m_buttons[which]->isEnabled())
        return;
    guarded([&] {
        switch (which) {
        case nbFirst: ds->First(); break;
        case nbPrior: ds->Prior(); break;
        case nbNext: ds->Next(); break;
        case nbLast: ds->Last(); break;
        case nbInsert: ds->Insert(); break;
        case nbDelete:
            if (!m_confirmDelete || confirm(QStringLiteral("Confirma exclusão?")))
                ds->Delete();
            break;
        case nbEdit: ds->Edit(); break;
        case nbPost: ds->Post(); break;
        case nbCancel: ds->Cancel(); break;
        }
    });
    updateButtons();
}

void TDBNavigator::updateButtons()
{
    TClientDataSet *ds = m_source ? m_source->DataSet() : nullptr;
    const bool active = ds && ds->Active();
    const bool editing = active && (ds->State() == dataset::dsEdit || ds->State() == dataset::dsInsert);
    const bool browsing = active && ds->State() == dataset::dsBrowse;
    const bool rows = active && !ds->IsEmpty();
    const int row = active ? ds->currentRow() : -1;
    const int last = active ? ds->rowCount() - 1 : -1;
    m_buttons[nbFirst]->setEnabled(rows && row > 0);
    m_buttons[nbPrior]->setEnabled(rows && row > 0);
    m_buttons[nbNext]->setEnabled(rows && row < last);
    m_buttons[nbLast]->setEnabled(rows && row < last);
    m_buttons[nbInsert]->setEnabled(browsing);
    m_buttons[nbDelete]->setEnabled(rows);
    m_buttons[nbEdit]->setEnabled(browsing && rows);
    m_buttons[nbPost]->setEnabled(editing);
    m_buttons[nbCancel]->setEnabled(editing);
}

} // namespace fiscal::vcl
