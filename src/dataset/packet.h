#pragma once
// Data packets and change sets as they travel between the module and fiscal-server
// (layout in docs/protocol.md).
//
//   FieldDef{name, size, type = "string", required = false}
//   DataPacket{fields, rows, changes}     rows: RowTable (reads like QList<Row>); changes: std::optional<ChangeSet>
//   Change{op, oldValues, newValues}      Update: old+new; Delete: old; Insert: new
//   ChangeSet{fields, changes}
//
//   packet.write(writer) / changeSet.write(writer)        any ValueWriter (CBOR or JSON)
//   DataPacket::fromCbor(QCborValue) / ChangeSet::fromCbor(QCborValue)   strict, for the server
//   DataPacket::readCbor(QByteArray) / ChangeSet::readCbor(QByteArray)   streaming, for the client
//   DataPacket::readCbor(ByteSource&)      decodes while the bytes are still arriving
//   readCborPackets(QByteArray or ByteSource&)   an array of packets (GetDados' answer)
//   DataPacket::fromJson(QByteArray) / ChangeSet::fromJson(QByteArray)
//   All decoders throw PacketError (Portuguese message) on anything malformed: wrong types,
//   unknown or missing keys, a row whose width is not the field count, a value longer than
//   its field's size (size 0 = no limit), an unknown op, duplicate field names, invalid UTF-8.
//
// Streaming a packet straight from the database (server):
//   writePacketHeader(w, fields); beginRows(w);
//   for each row: w.startArray(); w.string(...) or w.null() per field; w.endArray();   (or writeRow)
//   endPacket(w);        // closes the rows array and the packet

#include "dataset/row.h"
#include "dataset/rowtable.h"
#include "dataset/valuewriter.h"

#include <QByteArray>
#include <QCborValue>
#include <QList>
#include <QString>
#include <optional>
#include <stdexcept>

namespace fiscal::dataset {

class PacketError : public std::runtime_error {
public:
    explicit PacketError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString &message() const { return m_message; }
private:
    QString m_message;
};

// Bytes of one encoded value that may still be arriving (a reply being received).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Waits until some bytes are there, copies at most `max` of them into `out` and returns
    // how many; 0 means there are no more. A failure to deliver them (a broken connection)
    // is thrown, and the decoders let it through unchanged.
    virtual qsizetype read(char *out, qsizetype max) = 0;
};

struct FieldDef {
    QString name;
    int size = 0;
    QString type = QStringLiteral("string");
    bool required = false;
    friend bool operator==(const FieldDef &, const FieldDef &) = default;
};

struct Change {
    enum Op { Update, Delete, Insert };
    Op op = Update;
    Row oldValues;   // empty for Insert
    Row newValues;   // empty for Delete
    friend bool operator==(const Change &, const Change &) = default;
};

struct ChangeSet {
    QList<FieldDef> fields;
    QList<Change> changes;

    void write(ValueWriter &w) const;
    QByteArray toCbor() const;
    QByteArray toJson() const;
    static ChangeSet fromCbor(const QCborValue &v);
    static ChangeSet readCbor(const QByteArray &cbor);
    static ChangeSet fromJson(const QByteArray &json);
    friend bool operator==(const ChangeSet &, const ChangeSet &) = default;
};

struct DataPacket {
    QList<FieldDef> fields;
    RowTable rows;
    std::optional<ChangeSet> changes;   // its fields are the packet's fields

    void write(ValueWriter &w) const;
    QByteArray toCbor() const;
    QByteArray toJson() const;
    static DataPacket fromCbor(const QCborValue &v);
    static DataPacket readCbor(const QByteArray &cbor);
    static DataPacket readCbor(ByteSource &source);
    static DataPacket fromJson(const QByteArray &json);
    friend bool operator==(const DataPacket &, const DataPacket &) = default;
};

// A CBOR array of packets; the same checks as DataPacket::readCbor for each.
QList<DataPacket> readCborPackets(const QByteArray &cbor);
QList<DataPacket> readCborPackets(ByteSource &source);

namespace detail {
// The decoder on QCborStreamReader the fast one replaced; kept to test them against each other.
DataPacket readPacketReference(const QByteArray &cbor);
ChangeSet readChangeSetReference(const QByteArray &cbor);
}

const char *opName(Change::Op op);   // "update", "delete", "insert"

void writeFields(ValueWriter &w, const QList<FieldDef> &fields);   // "fields": [...]
void writeRow(ValueWriter &w, RowRef row);
inline void writeRow(ValueWriter &w, const Row &row) { writeRow(w, row.ref()); }
void writeChanges(ValueWriter &w, const QList<Change> &changes);    // "changes": [...]

void writePacketHeader(ValueWriter &w, const QList<FieldDef> &fields);
void beginRows(ValueWriter &w);
void endPacket(ValueWriter &w);

} // namespace fiscal::dataset
