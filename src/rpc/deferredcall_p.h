#pragma once
// The reply of a call answered after its method returned (rpc::deferReply), and where a
// method may take one: around a lone call its connection can wait for.

#include "rpc/callrunner_p.h"
#include "rpc/deferred.h"

#include <QByteArray>
#include <QCborValue>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace fiscal::rpc::detail {

// The reply of a call whose method answers after it returned (see rpc::deferReply).
class DeferredCall final : public DeferredReply {
public:
    DeferredCall(Encoding enc, QCborValue id, std::string object, QString method);
    // Never left without an answer: one that was not given is an internal error.
    ~DeferredCall() override;

    void succeed(const std::function<void(dataset::ValueWriter &)> &result) override;
    void fail(std::exception_ptr failure) override;
    bool callerHasLeft() const override;
    void runAs(const std::function<void()> &work) const override;

    // `deliver` gets the Whole outcome, at once when it is already known.
    void whenSettled(std::function<void(CallOutcome)> deliver);
    bool settled() const { return m_body.has_value(); }
    QByteArray takeBody() { return *std::move(m_body); }
    // The method failed after taking the reply: its error is the answer, not this.
    void abandon() { m_closed = true; }
    // Told of the answer's JSON-RPC code (0: success) and size once it is given.
    void reportTo(std::function<void(int code, std::uint64_t bytesOut)> report);

private:
    void settle(QByteArray body, int code);

    Encoding m_enc;
    QCborValue m_id;
    std::string m_object;
    QString m_method;
    int m_callerSocket;   // open for as long as the connection waits for this answer
    bool m_closed = false;
    std::optional<QByteArray> m_body;
    std::function<void(CallOutcome)> m_deliver;
    std::function<void(int, std::uint64_t)> m_report;
    int m_code = 0;   // of the answer once given
};

// What deferReply() needs of the call running on this thread.
struct Deferral {
    Encoding enc;
    const QCborValue &id;
    const std::string &object;
    const QString &method;
    std::shared_ptr<DeferredCall> taken;   // set once the method took it
};

// Makes `d` (or nobody, with nullptr) the place deferReply() hands replies from, for its life.
class DeferralScope {
public:
    explicit DeferralScope(Deferral *d);
    ~DeferralScope();
    DeferralScope(const DeferralScope &) = delete;
    DeferralScope &operator=(const DeferralScope &) = delete;
private:
    Deferral *m_saved;
};

} // namespace fiscal::rpc::detail
