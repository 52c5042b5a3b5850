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
    if (fieldsFromPacket_) {
        // Fields that came from an earlier packet give way to the ones the code defines.
        fields_.clear();
        fieldsFromPacket_ = false;
    }
    if (FindField(name))
        throw EDatabaseError(QStringLiteral("%1: campo '%2' repetido.").arg(objectName(), name));
    Q_EMIT modelAboutToBeReset();
    fields_.push_back(std::make_unique<TField>(this, int(fields_.size()), name, size));
    TField *f = fields_.back().get();
    f->label_ = displayLabel;
    Q_EMIT modelReset();
    return f;
}

TField *TClientDataSet::FindField(const QString &name) const
{
    for (const auto &f : fields_) {
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
    return fields_[size_t(index)].get();
}

QList<FieldDef> TClientDataSet::FieldDefs() const
{
    QList<FieldDef> defs;
    defs.reserve(FieldCount());
    for (const auto &f : fields_)
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
    if (state_ == state)
        return;
    state_ = state;
    Q_EMIT stateChanged(state);
}

void TClientDataSet::Open()
{
    if (Active())
        return;
    if (fields_.empty())
        throw EDatabaseError(QStringLiteral("%1: não há campos nem pacote de dados.").arg(objectName()));
    Q_EMIT modelAboutToBeReset();
    clearContent();
    cur_ = -1;
    bof_ = eof_ = true;
    state_ = dsBrowse;
    Q_EMIT modelReset();
    Q_EMIT stateChanged(dsBrowse);
    fire(AfterScroll);
}

void TClientDataSet::Close()
{
    if (!Active())
        return;
    const bool hadRow = cur_ >= 0;
    Q_EMIT modelAboutToBeReset();
    clearContent();
    cur_ = -1;
    bof_ = eof_ = true;
    buffer_ = Row();
    modified_ = false;
    state_ = dsInactive;
    Q_EMIT modelReset();
    Q_EMIT stateChanged(dsInactive);
    if (hadRow)
        Q_EMIT currentChanged(-1);
}

void TClientDataSet::clearContent()
{
    records_.clear();
    deleted_.clear();
    changes_.clear();
    owned_.clear();
    base_.clear();
    changeCount_ = 0;
}

// ---- values ---------------------------------------------------------------------------

RowRef TClientDataSet::readRow() const
{
    checkActive();
    const int r = peekRow_ >= 0 ? peekRow_ : cur_;
    if (r < 0)
        return RowRef();
    if (r == cur_ && (state_ == dsEdit || state_ == dsInsert))
        return buffer_.ref();
    return RowRef(records_[size_t(r)].row);
}

RowRef TClientDataSet::rowRef(int row) const
{
    if (row < 0 || row >= rowCount())
        return RowRef();
    if (row == cur_ && (state_ == dsEdit || state_ == dsInsert))
        return buffer_.ref();
    return RowRef(records_[size_t(row)].row);
}

const char *TClientDataSet::keep(Row &&row)
{
    owned_.push_back(std::move(row));
    return owned_.back().ref().data();
}

bool TClientDataSet::writeValue(int field, const std::optional<QString> &value)
{
    checkActive();
    if (state_ != dsEdit && state_ != dsInsert)
        throw EDatabaseError(QStringLiteral("%1: o conjunto de dados não está em modo de edição ou inserção.")
                                 .arg(objectName()));
    if (peekRow_ >= 0)
        throw EDatabaseError(QStringLiteral("%1: valores não podem ser alterados durante a exibição.")
                                 .arg(objectName()));
    const bool same = value ? (!buffer_.isNull(field) && QAnyStringView::equal(buffer_.view(field), *value))
                            : buffer_.isNull(field);
    if (same)
        return false;
    buffer_.set(field, value);
    modified_ = true;
    Q_EMIT dataChanged(cur_, field);
    return true;
}

std::optional<QString> TClientDataSet::oldValue(int field) const
{
    checkActive();
    if (cur_ < 0)
        return std::nullopt;
    const Record &rec = records_[size_t(cur_)];
    const Status status = statusOf(rec);
    if (state_ == dsInsert || status == Inserted)
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
    } peek{peekRow_, peekRow_};
    peekRow_ = row;
    fn();
}

QString TClientDataSet::textAt(int row, int field, bool displayText) const
{
    if (field < 0 || field >= FieldCount())
        return QString();
    QString text;
    withRowAsCurrent(row, [&] { text = fields_[size_t(field)]->textFor(displayText); });
    return text;
}

// ---- cursor ---------------------------------------------------------------------------

void TClientDataSet::moveTo(int row)
{
    if (cur_ == row)
        return;
    cur_ = row;
    Q_EMIT currentChanged(row);
}

void TClientDataSet::First()
{
    CheckBrowseMode();
    fire(BeforeScroll);
    moveTo(records_.empty() ? -1 : 0);
    bof_ = true;
    eof_ = records_.empty();
    fire(AfterScroll);
}

void TClientDataSet::Last()
{
    CheckBrowseMode();
    fire(BeforeScroll);
    moveTo(rowCount() - 1);
    eof_ = true;
    bof_ = records_.empty();
    fire(AfterScroll);
}

int TClientDataSet::MoveBy(int distance)
{
    CheckBrowseMode();
    if (distance == 0)
        return 0;
    if (records_.empty()) {
        bof_ = eof_ = true;
        return 0;
    }
    fire(BeforeScroll);
    qint64 target = qint64(cur_) + distance;
    bof_ = eof_ = false;
    if (target >= rowCount()) {
        target = rowCount() - 1;
        eof_ = true;
    }
    if (target < 0) {
        target = 0;
        bof_ = true;
    }
    const int moved = int(target) - cur_;
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
        if (QAnyStringView::compare(RowRef(records_[size_t(i)].row).view(f), value, cs) == 0) {
            fire(BeforeScroll);
            moveTo(i);
            bof_ = eof_ = false;
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
    if (state_ == dsEdit || state_ == dsInsert) {
        Q_EMIT updateRecord();
        if (state_ != dsEdit && state_ != dsInsert)
            return;
        if (modified_)
            Post();
        else
            Cancel();
    }
}

void TClientDataSet::Edit()
{
    checkActive();
    if (state_ == dsEdit || state_ == dsInsert)
        return;
    if (records_.empty()) {
        Insert();
        return;
    }
    fire(BeforeEdit);
    buffer_ = Row::copyOf(RowRef(records_[size_t(cur_)].row));
    modified_ = false;
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
    const int pos = (append || cur_ < 0) ? rowCount() : cur_;
    Q_EMIT rowsAboutToBeInserted(pos);
    Record rec;
    rec.row = keep(Row(FieldCount()));
    records_.insert(records_.begin() + pos, std::move(rec));
    cur_ = pos;
    buffer_ = Row(FieldCount());
    modified_ = false;
    bof_ = eof_ = false;
    state_ = dsInsert;
    Q_EMIT rowsInserted(pos);
    Q_EMIT stateChanged(dsInsert);
    Q_EMIT currentChanged(pos);
    try {
        fire(OnNewRecord);
    } catch (...) {
        removePendingInsert();
        throw;
    }
    modified_ = false;
    fire(AfterInsert);
    fire(AfterScroll);
}

// Drops the row being inserted; the cursor comes back to the row that was current.
void TClientDataSet::removePendingInsert()
{
    const int pos = cur_;
    state_ = dsBrowse;
    buffer_ = Row();
    modified_ = false;
    Q_EMIT rowsAboutToBeRemoved(pos);
    records_.erase(records_.begin() + pos);
    cur_ = std::min(pos, rowCount() - 1);
    bof_ = eof_ = records_.empty();
    Q_EMIT rowsRemoved(pos);
    Q_EMIT stateChanged(dsBrowse);
    Q_EMIT currentChanged(cur_);
}

void TClientDataSet::discardEdit()
{
    const bool differs = !(buffer_.ref() == RowRef(records_[size_t(cur_)].row));
    state_ = dsBrowse;
    buffer_ = Row();
    modified_ = false;
    if (differs)
        Q_EMIT dataChanged(cur_, -1);
    Q_EMIT stateChanged(dsBrowse);
}

void TClientDataSet::Cancel()
{
    checkActive();
    if (state_ != dsEdit && state_ != dsInsert)
        return;
    fire(BeforeCancel);
    if (state_ == dsInsert)
        removePendingInsert();
    else if (state_ == dsEdit)
        discardEdit();
    fire(AfterCancel);
}

void TClientDataSet::Post()
{
    checkActive();
    if (state_ != dsEdit && state_ != dsInsert)
        return;
    Q_EMIT updateRecord();
    if (state_ != dsEdit && state_ != dsInsert)
        return;
    fire(BeforePost);
    if (state_ != dsEdit && state_ != dsInsert)
        return;   // the handler settled the record itself
    for (const auto &f : fields_) {
        if (f->Required() && buffer_.isNull(f->Index()))
            throw EDatabaseError(QStringLiteral("O campo '%1' deve ser preenchido.").arg(f->DisplayLabel()));
    }
    postRecord();
    modified_ = false;
    setState(dsBrowse);
    fire(AfterPost);
}

void TClientDataSet::setChange(Record &rec, Status status, quint64 seq, const char *original)
{
    changeCount_ += int(status != Unchanged) - int(statusOf(rec) != Unchanged);
    if (status == Unchanged) {
        rec.change = 0;
        return;
    }
    changes_.push_back(ChangeEntry{status, seq, original});
    rec.change = quint32(changes_.size());
}

void TClientDataSet::postRecord()
{
    Record &rec = records_[size_t(cur_)];
    if (state_ == dsInsert) {
        rec.row = keep(std::move(buffer_));
        // Rows inserted without logging belong to the base; they sort right after their
        // predecessor when CancelUpdates restores the base order.
        rec.ordinal = cur_ > 0 ? records_[size_t(cur_ - 1)].ordinal : -1;
        if (logChanges_)
            setChange(rec, Inserted, nextSeq_++);
    } else if (!(buffer_.ref() == RowRef(rec.row))) {
        if (logChanges_ && statusOf(rec) == Unchanged)
            setChange(rec, Changed, nextSeq_++, rec.row);
        rec.row = keep(std::move(buffer_));
        if (statusOf(rec) == Changed && RowRef(changeOf(rec).original) == RowRef(rec.row))
            setChange(rec, Unchanged);
    }
    buffer_ = Row();
}

void TClientDataSet::Delete()
{
    checkActive();
    if (state_ == dsInsert) {
        Cancel();
        return;
    }
    if (records_.empty())
        throw EDatabaseError(QStringLiteral("%1: não há registro para excluir.").arg(objectName()));
    fire(BeforeDelete);
    fire(BeforeScroll);
    const bool wasEditing = state_ == dsEdit;
    state_ = dsBrowse;
    buffer_ = Row();
    modified_ = false;

    const int pos = cur_;
    Record &rec = records_[size_t(pos)];
    const Status status = statusOf(rec);
    if (status != Inserted && (logChanges_ || status == Changed)) {
        DeletedRecord d;
        d.ordinal = rec.ordinal;
        if (status == Changed) {
            d.original = changeOf(rec).original;
            d.seq = changeOf(rec).seq;
        } else {
            d.original = rec.row;
            d.seq = nextSeq_++;
        }
        deleted_.push_back(d);
        ++changeCount_;
    }
    setChange(rec, Unchanged);

    Q_EMIT rowsAboutToBeRemoved(pos);
    records_.erase(records_.begin() + pos);
    cur_ = std::min(pos, rowCount() - 1);
    bof_ = eof_ = records_.empty();
    Q_EMIT rowsRemoved(pos);
    if (wasEditing)
        Q_EMIT stateChanged(dsBrowse);
    Q_EMIT currentChanged(cur_);
    fire(AfterDelete);
    fire(AfterScroll);
}

TUpdateStatus TClientDataSet::UpdateStatus() const
{
    if (!Active() || cur_ < 0)
        return usUnmodified;
    if (state_ == dsInsert)
        return usInserted;
    switch (statusOf(records_[size_t(cur_)])) {
    case Changed: return usModified;
    case Inserted: return usInserted;
    case Unchanged: break;
    }
    return usUnmodified;
}

} // namespace fiscal::dataset
