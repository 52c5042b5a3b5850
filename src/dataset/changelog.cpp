// TClientDataSet: change log, delta, merge, cancel of updates and whole-packet loading.

#include "dataset/clientdataset.h"

#include "dataset/databaseerror.h"
#include "dataset/rowbuilder.h"

#include <algorithm>
#include <unordered_map>

namespace fiscal::dataset {
namespace {

void remapInto(RowBuilder &b, RowRef src, const std::vector<int> &mapping)
{
    b.start();
    for (int m : mapping) {
        if (src.isNull(m))
            b.appendNull();
        else
            b.append(src.view(m));
    }
}

Row remap(RowRef src, const std::vector<int> &mapping)
{
    RowBuilder b;
    remapInto(b, src, mapping);
    return b.finish();
}

// Equal rows are equal bytes, so the bytes are the hash.
size_t rowHash(RowRef r)
{
    return qHashBits(r.data(), size_t(r.byteSize()));
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
        if (!rec.change)
            continue;
        const ChangeEntry &e = changeOf(rec);
        if (e.status == Changed)
            items.push_back({e.seq, Change{Change::Update, Row::copyOf(RowRef(e.original)), Row::copyOf(RowRef(rec.row))}});
        else if (e.status == Inserted)
            items.push_back({e.seq, Change{Change::Insert, Row(), Row::copyOf(RowRef(rec.row))}});
    }
    for (const DeletedRecord &d : deleted_)
        items.push_back({d.seq, Change{Change::Delete, Row::copyOf(RowRef(d.original)), Row()}});
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
        rec.change = 0;
        rec.ordinal = qint32(i);
    }
    changes_.clear();
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
        const Status status = statusOf(rec);
        if (status == Inserted)
            continue;
        if (status == Changed)
            rec.row = changeOf(rec).original;
        rec.change = 0;
        kept.push_back(rec);
    }
    std::vector<DeletedRecord> back = std::move(deleted_);
    std::stable_sort(back.begin(), back.end(),
                     [](const DeletedRecord &a, const DeletedRecord &b) { return a.ordinal < b.ordinal; });
    // Deleted rows go back between the rows that surrounded them at the last load or merge.
    std::vector<Record> restored;
    restored.reserve(kept.size() + back.size());
    size_t k = 0;
    for (const DeletedRecord &d : back) {
        while (k < kept.size() && kept[k].ordinal < d.ordinal)
            restored.push_back(kept[k++]);
        restored.push_back(Record{d.original, d.ordinal, 0});
    }
    while (k < kept.size())
        restored.push_back(kept[k++]);

    Q_EMIT modelAboutToBeReset();
    records_ = std::move(restored);
    deleted_.clear();
    changes_.clear();
    changeCount_ = 0;
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
        p.rows.append(RowRef(records_[i].row));
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
    // `what` (with %1 for the number) is only put into words for a row that does not fit.
    auto checkWidth = [&](RowRef r, const char *what, qsizetype number) {
        if (r.size() != width)
            throw bad(QStringLiteral("%1 tem %2 valores para %3 campos")
                          .arg(QString::fromUtf8(what).arg(number)).arg(r.size()).arg(width));
    };
    for (qsizetype i = 0; i < packet.rows.size(); ++i)
        checkWidth(packet.rows.ref(i), "a linha %1", i + 1);
    if (packet.changes) {
        for (qsizetype i = 0; i < packet.changes->changes.size(); ++i) {
            const Change &c = packet.changes->changes[i];
            if (c.op != Change::Insert)
                checkWidth(c.oldValues.ref(), "a alteração %1", i + 1);
            if (c.op != Change::Delete)
                checkWidth(c.newValues.ref(), "a alteração %1", i + 1);
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

    // The packet's rows become the data set's rows as they are; only a packet whose columns
    // come in another order than the fields is rewritten.
    Content c;
    if (same) {
        c.base = std::move(packet.rows);
    } else {
        RowBuilder b;
        c.base.reserve(packet.rows.size());
        for (qsizetype i = 0; i < packet.rows.size(); ++i) {
            remapInto(b, packet.rows.ref(i), mapping);
            b.finishInto(c.base);
        }
    }
    packet.rows.clear();
    c.records.resize(size_t(c.base.size()));
    for (qsizetype i = 0; i < c.base.size(); ++i)
        c.records[size_t(i)] = Record{c.base.ref(i).data(), qint32(i), 0};
    c.base.dropIndex();   // the records know where the rows are

    if (packet.changes && !packet.changes->changes.isEmpty()) {
        auto own = [&](const Row &r) {
            c.owned.push_back(same ? r : remap(r.ref(), mapping));
            return c.owned.back().ref().data();
        };
        // A logged row is recognised by its current values: the first row not yet claimed
        // that holds exactly the change's new values.
        std::unordered_multimap<size_t, size_t> byValues;
        byValues.reserve(c.records.size());
        for (size_t i = 0; i < c.records.size(); ++i)
            byValues.emplace(rowHash(RowRef(c.records[i].row)), i);
        qint32 deletedOrdinal = qint32(c.records.size());
        for (const Change &ch : packet.changes->changes) {
            const quint64 seq = c.nextSeq++;
            if (ch.op == Change::Delete) {
                c.deleted.push_back(DeletedRecord{own(ch.oldValues), seq, deletedOrdinal++});
                ++c.changeCount;
                continue;
            }
            const Row current = same ? ch.newValues : remap(ch.newValues.ref(), mapping);
            auto range = byValues.equal_range(rowHash(current.ref()));
            size_t match = c.records.size();
            for (auto it = range.first; it != range.second; ++it) {
                const Record &rec = c.records[it->second];
                if (!rec.change && RowRef(rec.row) == current.ref() && it->second < match)
                    match = it->second;
            }
            if (match == c.records.size())
                throw bad(QStringLiteral("uma alteração não corresponde a nenhuma linha"));
            Record &rec = c.records[match];
            if (ch.op == Change::Update)
                c.changes.push_back(ChangeEntry{Changed, seq, own(ch.oldValues)});
            else
                c.changes.push_back(ChangeEntry{Inserted, seq, nullptr});
            rec.change = quint32(c.changes.size());
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
    base_ = std::move(content.base);
    owned_ = std::move(content.owned);
    records_ = std::move(content.records);
    changes_ = std::move(content.changes);
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
