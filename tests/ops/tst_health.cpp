// /health follows the database and the drain: 503 while the database does not answer the
// probe, 200 again once it does, and 503 for good once draining.

#include "ops/health.h"

#include "storage/database.h"

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

} // namespace
