#include "dataset/packet.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace fiscal::dataset {
namespace {

void stringValue(ValueWriter &w, QAnyStringView s)
{
    const QByteArray u = s.toString().toUtf8();
    w.string(std::string_view(u.constData(), size_t(u.size())));
}

template <typename T>
QByteArray encode(const T &value, Encoding enc)
{
    QByteArray out;
    auto w = makeWriter(enc, out);
    value.write(*w);
    return out;
}

QCborValue parseJson(const QByteArray &json)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError)
        throw PacketError(QStringLiteral("Pacote de dados inválido: JSON mal formado (%1).")
                              .arg(err.errorString()));
    if (!doc.isObject())
        throw PacketError(QStringLiteral("Pacote de dados inválido: esperado um objeto."));
    return QCborValue::fromJsonValue(QJsonValue(doc.object()));
}

} // namespace

const char *opName(Change::Op op)
{
    switch (op) {
    case Change::Update: return "update";
    case Change::Delete: return "delete";
    case Change::Insert: return "insert";
    }
    return "update";
}

void writeFields(ValueWriter &w, const QList<FieldDef> &fields)
{
    w.key("fields");
    w.startArray();
    for (const FieldDef &f : fields) {
        w.startMap();
        w.key("name");
        stringValue(w, f.name);
        w.key("size");
        w.integer(f.size);
        w.key("type");
        stringValue(w, f.type);
        w.key("required");
        w.boolean(f.required);
        w.endMap();
    }
    w.endArray();
}

void writeRow(ValueWriter &w, RowRef row)
{
    w.startArray();
    for (qsizetype i = 0; i < row.size(); ++i) {
        if (row.isNull(i))
            w.null();
        else
            stringValue(w, row.view(i));
    }
    w.endArray();
}

void writeChanges(ValueWriter &w, const QList<Change> &changes)
{
    w.key("changes");
    w.startArray();
    for (const Change &c : changes) {
        w.startMap();
        w.key("op");
        w.string(std::string_view(opName(c.op)));
        if (c.op != Change::Insert) {
            w.key("old");
            writeRow(w, c.oldValues);
        }
        if (c.op != Change::Delete) {
            w.key("new");
            writeRow(w, c.newValues);
        }
        w.endMap();
    }
    w.endArray();
}

void writePacketHeader(ValueWriter &w, const QList<FieldDef> &fields)
{
    w.startMap();
    writeFields(w, fields);
}

void beginRows(ValueWriter &w)
{
    w.key("rows");
    w.startArray();
}

void endPacket(ValueWriter &w)
{
    w.endArray();
    w.endMap();
}

void DataPacket::write(ValueWriter &w) const
{
    writePacketHeader(w, fields);
    beginRows(w);
    for (qsizetype i = 0; i < rows.size(); ++i)
        writeRow(w, rows.ref(i));
    w.endArray();
    if (changes)
        writeChanges(w, changes->changes);
    w.endMap();
}

void ChangeSet::write(ValueWriter &w) const
{
    w.startMap();
    writeFields(w, fields);
    writeChanges(w, changes);
    w.endMap();
}

QByteArray DataPacket::toCbor() const { return encode(*this, Encoding::Cbor); }
QByteArray DataPacket::toJson() const { return encode(*this, Encoding::Json); }
QByteArray ChangeSet::toCbor() const { return encode(*this, Encoding::Cbor); }
QByteArray ChangeSet::toJson() const { return encode(*this, Encoding::Json); }

// The tree forms go through the one streaming decoder, so that the server and the
// client accept exactly the same packets.
DataPacket DataPacket::fromCbor(const QCborValue &v) { return readCbor(v.toCbor()); }
ChangeSet ChangeSet::fromCbor(const QCborValue &v) { return readCbor(v.toCbor()); }
DataPacket DataPacket::fromJson(const QByteArray &json) { return fromCbor(parseJson(json)); }
ChangeSet ChangeSet::fromJson(const QByteArray &json) { return fromCbor(parseJson(json)); }

} // namespace fiscal::dataset
