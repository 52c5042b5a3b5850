#pragma once
// A reply's bytes handed from the thread that receives them to the thread that decodes
// them, with a bound on what may wait in between. The receiving side ends the pipe with
// close() (everything arrived) or fail() (the reply broke); the reading side can give up
// with cancel(), which makes the next write() fail so the receiver stops.

#include "dataset/packet.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace fiscal::rpc::detail {

class BytePipe final : public dataset::ByteSource {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr qsizetype kCapacity = 4 * 1024 * 1024;

    // Receiving side.
    enum class WriteResult { Ok, Cancelled, TimedOut };
    WriteResult write(const char *data, qsizetype n, Clock::time_point deadline);
    void close();
    void fail(const QString &message);

    // Reading side.
    qsizetype read(char *out, qsizetype max) override;   // throws TransportError on fail()
    void cancel();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<QByteArray> m_chunks;
    qsizetype m_frontUsed = 0;
    qsizetype m_queued = 0;
    bool m_closed = false;
    bool m_failed = false;
    bool m_cancelled = false;
    QString m_failure;
};

// A result that is already whole, read the same way.
class ArraySource final : public dataset::ByteSource {
public:
    explicit ArraySource(const QByteArray &bytes) : m_bytes(bytes) {}
    qsizetype read(char *out, qsizetype max) override;
private:
    QByteArray m_bytes;
    qsizetype m_pos = 0;
};

} // namespace fiscal::rpc::detail
