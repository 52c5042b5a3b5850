#include "storage/migrationlock.h"

#include <algorithm>
#include <string>
#include <thread>

namespace fiscal::storage {

namespace {

constexpr std::int64_t kMigrationLock = 4604232401;

} // namespace

MigrationLock::MigrationLock(Connection &c, std::chrono::seconds wait) : m_c(c)
{
    using Clock = std::chrono::steady_clock;
    const std::string sql = "SELECT pg_try_advisory_lock(" + std::to_string(kMigrationLock) + ")";
    const auto giveUp = Clock::now() + wait;
    for (auto pause = std::chrono::milliseconds(100);; pause = std::min(pause * 2, std::chrono::milliseconds(2000))) {
        auto st = m_c.prepare(sql);
        if (st->step() && st->text(0) == "t")
            return;
        st.reset();
        if (Clock::now() + pause > giveUp)
            throw Error(Error::Kind::Busy, "another process has been migrating the schema for more than "
                                               + std::to_string(wait.count()) + " s; run this again once it is done");
        std::this_thread::sleep_for(pause);
    }
}

MigrationLock::~MigrationLock()
{
    try {
        m_c.exec("SELECT pg_advisory_unlock(" + std::to_string(kMigrationLock) + ")");
    } catch (const Error &) {
        // A lost session has let the lock go with it.
    }
}

} // namespace fiscal::storage
