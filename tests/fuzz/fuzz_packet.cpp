// Fuzz target: data packets as the client reads them from a response body.
// Whatever the bytes, decoding either succeeds or throws PacketError; what it accepts
// survives re-encoding (CBOR and JSON) and loading into a data set unchanged.

#include "dataset/clientdataset.h"
#include "dataset/packet.h"

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
    DataPacket p;
    try {
        p = DataPacket::readCbor(bytes);
    } catch (const PacketError &) {
        return 0;
    }
    check(DataPacket::readCbor(p.toCbor()) == p);
    check(DataPacket::fromJson(p.toJson()) == p);

    TClientDataSet ds;
    try {
        ds.setData(p);
    } catch (const std::exception &) {
        // Only a change log that does not match the rows may be refused.
        check(p.changes.has_value() && !p.changes->changes.isEmpty());
        return 0;
    }
    const DataPacket back = ds.Data();
    check(back.fields == p.fields);
    check(back.rows == p.rows);
    ds.CancelUpdates();
    ds.MergeChangeLog();
    check(ds.ChangeCount() == 0);
    return 0;
}
