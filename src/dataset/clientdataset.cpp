// TClientDataSet: fields, states, cursor and editing. The change log and whole-packet
// loading live in changelog.cpp.

#include "dataset/clientdataset.h"

#include "dataset/databaseerror.h"

namespace fiscal::dataset {

TClientDataSet::TClientDataSet(QObject *parent) : QObject(parent) {}

TClientDataSet::~TClientDataSet() = default;

// ---- fields ---------------------------------------------------------------------------

TField *TClientDataSet::addField(const QString &name, int size, const QString &displayLabel)
{
    if (Active())
        throw EDatabaseError(QStringLiteral("%1: campos só podem ser criados com o conjunto de dados fechado.")
                                 .arg(objectName()));
    if (name.trimmed().isEmpty() || size < 0)
        throw EDatabaseError(QStringLiteral("%1: definição de campo inválida.").arg(objectName()));
    if (m_fieldsFromPacket) {
        // Fields that came from an earlier packet give way to the ones the code defines.
        m_fields.clear();
        m_fieldsFromPacket = false;
    }
    if (FindField(name))
        throw EDatabaseError(QStringLiteral("%1: campo '%2' repetido.").arg(objectName(), name));
    Q_EMIT modelAboutToBeReset();
    m_fields.push_back(std::make_unique<TField>(this, int(m_fields.size()), name, size));
    TField *f = m_fields.back().get();
    f->m_label = displayLabel;
    Q_EMIT modelReset();
    return f;
}

TField *TClientDataSet::FindField(const QString &name) const
{
    for (const auto &f : m_fields) {
        if (f->FieldName().compare(name, Qt::CaseInsensitive) == 0)
            return f.get();
    }
    return nullptr;
}

TField *TClientDataSet::FieldByName(const QString &name) const
{
    if (TField *f = FindField(name))
        return f;
    throw EDatabaseError(QStringLiteral("%1: campo '%2' não encontrado.").arg(objectName(), name));
}

TField *TClientDataSet::Fields(int index) const
{
    if (index < 0 || index >= FieldCount())
        throw EDatabaseError(QStringLiteral("%1: índice de campo %2 fora do intervalo.").arg(objectName()).arg(index));
    return m_fields[size_t(index)].get();
}

QList<FieldDef> TClientDataSet::FieldDefs() const
{
    QList<FieldDef> defs;
    defs.reserve(FieldCount());
    for (const auto &f : m_fields)
        defs.append(FieldDef{f->FieldName(), f->Size(), f->DataType(), f->Required()});
    return defs;
}

// ---- opening --------------------------------------------------------------------------

void TClientDataSet::checkActive() const
{
    if (!Active())
        throw EDatabaseError(QStringLiteral("%1: operação não permitida com o conjunto de dados fechado.")
                                 .arg(objectName()));
}

void TClientDataSet::setState(TDataSetState state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(state);
}

void TClientDataSet::Open()
{
    if (Active())
        return;
    if (m_fields.empty())
        throw EDatabaseError(QStringLiteral("%1: não há campos nem pacote de dados.").arg(objectName()));
    Q_EMIT modelAboutToBeReset();
    clearContent();
    m_cur = -1;
    m_bof = m_eof = true;
    m_state = dsBrowse;
    Q_EMIT modelReset();
    Q_EMIT stateChanged(dsBrowse);
    fire(AfterScroll);
}

void TClientDataSet::Close()
{
    if (!Active())
        return;
    const bool hadRow = m_cur >= 0;
    Q_EMIT modelAboutToBeReset();
    clearContent();
    m_cur = -1;
    m_bof = m_eof = true;
    m_buffer = Row();
    m_modified = false;
    m_state = dsInactive;
    Q_EMIT modelReset();
    Q_EMIT stateChanged(dsInactive);
    if (hadRow)
        Q_EMIT currentChanged(-1);
}

void TClientDataSet::clearContent()
{
    m_records.clear();
    m_deleted.clear();
    m_changes.clear();
    m_owned.clear();
    m_base.clear();
    m_changeCount = 0;
}

// ---- values ---------------------------------------------------------------------------

RowRef TClientDataSet::readRow() const
{
    checkActive();
    const int r = m_peekRow >= 0 ? m_peekRow : m_cur;
    if (r < 0)
        return RowRef();
    if (r == m_cur && (m_state == dsEdit || m_state == dsInsert))
        return m_buffer.ref();
    return RowRef(m_records[size_t(r)].row);
}

RowRef TClientDataSet::rowRef(int row) const
{
    if (row < 0 || row >= rowCount())
        return RowRef();
    if (row == m_cur && (m_state == dsEdit || m_state == dsInsert))
        return m_buffer.ref();
    return RowRef(m_records[size_t(row)].row);
}

const char *TClientDataSet::keep(Row &&row)
{
    m_owned.push_back(std::move(row));
    return m_owned.back().ref().data();
}

bool TClientDataSet::writeValue(int field, const std::optional<QString> &value)
{
    checkActive();
    if (m_state != dsEdit && m_state != dsInsert)
        throw EDatabaseError(QStringLiteral("%1: o conjunto de dados não está em modo de edição ou inserção.")
                                 .arg(objectName()));
    if (m_peekRow >= 0)
        throw EDatabaseError(QStringLiteral("%1: valores não podem ser alterados durante a exibição.")
                                 .arg(objectName()));
    const bool same = value ? (!m_buffer.isNull(field) && QAnyStringView::equal(m_buffer.view(field), *value))
                            : m_buffer.isNull(field);
    if (same)
        return false;
    m_buffer.set(field, value);
    m_modified = true;
    Q_EMIT dataChanged(m_cur, field);
    return true;
}

std::optional<QString> TClientDataSet::oldValue(int field) const
{
    checkActive();
    // The row shown through withRowAsCurrent(), as for the values.
    const int r = m_peekRow >= 0 ? m_peekRow : m_cur;
    if (r < 0)
        return std::nullopt;
    const Record &rec = m_records[size_t(r)];
    const Status status = statusOf(rec);
    if ((m_state == dsInsert && r == m_cur) || status == Inserted)
        return std::nullopt;
    if (status == Changed)
        return RowRef(changeOf(rec).original).value(field);
    return RowRef(rec.row).value(field);
}

std::optional<QString> TClientDataSet::valueAt(int row, int field) const
{
    if (row < 0 || row >= rowCount() || field < 0 || field >= FieldCount())
        return std::nullopt;
    return rowRef(row).value(field);
}

void TClientDataSet::withRowAsCurrent(int row, const std::function<void()> &fn) const
{
    if (row < 0 || row >= rowCount())
        return;
    struct Peek {
        int &slot;
        int saved;
        ~Peek() { slot = saved; }
    } peek{m_peekRow, m_peekRow};
    m_peekRow = row;
    fn();
}

QString TClientDataSet::textAt(int row, int field, bool displayText) const
{
    if (field < 0 || field >= FieldCount())
        return QString();
    QString text;
    withRowAsCurrent(row, [&] { text = m_fields[size_t(field)]->textFor(displayText); });
    return text;
}

// ---- cursor ---------------------------------------------------------------------------

void TClientDataSet::moveTo(int row)
{
    if (m_cur == row)
        return;
    m_cur = row;
    Q_EMIT currentChanged(row);
}

void TClientDataSet::First()
{
    CheckBrowseMode();
    fire(BeforeScroll);
    moveTo(m_records.empty() ? -1 : 0);
    m_bof = true;
    m_eof = m_records.empty();
    fire(AfterScroll);
}

void TClientDataSet::Last()
{
    CheckBrowseMode();
    fire(BeforeScroll);
    moveTo(rowCount() - 1);
    m_eof = true;
    m_bof = m_records.empty();
    fire(AfterScroll);
}

int TClientDataSet::MoveBy(int distance)
{
    CheckBrowseMode();
    if (distance == 0)
        return 0;
    if (m_records.empty()) {
        m_bof = m_eof = true;
        return 0;
    }
    fire(BeforeScroll);
    qint64 target = qint64(m_cur) + distance;
    m_bof = m_eof = false;
    if (target >= rowCount()) {
        target = rowCount() - 1;
        m_eof = true;
    }
    if (target < 0) {
        target = 0;
        m_bof = true;
    }
    const int moved = int(target) - m_cur;
    if (moved != 0) {
        moveTo(int(target));
        fire(AfterScroll);
    }
    return moved;
}

void TClientDataSet::setRecNo(int recNo)
{
    checkActive();
    if (recNo != RecNo())
        MoveBy(recNo - RecNo());
}

bool TClientDataSet::Locate(const QString &fieldName, const QString &value, bool caseInsensitive)
{
    const int f = FieldByName(fieldName)->Index();
    CheckBrowseMode();
    const Qt::CaseSensitivity cs = caseInsensitive ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (int i = 0; i < rowCount(); ++i) {
        if (QAnyStringView::compare(RowRef(m_records[size_t(i)].row).view(f), value, cs) == 0) {
            fire(BeforeScroll);
            moveTo(i);
            m_bof = m_eof = false;
            fire(AfterScroll);
            return true;
        }
    }
    return false;
}

// ---- editing --------------------------------------------------------------------------

void TClientDataSet::CheckBrowseMode()
{
    checkActive();
    if (m_state == dsEdit || m_state == dsInsert) {
        Q_EMIT updateRecord();
        if (m_state != dsEdit && m_state != dsInsert)
            return;
        if (m_modified)
            Post();
        else
            Cancel();
    }
}

void TClientDataSet::Edit()
{
    checkActive();
    if (m_state == dsEdit || m_state == dsInsert)
        return;
    if (m_records.empty()) {
        Insert();
        return;
    }
    fire(BeforeEdit);
    m_buffer = Row::copyOf(RowRef(m_records[size_t(m_cur)].row));
    m_modified = false;
    setState(dsEdit);
    fire(AfterEdit);
}

void TClientDataSet::Insert() { beginInsert(false); }
void TClientDataSet::Append() { beginInsert(true); }

void TClientDataSet::beginInsert(bool append)
{
    CheckBrowseMode();
    fire(BeforeInsert);
    fire(BeforeScroll);
    const int pos = (append || m_cur < 0) ? rowCount() : m_cur;
    Q_EMIT rowsAboutToBeInserted(pos);
    Record rec;
    rec.row = keep(Row(FieldCount()));
    m_records.insert(m_records.begin() + pos, std::move(rec));
    m_cur = pos;
    m_buffer = Row(FieldCount());
    m_modified = false;
    m_bof = m_eof = false;
    m_state = dsInsert;
    Q_EMIT rowsInserted(pos);
    Q_EMIT stateChanged(dsInsert);
    Q_EMIT currentChanged(pos);
    try {
        fire(OnNewRecord);
    } catch (...) {
        removePendingInsert();
        throw;
    }
    m_modified = false;
    fire(AfterInsert);
    fire(AfterScroll);
}

// Drops the row being inserted; the cursor comes back to the row that was current.
void TClientDataSet::removePendingInsert()
{
    const int pos = m_cur;
    m_state = dsBrowse;
    m_buffer = Row();
    m_modified = false;
    Q_EMIT rowsAboutToBeRemoved(pos);
    m_records.erase(m_records.begin() + pos);
    m_cur = std::min(pos, rowCount() - 1);
    m_bof = m_eof = m_records.empty();
    Q_EMIT rowsRemoved(pos);
    Q_EMIT stateChanged(dsBrowse);
    Q_EMIT currentChanged(m_cur);
}

void TClientDataSet::discardEdit()
{
    const bool differs = !(m_buffer.ref() == RowRef(m_records[size_t(m_cur)].row));
    m_state = dsBrowse;
    m_buffer = Row();
    m_modified = false;
    if (differs)
        Q_EMIT dataChanged(m_cur, -1);
    Q_EMIT stateChanged(dsBrowse);
}

void TClientDataSet::Cancel()
{
    checkActive();
    if (m_state != dsEdit && m_state != dsInsert)
        return;
    fire(BeforeCancel);
    if (m_state == dsInsert)
        removePendingInsert();
    else if (m_state == dsEdit)
        discardEdit();
    fire(AfterCancel);
}

void TClientDataSet::Post()
{
    checkActive();
    if (m_state != dsEdit && m_state != dsInsert)
        return;
    Q_EMIT updateRecord();
    if (m_state != dsEdit && m_state != dsInsert)
        return;
    fire(BeforePost);
    if (m_state != dsEdit && m_state != dsInsert)
        return;   // the handler settled the record itself
    for (const auto &f : m_fields) {
        if (f->Required() && m_buffer.isNull(f->Index()))
            throw EDatabaseError(QStringLiteral("O campo '%1' deve ser preenchido.").arg(f->DisplayLabel()));
    }
    postRecord();
    m_modified = false;
    setState(dsBrowse);
    fire(AfterPost);
}

void TClientDataSet::setChange(Record &rec, Status status, quint64 seq, const char *original)
{
    m_changeCount += int(status != Unchanged) - int(statusOf(rec) != Unchanged);
    if (status == Unchanged) {
        rec.change = 0;
        return;
    }
    m_changes.push_back(ChangeEntry{status, seq, original});
    rec.change = quint32(m_changes.size());
}

void TClientDataSet::postRecord()
{
    Record &rec = m_records[size_t(m_cur)];
    if (m_state == dsInsert) {
        rec.row = keep(std::move(m_buffer));
        // Rows inserted without logging belong to the base; they sort right after their
        // predecessor when CancelUpdates restores the base order.
        rec.ordinal = m_cur > 0 ? m_records[size_t(m_cur - 1)].ordinal : -1;
        if (m_logChanges)
            setChange(rec, Inserted, m_nextSeq++);
    } else if (!(m_buffer.ref() == RowRef(rec.row))) {
        if (m_logChanges && statusOf(rec) == Unchanged)
            setChange(rec, Changed, m_nextSeq++, rec.row);
        rec.row = keep(std::move(m_buffer));
        if (statusOf(rec) == Changed && RowRef(changeOf(rec).original) == RowRef(rec.row))
            setChange(rec, Unchanged);
    }
    m_buffer = Row();
}

void TClientDataSet::Delete()
{
    checkActive();
    if (m_state == dsInsert) {
        Cancel();
        return;
    }
    if (m_records.empty())
        throw EDatabaseError(QStringLiteral("%1: não há registro para excluir.").arg(objectName()));
    fire(BeforeDelete);
    fire(BeforeScroll);
    const bool wasEditing = m_state == dsEdit;
    m_state = dsBrowse;
    m_buffer = Row();
    m_modified = false;

    const int pos = m_cur;
    Record &rec = m_records[size_t(pos)];
    const Status status = statusOf(rec);
    if (status != Inserted && (m_logChanges || status == Changed)) {
        DeletedRecord d;
        d.ordinal = rec.ordinal;
        if (status == Changed) {
            d.original = changeOf(rec).original;
            d.seq = changeOf(rec).seq;
        } else {
            d.original = rec.row;
            d.seq = m_nextSeq++;
        }
        m_deleted.push_back(d);
        ++m_changeCount;
    }
    setChange(rec, Unchanged);

    Q_EMIT rowsAboutToBeRemoved(pos);
    m_records.erase(m_records.begin() + pos);
    m_cur = std::min(pos, rowCount() - 1);
    m_bof = m_eof = m_records.empty();
    Q_EMIT rowsRemoved(pos);
    if (wasEditing)
        Q_EMIT stateChanged(dsBrowse);
    Q_EMIT currentChanged(m_cur);
    fire(AfterDelete);
    fire(AfterScroll);
}

TUpdateStatus TClientDataSet::UpdateStatus() const
{
    if (!Active() || m_cur < 0)
        return usUnmodified;
    if (m_state == dsInsert)
        return usInserted;
    switch (statusOf(m_records[size_t(m_cur)])) {
    case Changed: return usModified;
    case Inserted: return usInserted;
    case Unchanged: break;
    }
    return usUnmodified;
}

} // namespace fiscal::dataset
