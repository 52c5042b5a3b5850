// TClientDataSet: change log, delta, merge, cancel of updates and whole-packet loading.

#include "dataset/clientdataset.h"

#include "dataset/databaseerror.h"

#include <algorithm>
#include <unordered_map>

namespace fiscal::dataset {
namespace {

Row remap(const Row &src, const std::vector<int> &mapping)
{
    Row r;
    for (int m : mapping) {
        if (src.isNull(m))
            r.appendNull();
        else
            r.append(src.view(m));
    }
    return r;
}

size_t rowHash(const Row &r)
{
    size_t h = size_t(r.size());
    for (qsizetype i = 0; i < r.size(); ++i)
        h = h * 31 + (r.isNull(i) ? 0x9e3779b9u : qHash(r.view(i)));
    return h;
}

bool identity(const std::vector<int> &mapping, qsizetype width)
{
    if (qsizetype(mapping.size()) != width)
        return false;
    for (size_t i = 0; i < mapping.size(); ++i) {
        if (mapping[i] != int(i))
            return false;
    }
    return true;
}

} // namespace

ChangeSet TClientDataSet::Delta() const
{
    ChangeSet cs;
    cs.fields = FieldDefs();
    std::vector<std::pair<quint64, Change>> items;
    items.reserve(size_t(changeCount_));
    for (size_t i = 0; i < records_.size(); ++i) {
        if (state_ == dsInsert && int(i) == cur_)
            continue;
        const Record &rec = records_[i];
        if (rec.status == Changed)
            items.push_back({rec.seq, Change{Change::Update, *rec.original, rec.row}});
        else if (rec.status == Inserted)
            items.push_back({rec.seq, Change{Change::Insert, Row(), rec.row}});
    }
    for (const DeletedRecord &d : deleted_)
        items.push_back({d.seq, Change{Change::Delete, d.original, Row()}});
    std::stable_sort(items.begin(), items.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    cs.changes.reserve(qsizetype(items.size()));
    for (auto &item : items)
        cs.changes.append(std::move(item.second));
    return cs;
}

void TClientDataSet::MergeChangeLog()
{
    CheckBrowseMode();
    for (size_t i = 0; i < records_.size(); ++i) {
        Record &rec = records_[i];
        rec.original.reset();
        rec.status = Unchanged;
        rec.seq = 0;
        rec.ordinal = qint32(i);
    }
    deleted_.clear();
    changeCount_ = 0;
}

void TClientDataSet::CancelUpdates()
{
    Cancel();
    checkActive();
    if (changeCount_ == 0)
        return;
    std::vector<Record> kept;
    kept.reserve(records_.size() + deleted_.size());
    for (Record &rec : records_) {
        if (rec.status == Inserted)
            continue;
        if (rec.status == Changed) {
            rec.row = std::move(*rec.original);
            rec.original.reset();
            rec.status = Unchanged;
        }
        kept.push_back(std::move(rec));
    }
    std::vector<DeletedRecord> back = std::move(deleted_);
    std::stable_sort(back.begin(), back.end(),
                     [](const DeletedRecord &a, const DeletedRecord &b) { return a.ordinal < b.ordinal; });
    // Deleted rows go back between the rows that surrounded them at the last load or merge.
    std::vector<Record> restored;
    restored.reserve(kept.size() + back.size());
    size_t k = 0;
    for (DeletedRecord &d : back) {
        while (k < kept.size() && kept[k].ordinal < d.ordinal)
            restored.push_back(std::move(kept[k++]));
        Record rec;
        rec.row = std::move(d.original);
        rec.ordinal = d.ordinal;
        restored.push_back(std::move(rec));
    }
    while (k < kept.size())
        restored.push_back(std::move(kept[k++]));

    Q_EMIT modelAboutToBeReset();
    records_ = std::move(restored);
    deleted_.clear();
    changeCount_ = 0;
    for (Record &rec : records_)
        rec.seq = 0;
    cur_ = records_.empty() ? -1 : std::clamp(cur_, 0, rowCount() - 1);
    bof_ = eof_ = records_.empty();
    Q_EMIT modelReset();
    Q_EMIT currentChanged(cur_);
}

DataPacket TClientDataSet::Data() const
{
    DataPacket p;
    p.fields = FieldDefs();
    p.rows.reserve(rowCount());
    for (size_t i = 0; i < records_.size(); ++i) {
        if (state_ == dsInsert && int(i) == cur_)
            continue;
        p.rows.append(records_[i].row);
    }
    p.changes = Delta();
    return p;
}

void TClientDataSet::loadFromCbor(const QByteArray &cbor) { setData(DataPacket::readCbor(cbor)); }

void TClientDataSet::setData(const DataPacket &packet) { setData(DataPacket(packet)); }

// Everything is checked and built aside first: a packet that does not fit leaves the data
// set exactly as it was.
TClientDataSet::Content TClientDataSet::buildContent(DataPacket &&packet, std::vector<int> &mapping)
{
    const QString name = objectName();
    auto bad = [&](const QString &why) {
        return EDatabaseError(QStringLiteral("%1: pacote de dados inválido: %2.").arg(name, why));
    };
    const qsizetype width = packet.fields.size();
    for (qsizetype i = 0; i < width; ++i) {
        if (packet.fields[i].name.trimmed().isEmpty())
            throw bad(QStringLiteral("campo %1 sem nome").arg(i + 1));
    }
    auto checkWidth = [&](const Row &r, const QString &what) {
        if (r.size() != width)
            throw bad(QStringLiteral("%1 tem %2 valores para %3 campos").arg(what).arg(r.size()).arg(width));
    };
    for (qsizetype i = 0; i < packet.rows.size(); ++i)
        checkWidth(packet.rows[i], QStringLiteral("a linha %1").arg(i + 1));
    if (packet.changes) {
        for (qsizetype i = 0; i < packet.changes->changes.size(); ++i) {
            const Change &c = packet.changes->changes[i];
            const QString what = QStringLiteral("a alteração %1").arg(i + 1);
            if (c.op != Change::Insert)
                checkWidth(c.oldValues, what);
            if (c.op != Change::Delete)
                checkWidth(c.newValues, what);
        }
    }

    mapping.clear();
    if (!fields_.empty() && !fieldsFromPacket_) {
        for (const auto &f : fields_) {
            int found = -1;
            for (qsizetype i = 0; i < width; ++i) {
                if (packet.fields[i].name.compare(f->FieldName(), Qt::CaseInsensitive) == 0) {
                    found = int(i);
                    break;
                }
            }
            if (found < 0)
                throw EDatabaseError(QStringLiteral("%1: o campo '%2' não está no pacote de dados.")
                                         .arg(name, f->FieldName()));
            mapping.push_back(found);
        }
    } else {
        QStringList seen;
        for (qsizetype i = 0; i < width; ++i) {
            const QString upper = packet.fields[i].name.toUpper();
            if (seen.contains(upper))
                throw bad(QStringLiteral("campo '%1' repetido").arg(packet.fields[i].name));
            seen.append(upper);
            mapping.push_back(int(i));
        }
    }
    const bool same = identity(mapping, width);

    Content c;
    c.records.reserve(size_t(packet.rows.size()));
    for (qsizetype i = 0; i < packet.rows.size(); ++i) {
        Record rec;
        rec.row = same ? std::move(packet.rows[i]) : remap(packet.rows[i], mapping);
        rec.ordinal = qint32(i);
        c.records.push_back(std::move(rec));
    }
    packet.rows.clear();

    if (packet.changes && !packet.changes->changes.isEmpty()) {
        // A logged row is recognised by its current values: the first row not yet claimed
        // that holds exactly the change's new values.
        std::unordered_multimap<size_t, size_t> byValues;
        byValues.reserve(c.records.size());
        for (size_t i = 0; i < c.records.size(); ++i)
            byValues.emplace(rowHash(c.records[i].row), i);
        qint32 deletedOrdinal = qint32(c.records.size());
        for (const Change &ch : packet.changes->changes) {
            const quint64 seq = c.nextSeq++;
            if (ch.op == Change::Delete) {
                DeletedRecord d;
                d.original = same ? ch.oldValues : remap(ch.oldValues, mapping);
                d.seq = seq;
                d.ordinal = deletedOrdinal++;
                c.deleted.push_back(std::move(d));
                ++c.changeCount;
                continue;
            }
            const Row current = same ? ch.newValues : remap(ch.newValues, mapping);
            auto range = byValues.equal_range(rowHash(current));
            size_t match = c.records.size();
            for (auto it = range.first; it != range.second; ++it) {
                const Record &rec = c.records[it->second];
                if (rec.status == Unchanged && rec.row == current && it->second < match)
                    match = it->second;
            }
            if (match == c.records.size())
                throw bad(QStringLiteral("uma alteração não corresponde a nenhuma linha"));
            Record &rec = c.records[match];
            rec.seq = seq;
            if (ch.op == Change::Update) {
                rec.original = std::make_unique<Row>(same ? ch.oldValues : remap(ch.oldValues, mapping));
                rec.status = Changed;
            } else {
                rec.status = Inserted;
            }
            ++c.changeCount;
        }
    }
    return c;
}

void TClientDataSet::setData(DataPacket &&packet)
{
    std::vector<int> mapping;
    QList<FieldDef> defs = packet.fields;
    Content content = buildContent(std::move(packet), mapping);

    // Loading closes and reopens the data set, so that state observers see it pass
    // through dsInactive and look at the new content.
    Close();
    const bool fromPacket = fields_.empty() || fieldsFromPacket_;
    if (fromPacket && FieldDefs() != defs) {
        Q_EMIT modelAboutToBeReset();
        fields_.clear();
        for (qsizetype i = 0; i < defs.size(); ++i) {
            fields_.push_back(std::make_unique<TField>(this, int(i), defs[i].name, defs[i].size));
            fields_.back()->required_ = defs[i].required;
        }
        fieldsFromPacket_ = true;
        Q_EMIT modelReset();
    }

    Q_EMIT modelAboutToBeReset();
    records_ = std::move(content.records);
    deleted_ = std::move(content.deleted);
    changeCount_ = content.changeCount;
    nextSeq_ = std::max(nextSeq_, content.nextSeq);
    cur_ = records_.empty() ? -1 : 0;
    bof_ = true;
    eof_ = records_.empty();
    buffer_ = Row();
    modified_ = false;
    state_ = dsBrowse;
    Q_EMIT modelReset();
    Q_EMIT stateChanged(dsBrowse);
    Q_EMIT currentChanged(cur_);
    fire(AfterScroll);
}

} // namespace fiscal::dataset
