#pragma once
// TClientDataSet: an in-memory data set of string fields with a change log.
//
// Fields: addField(name, size, label) while closed (the code-defined fields), or created
//   from the first packet loaded when the code defined none. With code-defined fields a
//   packet's columns are mapped by name (without regard to case); a field the packet lacks
//   is an EDatabaseError and the data set keeps what it held.
//   FieldByName (throws) / FindField (nullptr) / Fields(i) / FieldCount / FieldDefs.
// States: dsInactive, dsBrowse, dsEdit, dsInsert. Open/CreateDataSet (empty), Close
//   (drops rows and log, keeps fields), Active/setActive, State.
// Cursor: RecordCount, IsEmpty, RecNo (1-based, 0 when empty)/setRecNo, First, Last, Next,
//   Prior, MoveBy, Eof, Bof, Locate(field, value, caseInsensitive). Moving while editing
//   posts first (CheckBrowseMode: post when modified, else cancel).
// Editing: Edit (on an empty set starts an insert), Insert (before the current row),
//   Append, Post, Cancel, Delete, CheckBrowseMode, Modified.
// Events (std::function members, called with the data set): BeforeInsert, AfterInsert,
//   BeforeEdit, AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete,
//   AfterDelete, BeforeScroll, AfterScroll, OnNewRecord. An exception from a Before* handler
//   (EAbort included) cancels the operation and propagates, leaving everything as it was;
//   one from an After* handler propagates after the operation took effect.
// Change log: LogChanges, ChangeCount (rows with a pending change), Delta, MergeChangeLog,
//   CancelUpdates (back to the last load or merge, deleted rows in their places),
//   UpdateStatus of the current row. A row changed twice appears once in the Delta, with
//   the values as loaded and the latest ones; a row inserted and deleted does not appear.
//   Changes come in the order their rows were first changed.
// Whole data: Data() (rows plus the log as `changes`), setData(packet) / loadFromCbor(bytes)
//   replace rows and log (close and reopen: the state passes through dsInactive) and leave
//   the set browsing on the first row.
// Views: updateRecord() asks them to write pending editor text before a post;
//   rowCount/valueAt/textAt read any row (textAt runs OnGetText with that row as the
//   current one); rowRef reads a row's stored values in place, for views that sort or
//   search many rows; signals follow QAbstractItemModel: rows are 0-based, field -1 =
//   whole row.
// Storage: the rows of the last packet stay in its RowTable as they came; a record points
//   at its row there, or at a row of its own once it was posted or inserted.

#include "dataset/field.h"
#include "dataset/packet.h"
#include "dataset/row.h"
#include "dataset/rowtable.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace fiscal::dataset {

enum TDataSetState { dsInactive, dsBrowse, dsEdit, dsInsert };
enum TUpdateStatus { usUnmodified, usModified, usInserted, usDeleted };

class TClientDataSet : public QObject {
    Q_OBJECT
public:
    using TDataSetNotifyEvent = std::function<void(TClientDataSet &dataSet)>;

    explicit TClientDataSet(QObject *parent = nullptr);
    ~TClientDataSet() override;

    // Fields
    TField *addField(const QString &name, int size, const QString &displayLabel = {});
    TField *FieldByName(const QString &name) const;
    TField *FindField(const QString &name) const;
    TField *Fields(int index) const;
    int FieldCount() const { return int(m_fields.size()); }
    QList<FieldDef> FieldDefs() const;

    // Opening
    void Open();
    void CreateDataSet() { Open(); }
    void Close();
    bool Active() const { return m_state != dsInactive; }
    void setActive(bool active) { active ? Open() : Close(); }
    TDataSetState State() const { return m_state; }

    // Cursor
    int RecordCount() const { return int(m_records.size()); }
    bool IsEmpty() const { return m_records.empty(); }
    int RecNo() const { return m_cur + 1; }
    void setRecNo(int recNo);
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    int MoveBy(int distance);
    bool Eof() const { return m_eof; }
    bool Bof() const { return m_bof; }
    bool Locate(const QString &fieldName, const QString &value, bool caseInsensitive = false);

    // Editing
    void Edit();
    void Insert();
    void Append();
    void Post();
    void Cancel();
    void Delete();
    void CheckBrowseMode();
    bool Modified() const { return m_modified; }

    // Change log
    bool LogChanges() const { return m_logChanges; }
    void setLogChanges(bool log) { m_logChanges = log; }
    int ChangeCount() const { return m_changeCount; }
    ChangeSet Delta() const;
    void MergeChangeLog();
    void CancelUpdates();
    TUpdateStatus UpdateStatus() const;

    // Whole data
    DataPacket Data() const;
    void setData(const DataPacket &packet);
    void setData(DataPacket &&packet);
    void loadFromCbor(const QByteArray &cbor);

    // Views
    int rowCount() const { return int(m_records.size()); }
    int currentRow() const { return m_cur; }
    std::optional<QString> valueAt(int row, int field) const;   // the edit buffer for the row being edited
    // The row's values in place (the edit buffer for the row being edited); valid until the
    // data set changes.
    RowRef rowRef(int row) const;
    QString textAt(int row, int field, bool displayText = true) const;
    // Runs fn with `row` as the record every field read sees (painting another row).
    void withRowAsCurrent(int row, const std::function<void()> &fn) const;

    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit, BeforePost, AfterPost,
        BeforeCancel, AfterCancel, BeforeDelete, AfterDelete, BeforeScroll, AfterScroll, OnNewRecord;

Q_SIGNALS:
    void stateChanged(fiscal::dataset::TDataSetState state);
    void modelAboutToBeReset();
    void modelReset();
    void rowsAboutToBeInserted(int row);
    void rowsInserted(int row);
    void rowsAboutToBeRemoved(int row);
    void rowsRemoved(int row);
    void dataChanged(int row, int field);
    void currentChanged(int row);
    void fieldChanged(int field);        // a field's display properties changed
    void fieldFocusRequested(fiscal::dataset::TField *field);
    // Before a post or CheckBrowseMode: views write what their open editors hold.
    void updateRecord();

private:
    friend class TField;
    enum Status : quint8 { Unchanged, Changed, Inserted };
    struct Record {
        const char *row = nullptr;   // current values, in m_base or m_owned
        qint32 ordinal = 0;          // position at the last load or merge
        quint32 change = 0;          // 0, or 1 + the index of its entry in m_changes
    };
    struct ChangeEntry {
        Status status = Unchanged;
        quint64 seq = 0;                  // order of the first logged change
        const char *original = nullptr;   // Changed: the values at the last load or merge
    };
    struct DeletedRecord {
        const char *original = nullptr;
        quint64 seq = 0;
        qint32 ordinal = 0;
    };
    struct Content {
        RowTable base;
        std::vector<Row> owned;
        std::vector<Record> records;
        std::vector<ChangeEntry> changes;
        std::vector<DeletedRecord> deleted;
        int changeCount = 0;
        quint64 nextSeq = 1;
    };

    RowRef readRow() const;
    bool writeValue(int field, const std::optional<QString> &value);
    std::optional<QString> oldValue(int field) const;
    void requestFieldFocus(TField *field) { Q_EMIT fieldFocusRequested(field); }
    void notifyFieldChanged(int field) { Q_EMIT fieldChanged(field); }

    void checkActive() const;
    void fire(const TDataSetNotifyEvent &event) { if (event) event(*this); }
    void setState(TDataSetState state);
    void moveTo(int row);
    void beginInsert(bool append);
    void removePendingInsert();
    void discardEdit();
    void postRecord();
    Status statusOf(const Record &rec) const { return rec.change ? m_changes[rec.change - 1].status : Unchanged; }
    const ChangeEntry &changeOf(const Record &rec) const { return m_changes[rec.change - 1]; }
    void setChange(Record &rec, Status status, quint64 seq = 0, const char *original = nullptr);
    const char *keep(Row &&row);
    void clearContent();
    Content buildContent(DataPacket &&packet, std::vector<int> &mapping);

    std::vector<std::unique_ptr<TField>> m_fields;
    bool m_fieldsFromPacket = false;
    TDataSetState m_state = dsInactive;
    RowTable m_base;              // the rows as the last packet brought them
    std::vector<Row> m_owned;     // rows posted or inserted since; kept until the next load
    std::vector<Record> m_records;
    std::vector<ChangeEntry> m_changes;
    std::vector<DeletedRecord> m_deleted;
    int m_cur = -1;
    bool m_bof = true;
    bool m_eof = true;
    Row m_buffer;                 // the current row while editing or inserting
    bool m_modified = false;
    bool m_logChanges = true;
    int m_changeCount = 0;
    quint64 m_nextSeq = 1;
    mutable int m_peekRow = -1;   // textAt: the row OnGetText handlers see as current
};

} // namespace fiscal::dataset
