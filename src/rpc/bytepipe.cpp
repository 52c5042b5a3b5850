#include "rpc/bytepipe_p.h"

#include "rpc/reply.h"

#include <cstring>

namespace fiscal::rpc::detail {

BytePipe::WriteResult BytePipe::write(const char *data, qsizetype n, Clock::time_point deadline)
{
    if (n <= 0)
        return WriteResult::Ok;
    std::unique_lock lock(m_mutex);
    if (!m_cv.wait_until(lock, deadline, [&] { return m_cancelled || m_queued < kCapacity; }))
        return WriteResult::TimedOut;
    if (m_cancelled)
        return WriteResult::Cancelled;
    m_chunks.emplace_back(data, n);
    m_queued += n;
    lock.unlock();
    m_cv.notify_all();
    return WriteResult::Ok;
}

void BytePipe::close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_cv.notify_all();
}

void BytePipe::fail(const QString &message)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_closed) {
            m_failed = true;
            m_failure = message;
            m_closed = true;
        }
    }
    m_cv.notify_all();
}

qsizetype BytePipe::read(char *out, qsizetype max)
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [&] { return !m_chunks.empty() || m_closed; });
    // A broken reply fails even with bytes still queued: they can only lead to a
    // misleading decoding error.
    if (m_failed)
        throw TransportError(m_failure);
    qsizetype copied = 0;
    while (copied < max && !m_chunks.empty()) {
        const QByteArray &front = m_chunks.front();
        const qsizetype n = std::min(max - copied, front.size() - m_frontUsed);
        std::memcpy(out + copied, front.constData() + m_frontUsed, size_t(n));
        copied += n;
        m_frontUsed += n;
        if (m_frontUsed == front.size()) {
            m_chunks.pop_front();
            m_frontUsed = 0;
        }
    }
    m_queued -= copied;
    lock.unlock();
    m_cv.notify_all();
    return copied;
}

void BytePipe::cancel()
{
    {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
        m_chunks.clear();
        m_queued = 0;
    }
    m_cv.notify_all();
}

qsizetype ArraySource::read(char *out, qsizetype max)
{
    const qsizetype n = std::min(max, m_bytes.size() - m_pos);
    std::memcpy(out, m_bytes.constData() + m_pos, size_t(n));
    m_pos += n;
    return n;
}

} // namespace fiscal::rpc::detail
