// The demo generator's array inserts through both drivers, with batches of every size the generator produces: full
// ones, partial ones at a commit, and single rows before and after larger batches.
#include "tools/demodata/BatchInsert.h"

#include "base/ErrorLog.h"
#include "db/Odbc.h"
#include "tests/support/Databases.h"
#include "tests/support/SharedServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <unistd.h>

namespace fs = std::filesystem;
using demodata::BatchInsert;
using testsupport::Rows;

namespace {

using testsupport::Backend;

class BatchInsertTest : public ::testing::TestWithParam<Backend>
{
protected:
    void SetUp() override
    {
        if (GetParam() == Backend::SQLite) {
            std::string pattern = (fs::temp_directory_path() / "quorvex-batch-XXXXXX").string();
            ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
            m_folder = pattern;
            m_connection = testsupport::sqliteConnectionString(pattern + "/batch.db");
        } else {
            static int databases = 0;
            m_connection = sharedServer().connectionString("");
            const std::string name = "batch" + std::to_string(++databases);
            testsupport::execSql(m_connection, "CREATE DATABASE " + name);
            m_connection = sharedServer().connectionString(name);
        }
        testsupport::execSql(m_connection,
                             "CREATE TABLE T (A INT NOT NULL PRIMARY KEY, B DECIMAL(15,2) NOT NULL, "
                             "C VARCHAR(20) NOT NULL, D DATE NULL)");
    }

    void TearDown() override
    {
        if (!m_folder.empty()) {
            std::error_code ec;
            fs::remove_all(m_folder, ec);
        }
    }

    static std::vector<BatchInsert::Column> columns()
    {
        return {{"A", BatchInsert::Kind::Integer, 0},
                {"B", BatchInsert::Kind::Decimal, 0},
                {"C", BatchInsert::Kind::Text, 20},
                {"D", BatchInsert::Kind::Date, 0}};
    }

    static Rows read(const std::string& connection)
    {
        Rows rows = testsupport::querySql(connection, "SELECT A, B, C, D FROM T ORDER BY A");
        // SQLite keeps 1.50 as 1.5: compare amounts with two places.
        for (auto& row : rows) {
            if (row[1].find('.') == std::string::npos) {
                row[1] += ".";
            }
            while (row[1].size() - row[1].find('.') < 3) {
                row[1] += "0";
            }
        }
        return rows;
    }

    std::string m_folder;
    std::string m_connection;
};

// Row n: amount n * 1.50 (negative for every third), a name with an umlaut, a date in March or NULL.
void fill(BatchInsert& insert, int n)
{
    insert.setInteger(0, n);
    insert.setCents(1, (n % 3 == 0 ? -150 : 150) * n);
    insert.setText(2, "K\xc3\xb6" + std::string("nig ") + std::to_string(n));
    if (n % 5 == 0) {
        insert.setNull(3);
    } else {
        insert.setDate(3, 2026, 3, static_cast<unsigned>(n % 28 + 1));
    }
}

Rows expected(int rows)
{
    Rows all;
    for (int n = 1; n <= rows; ++n) {
        const int cents = (n % 3 == 0 ? -150 : 150) * n;
        const std::string amount = (cents < 0 ? "-" : "") + std::to_string(std::abs(cents) / 100) + "."
                                   + std::to_string(std::abs(cents) % 100 / 10) + std::to_string(std::abs(cents) % 10);
        std::string date;
        if (n % 5 != 0) {
            date = "2026-03-" + std::string(n % 28 + 1 < 10 ? "0" : "") + std::to_string(n % 28 + 1);
        }
        all.push_back({std::to_string(n), amount, "K\xc3\xb6nig " + std::to_string(n), date});
    }
    return all;
}

} // namespace

TEST_P(BatchInsertTest, EveryBatchSizeArrivesWhole)
{
    db::Connection connection(m_connection);
    connection.setAutoCommit(false);
    BatchInsert insert(connection, "T", columns(), 4);
    int n = 0;
    // 1 alone first, then partial and full batches (4 fills one and flushes by itself), single rows in between.
    for (int size : {1, 3, 4, 1, 2, 1, 1, 6, 1}) {
        for (int i = 0; i < size; ++i) {
            fill(insert, ++n);
            insert.endRow();
        }
        insert.flush();
        connection.commit();
    }
    EXPECT_EQ(insert.rowsWritten(), n);
    EXPECT_EQ(read(m_connection), expected(n));
}

TEST_P(BatchInsertTest, RefusedRowAndOverlongTextThrow)
{
    db::Connection connection(m_connection);
    BatchInsert insert(connection, "T", columns(), 4);
    fill(insert, 1);
    EXPECT_THROW(insert.setText(2, std::string(21, 'x')), std::length_error);
    insert.endRow();
    fill(insert, 1);
    insert.endRow();
    EXPECT_THROW(insert.flush(), base::PlatformError) << "duplicate key accepted";
}

INSTANTIATE_TEST_SUITE_P(Drivers,
                         BatchInsertTest,
                         ::testing::Values(Backend::SQLite, Backend::MariaDB),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return info.param == Backend::SQLite ? "Sqlite" : "MariaDb";
                         });
