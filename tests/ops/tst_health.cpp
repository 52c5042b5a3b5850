// /health follows the database and the drain: 503 while the database does not answer the
// probe, 200 again once it does, and 503 for good once draining.

#include "ops/health.h"

#include "storage/database.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

using fiscal::ops::Health;
namespace fs = std::filesystem;

namespace {

// Polls until the answer has the status wanted; the probe runs every 20 ms.
bool becomes(const Health &h, int status)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
        if (h.answer().status == status)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(Health, FollowsTheDatabaseAndTheDrain)
{
    const fs::path dir = fs::temp_directory_path() / ("fiscal-health-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string db = (dir / "h.sqlite").string();
    auto admin = fiscal::storage::open(db);
    fiscal::storage::createSchema(*admin);

    {
        Health health([db] { return fiscal::storage::open(db); }, std::chrono::milliseconds(20));
        EXPECT_EQ(health.answer().status, 200);
        EXPECT_EQ(health.answer().body, "{\"status\":\"ok\",\"database\":\"ok\",\"draining\":false}\n");

        admin->exec("ALTER TABLE PARAMGERAL RENAME TO PARAMGERAL_FORA");
        ASSERT_TRUE(becomes(health, 503));
        EXPECT_EQ(health.answer().body,
                  "{\"status\":\"unavailable\",\"database\":\"down\",\"draining\":false}\n");

        admin->exec("ALTER TABLE PARAMGERAL_FORA RENAME TO PARAMGERAL");
        ASSERT_TRUE(becomes(health, 200));

        health.setDraining();
        EXPECT_EQ(health.answer().status, 503);
        EXPECT_EQ(health.answer().body,
                  "{\"status\":\"unavailable\",\"database\":\"ok\",\"draining\":true}\n");
    }

    // A database that cannot even be opened is down too.
    Health unreachable([]() -> std::unique_ptr<fiscal::storage::Connection> {
        throw std::runtime_error("connection refused");
    }, std::chrono::milliseconds(20));
    EXPECT_TRUE(becomes(unreachable, 503));
    admin.reset();
    fs::remove_all(dir);
}

// A database that answers reads but takes no writes (a standby, or read-only by default)
// is not one to send saves to: 503, saying why, and 200 again once it takes them.
TEST(Health, ADatabaseThatTakesNoWritesIsNotHealthy)
{
    using namespace fiscal::test;
    if (!postgresClusterUrl())
        GTEST_SKIP() << "no PostgreSQL cluster";
    const auto db = TestDb::create(Backend::Postgres, Demo::None);
    auto admin = fiscal::storage::open(db->url());   // opened before, so it may still write
    const std::string url = db->url();
    Health health([url] { return fiscal::storage::open(url); }, std::chrono::milliseconds(20));
    ASSERT_TRUE(becomes(health, 200));

    admin->exec("DO $$ BEGIN EXECUTE format('ALTER DATABASE %I SET default_transaction_read_only = on', "
                "current_database()); END $$");
    // The probe's connection predates the change: a new one sees it once the old one goes.
    admin->exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                "WHERE datname = current_database() AND pid <> pg_backend_pid()");
    // The terminated session reads as down first; the next probe's connection as read-only.
    const std::string readOnly = "{\"status\":\"unavailable\",\"database\":\"read-only\",\"draining\":false}\n";
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (health.answer().body != readOnly && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(health.answer().body, readOnly);
    EXPECT_EQ(health.answer().status, 503);

    admin->exec("DO $$ BEGIN EXECUTE format('ALTER DATABASE %I RESET default_transaction_read_only', "
                "current_database()); END $$");
    EXPECT_TRUE(becomes(health, 200));
}

} // namespace
