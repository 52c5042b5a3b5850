// TClientDataSet: change log, delta, merge, cancel of updates and whole-packet loading.

#include "dataset/clientdataset.h"

#include "dataset/databaseerror.h"
#include "dataset/rowbuilder.h"

#include <algorithm>
#include <optional>
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
    items.reserve(size_t(m_changeCount));
    for (size_t i = 0; i < m_records.size(); ++i) {
        if (m_state == dsInsert && int(i) == m_cur)
            continue;
        const Record &rec = m_records[i];
        if (!rec.change)
            continue;
        const ChangeEntry &e = changeOf(rec);
        if (e.status == Changed)
            items.push_back({e.seq, Change{Change::Update, Row::copyOf(RowRef(e.original)), Row::copyOf(RowRef(rec.row))}});
        else if (e.status == Inserted)
            items.push_back({e.seq, Change{Change::Insert, Row(), Row::copyOf(RowRef(rec.row))}});
    }
    for (const DeletedRecord &d : m_deleted)
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
    for (size_t i = 0; i < m_records.size(); ++i) {
        Record &rec = m_records[i];
        rec.change = 0;
        rec.ordinal = qint32(i);
    }
    m_changes.clear();
    m_deleted.clear();
    m_changeCount = 0;
}

void TClientDataSet::CancelUpdates()
{
    Cancel();
    checkActive();
    if (m_changeCount == 0)
        return;
    // The cursor stays on its record, wherever the restored rows put it (an inserted one goes).
    std::optional<size_t> curKept, curAt;
    std::vector<Record> kept;
    kept.reserve(m_records.size() + m_deleted.size());
    for (size_t i = 0; i < m_records.size(); ++i) {
        Record &rec = m_records[i];
        const Status status = statusOf(rec);
        if (status == Inserted)
            continue;
        if (status == Changed)
            rec.row = changeOf(rec).original;
        rec.change = 0;
        if (int(i) == m_cur)
            curKept = kept.size();
        kept.push_back(rec);
    }
    std::vector<DeletedRecord> back = std::move(m_deleted);
    std::stable_sort(back.begin(), back.end(),
                     [](const DeletedRecord &a, const DeletedRecord &b) { return a.ordinal < b.ordinal; });
    // Deleted rows go back between the rows that surrounded them at the last load or merge.
    std::vector<Record> restored;
    restored.reserve(kept.size() + back.size());
    size_t k = 0;
    const auto keep = [&] {
        if (curKept == k)
            curAt = restored.size();
        restored.push_back(kept[k++]);
    };
    for (const DeletedRecord &d : back) {
        while (k < kept.size() && kept[k].ordinal < d.ordinal)
            keep();
        restored.push_back(Record{d.original, d.ordinal, 0});
    }
    while (k < kept.size())
        keep();

    Q_EMIT modelAboutToBeReset();
    m_records = std::move(restored);
    m_deleted.clear();
    m_changes.clear();
    m_changeCount = 0;
    m_cur = m_records.empty() ? -1 : curAt ? int(*curAt) : std::clamp(m_cur, 0, rowCount() - 1);
    m_bof = m_eof = m_records.empty();
    Q_EMIT modelReset();
    Q_EMIT currentChanged(m_cur);
}

DataPacket TClientDataSet::Data() const
{
    DataPacket p;
    p.fields = FieldDefs();
    p.rows.reserve(rowCount());
    for (size_t i = 0; i < m_records.size(); ++i) {
        if (m_state == dsInsert && int(i) == m_cur)
            continue;
        p.rows.append(RowRef(m_records[i].row));
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
    if (!m_fields.empty() && !m_fieldsFromPacket) {
        for (const auto &f : m_fields) {
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
    const bool fromPacket = m_fields.empty() || m_fieldsFromPacket;
    if (fromPacket && FieldDefs() != defs) {
        Q_EMIT modelAboutToBeReset();
        m_fields.clear();
        for (qsizetype i = 0; i < defs.size(); ++i) {
            m_fields.push_back(std::make_unique<TField>(this, int(i), defs[i].name, defs[i].size));
            m_fields.back()->m_required = defs[i].required;
        }
        m_fieldsFromPacket = true;
        Q_EMIT modelReset();
    }

    Q_EMIT modelAboutToBeReset();
    m_base = std::move(content.base);
    m_owned = std::move(content.owned);
    m_records = std::move(content.records);
    m_changes = std::move(content.changes);
    m_deleted = std::move(content.deleted);
    m_changeCount = content.changeCount;
    m_nextSeq = std::max(m_nextSeq, content.nextSeq);
    m_cur = m_records.empty() ? -1 : 0;
    m_bof = true;
    m_eof = m_records.empty();
    m_buffer = Row();
    m_modified = false;
    m_state = dsBrowse;
    Q_EMIT modelReset();
    Q_EMIT stateChanged(dsBrowse);
    Q_EMIT currentChanged(m_cur);
    fire(AfterScroll);
}

} // namespace fiscal::dataset
