// Fuzz target: change sets as the server reads them from a saving call.
// Decoding either succeeds or throws PacketError; an accepted change set survives
// re-encoding, and a data set holding its rows with that log gives it back as its Delta.

#include "dataset/clientdataset.h"
#include "dataset/packet.h"

#include <QCborValue>
#include <cstdint>
#include <cstdlib>

using namespace fiscal::dataset;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    ChangeSet cs;
    try {
        cs = ChangeSet::readCbor(bytes);
    } catch (const PacketError &) {
        return 0;
    }
    check(ChangeSet::readCbor(cs.toCbor()) == cs);
    check(ChangeSet::fromJson(cs.toJson()) == cs);
    check(ChangeSet::fromCbor(QCborValue::fromCbor(cs.toCbor())) == cs);

    DataPacket whole;
    whole.fields = cs.fields;
    for (const Change &c : cs.changes) {
        if (c.op != Change::Delete)
            whole.rows.append(c.newValues);
    }
    whole.changes = cs;
    TClientDataSet ds;
    ds.setData(whole);   // every change has its row: must load
    check(ds.Delta() == cs);
    check(ds.ChangeCount() == cs.changes.size());
    return 0;
}
