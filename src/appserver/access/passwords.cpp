#include "appserver/access/passwords.h"

#include "protocol/sessionpackets.h"

#include <QList>

#include <sodium.h>

#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace fiscal::appserver::access {

namespace {

struct Limit {
    std::mutex mutex;
    std::condition_variable freed;
    int atOnce = 4;
    int running = 0;
    int peak = 0;
};

Limit &limit()
{
    static Limit l;
    return l;
}

void initSodium()
{
    static const int ready = sodium_init();
    if (ready < 0)
        throw std::runtime_error("libsodium could not start");
}

// Holds one of the hash slots for its lifetime.
class HashSlot {
public:
    HashSlot()
    {
        Limit &l = limit();
        std::unique_lock lock(l.mutex);
        l.freed.wait(lock, [&] { return l.running < l.atOnce; });
        ++l.running;
        l.peak = std::max(l.peak, l.running);
    }
    ~HashSlot()
    {
        Limit &l = limit();
        {
            const std::lock_guard lock(l.mutex);
            --l.running;
        }
        l.freed.notify_one();
    }
    HashSlot(const HashSlot &) = delete;
    HashSlot &operator=(const HashSlot &) = delete;
};

} // namespace

std::size_t hashMemory()
{
    return crypto_pwhash_MEMLIMIT_INTERACTIVE;
}

void setHashLimit(int atOnce)
{
    Limit &l = limit();
    {
        const std::lock_guard lock(l.mutex);
        l.atOnce = std::max(1, atOnce);
    }
    l.freed.notify_all();
}

int hashesRunning()
{
    const std::lock_guard lock(limit().mutex);
    return limit().running;
}

int hashesPeak()
{
    const std::lock_guard lock(limit().mutex);
    return limit().peak;
}

std::string hashPassword(const std::string &password)
{
    initSodium();
    char out[crypto_pwhash_STRBYTES];
    const HashSlot slot;
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE)
        != 0)
        throw std::runtime_error("out of memory while hashing a password");
    return out;
}

bool verifyPassword(const std::string &stored, const std::string &password)
{
    initSodium();
    if (stored.empty() || stored.size() >= crypto_pwhash_STRBYTES)
        return false;
    const HashSlot slot;
    return crypto_pwhash_str_verify(stored.c_str(), password.data(), password.size()) == 0;
}

std::optional<QString> passwordProblem(const std::string &login, const std::string &password)
{
    const QString text = QString::fromUtf8(password.data(), qsizetype(password.size()));
    const qsizetype length = text.toUcs4().size();
    if (length < protocol::session::kMinPasswordLength)
        return QStringLiteral("A senha deve ter ao menos %1 caracteres.").arg(protocol::session::kMinPasswordLength);
    if (length > protocol::session::kMaxPasswordLength)
        return QStringLiteral("A senha pode ter no máximo %1 caracteres.").arg(protocol::session::kMaxPasswordLength);
    if (text.compare(QString::fromUtf8(login.data(), qsizetype(login.size())), Qt::CaseInsensitive) == 0)
        return QStringLiteral("A senha não pode ser igual ao usuário.");
    return std::nullopt;
}

std::string randomToken()
{
    initSodium();
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

std::string temporaryPassword()
{
    initSodium();
    static const char kAlphabet[] = "abcdefghijkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string out;
    for (int i = 0; i < 12; ++i)
        out += kAlphabet[randombytes_uniform(sizeof kAlphabet - 1)];
    return out;
}

} // namespace fiscal::appserver::access
