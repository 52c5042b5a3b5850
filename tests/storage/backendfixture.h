#pragma once
// Fresh, empty databases for the backend suite. FISCAL_STORAGE_BACKEND picks the
// backend: "sqlite" (a file in a temporary folder) or "postgresql" (a schema of its own
// on the test cluster, dropped afterwards).

#include "storage/database.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace fiscal::storage::test {

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Another connection to the same database.
    std::unique_ptr<Connection> openAnother();
    // A second, independent empty database.
    std::unique_ptr<Connection> openOtherDatabase();

    bool isPostgres() const { return m_postgres; }

    // Runs a query and returns its rows, NULL as "<null>".
    static std::vector<std::vector<std::string>> rows(Connection &c, std::string_view sql,
                                                      const std::vector<std::optional<std::string>> &params = {});
    static std::string scalar(Connection &c, std::string_view sql,
                              const std::vector<std::optional<std::string>> &params = {});

    std::unique_ptr<Connection> db;

private:
    std::unique_ptr<Connection> connect(const std::string &schema);
    std::string newSchema();

    bool m_postgres = false;
    std::string m_url;
    std::filesystem::path m_dir;
    std::vector<std::string> m_schemas;
};

} // namespace fiscal::storage::test
