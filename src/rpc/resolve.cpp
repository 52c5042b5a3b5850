#include "rpc/resolve.h"

#include "rpc/reply.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <netdb.h>

namespace fiscal::rpc {

namespace {

Resolution lookUp(const std::string &host, const std::string &service, int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo *list = nullptr;
    Resolution r;
    r.error = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (r.error != 0) {
        r.systemError = r.error == EAI_SYSTEM ? errno : 0;
        return r;
    }
    for (const addrinfo *ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        ResolvedAddress a;
        a.family = ai->ai_family;
        a.socktype = ai->ai_socktype;
        a.protocol = ai->ai_protocol;
        std::memcpy(&a.address, ai->ai_addr, ai->ai_addrlen);
        a.length = ai->ai_addrlen;
        r.addresses.push_back(a);
    }
    freeaddrinfo(list);
    return r;
}

// Shared by the callers waiting for one name and the thread resolving it, which may outlive
// every wait.
struct Pending {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    Resolution result;
};

// The lookups under way, by name and service: while a name server is silent, every code box
// left opens a connection again, and each would leave a thread waiting out the resolver.
std::mutex g_underWayMutex;
std::map<std::string, std::shared_ptr<Pending>> g_underWay;

// The lookup of host:service under way, or a new one started. Empty when no thread can start.
std::shared_ptr<Pending> lookUpInBackground(const std::string &host, const std::string &service, int &startError)
{
    const std::string key = host + '\n' + service;
    const std::lock_guard registry(g_underWayMutex);
    if (const auto it = g_underWay.find(key); it != g_underWay.end())
        return it->second;
    auto pending = std::make_shared<Pending>();
    try {
        std::thread([pending, host, service, key] {
            Resolution r = lookUp(host, service, 0);
            {
                const std::lock_guard registry(g_underWayMutex);
                g_underWay.erase(key);
            }
            const std::lock_guard lock(pending->mutex);
            pending->result = std::move(r);
            pending->done = true;
            pending->answered.notify_all();
        }).detach();
    } catch (const std::system_error &e) {
        startError = e.code().value();
        return nullptr;
    }
    g_underWay.emplace(key, pending);
    return pending;
}

} // namespace

Resolution resolveUntil(const std::string &host, const std::string &service,
                        std::chrono::steady_clock::time_point deadline,
                        const std::function<void()> &pump, std::chrono::milliseconds pumpEvery)
{
    Resolution numeric = lookUp(host, service, AI_NUMERICHOST);
    if (numeric.error != EAI_NONAME)
        return numeric;

    int startError = 0;
    const std::shared_ptr<Pending> pending = lookUpInBackground(host, service, startError);
    if (!pending) {
        Resolution failed;
        failed.error = EAI_SYSTEM;
        failed.systemError = startError;
        return failed;
    }

    std::unique_lock lock(pending->mutex);
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (pending->done)
            return pending->result;   // a copy: others may wait for the same answer
        if (now >= deadline)
            break;
        const auto until = pump ? std::min(deadline, now + pumpEvery) : deadline;
        if (pending->answered.wait_until(lock, until, [&] { return pending->done; }))
            continue;
        if (pump) {
            lock.unlock();
            pump();
            lock.lock();
        }
    }
    Resolution late;
    late.timedOut = true;
    return late;
}

QString resolutionErrorText(const Resolution &r)
{
    if (r.timedOut)
        return QStringLiteral("o servidor de nomes não respondeu a tempo");
    switch (r.error) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return QStringLiteral("nome não encontrado");
    case EAI_AGAIN:
        return QStringLiteral("o servidor de nomes está indisponível; tente novamente");
    case EAI_FAIL:
        return QStringLiteral("o servidor de nomes recusou a consulta");
    case EAI_SYSTEM:
        return networkErrorText(r.systemError);
    default:
        return QStringLiteral("falha ao consultar o nome (código %1)").arg(r.error);
    }
}

} // namespace fiscal::rpc
