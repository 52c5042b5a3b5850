#include "rpc/deferredcall_p.h"

#include "rpc/deferred_p.h"
#include "rpc/replywriter_p.h"

#include <limits>
#include <utility>

namespace fiscal::rpc::detail {

namespace {
thread_local Deferral *tl_deferral = nullptr;
}

DeferralScope::DeferralScope(Deferral *d) : m_saved(std::exchange(tl_deferral, d)) {}

DeferralScope::~DeferralScope()
{
    tl_deferral = m_saved;
}

DeferredCall::DeferredCall(Encoding enc, QCborValue id, std::string object, QString method)
    : m_enc(enc), m_id(std::move(id)), m_object(std::move(object)), m_method(std::move(method)),
      m_callerSocket(callerSocket())
{}

bool DeferredCall::callerHasLeft() const
{
    return peerHasLeft(m_callerSocket);
}

void DeferredCall::runAs(const std::function<void()> &work) const
{
    struct Scope {
        explicit Scope(int socket) : saved(setCallerSocket(socket)) {}
        ~Scope() { setCallerSocket(saved); }
        int saved;
    } scope(m_callerSocket);
    work();
}

DeferredCall::~DeferredCall()
{
    if (!m_closed && !m_body && m_deliver) {
        logFailure(m_object, m_method, "failed", "its reply was never given");
        settle(failureReply(m_enc, m_id, internalFault()), code::Internal);
    }
}

void DeferredCall::succeed(const std::function<void(dataset::ValueWriter &)> &result)
{
    if (m_closed || m_body)
        return;
    try {
        QByteArray out;
        SuccessReply reply(m_enc, out, m_id);
        {
            // Whole: a reply given later is never streamed.
            const auto writer = makeReplyWriter(m_enc, out, std::numeric_limits<qsizetype>::max(), {});
            result(*writer);
        }
        reply.finish();
        settle(std::move(out), 0);
    } catch (...) {
        fail(std::current_exception());
    }
}

void DeferredCall::fail(std::exception_ptr failure)
{
    if (m_closed || m_body)
        return;
    try {
        std::rethrow_exception(failure);
    } catch (const Fault &f) {
        settle(failureReply(m_enc, m_id, f), f.code());
    } catch (const std::exception &e) {
        logFailure(m_object, m_method, "failed", e.what());
        settle(failureReply(m_enc, m_id, internalFault()), code::Internal);
    } catch (...) {
        logFailure(m_object, m_method, "failed", "an unknown exception");
        settle(failureReply(m_enc, m_id, internalFault()), code::Internal);
    }
}

void DeferredCall::whenSettled(std::function<void(CallOutcome)> deliver)
{
    if (m_body) {
        deliver({CallOutcome::Whole, takeBody(), nullptr});
        return;
    }
    m_deliver = std::move(deliver);
}

void DeferredCall::reportTo(std::function<void(int code, std::uint64_t bytesOut)> report)
{
    if (m_body)   // answered before its method returned
        report(m_code, std::uint64_t(m_body->size()));
    else
        m_report = std::move(report);
}

void DeferredCall::settle(QByteArray body, int code)
{
    m_code = code;
    if (m_report)
        std::exchange(m_report, {})(code, std::uint64_t(body.size()));
    if (!m_deliver) {
        m_body = std::move(body);
        return;
    }
    m_closed = true;
    // The connection may answer and go at once: nothing of this is used after.
    const auto deliver = std::move(m_deliver);
    deliver({CallOutcome::Whole, std::move(body), nullptr});
}

} // namespace fiscal::rpc::detail

namespace fiscal::rpc {

std::shared_ptr<DeferredReply> deferReply()
{
    detail::Deferral *d = detail::tl_deferral;
    if (!d)
        return nullptr;
    if (!d->taken)
        d->taken = std::make_shared<detail::DeferredCall>(d->enc, d->id, d->object, d->method);
    return d->taken;
}

} // namespace fiscal::rpc
