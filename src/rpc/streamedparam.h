#pragma once
// A param written while the request is sent: its CBOR goes onto the connection a piece at a
// time, so a param of half a million rows is never whole in memory. Its size is known first,
// and the request carries a Content-Length as any other.

#include <QByteArray>
#include <cstdint>

namespace fiscal::rpc {

class StreamedParam {
public:
    virtual ~StreamedParam() = default;
    // The bytes next() gives in all, exactly: the request's length counts on it.
    virtual std::uint64_t size() = 0;
    // Back to the first piece: a request may go again on a new connection.
    virtual void rewind() = 0;
    // Replaces `piece` with the next bytes (about `hint` of them, never none); false once
    // everything has been given.
    virtual bool next(QByteArray &piece, qsizetype hint) = 0;
};

} // namespace fiscal::rpc
