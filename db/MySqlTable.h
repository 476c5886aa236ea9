#pragma once

#include "db/SqlTable.h"

#include <chrono>
#include <string>
#include <variant>
#include <vector>

namespace db {

/**
 * A table of the cash-register database with the record locks of the program: a MySQL/MariaDB named lock per
 * row, named after the host product, the table and the row's key. On SQLite and Oracle there is no locking: the
 * lock operations succeed without asking the server.
 */
class MySqlTable : public SqlTable
{
public:
    //! Opens the table on the connection (nullptr: the program-wide one) with its key columns. On SQLite a
    //! compound key becomes the table's ROWID.
    MySqlTable(const std::string& table,
               const std::vector<std::string>& columns,
               std::shared_ptr<Connection> connection,
               std::vector<std::string> key);

    //! Positions on the first row whose columns equal the values (soft: at or after them). Texts lose their
    //! trailing blanks; a date is sought as YYYY-MM-DD.
    using SeekValue = std::variant<std::string, std::chrono::year_month_day>;
    bool Seek(const std::vector<std::string>& columns, const std::vector<SeekValue>& values, bool soft = false);
    bool Seek(const std::string& column, const SeekValue& value, bool soft = false);

    [[nodiscard]] bool RLock();
    bool Unlock();
    [[nodiscard]] std::string Is_Used_Lock();
    [[nodiscard]] bool Is_Free_Lock();
    //! Waits until the row's lock is obtained, letting the user interface work; unless quiet, says so every third
    //! failed attempt. No time limit.
    MySqlTable& Wait4Lock(bool quiet = false);
    //! Writes the pending changes, then releases the row's lock.
    bool Commit();
    //! Whether the current row differs from the database (deleted or changed by someone else); false on SQLite.
    [[nodiscard]] bool Changed();
    //! Runs the query again and returns to the same row number.
    void Reload();
    //! The lock name of the current row as an SQL value (Literal) for this table's connection.
    std::string GetUniqueKey() const;
    //! The lock name of the current row: the last 23 characters of host product, table name and key values.
    std::string lockName() const;

    //! Text of a value: text as is, number trimmed, date YYYYMMDD, boolean "J"/"N".
    std::string FieldGetString(const std::string& column) const;
    std::vector<std::string> FieldGetArray(const std::string& column, const std::string& separator) const;
    void FieldPutArray(const std::string& column, const std::vector<std::string>& values, const std::string& separator);
    //! Change stamp: the current second (0-59) and millisecond (0-999), without leading zeros.
    static std::string GetTStamp();

    bool IsOracle() const;
    bool IsSQLite() const;
    const std::vector<std::string>& primKey() const { return key(); }

    //! How long Wait4Lock sleeps between attempts (tests shorten it).
    static void setLockPause(std::chrono::milliseconds pause);

private:
    bool locking() const;
    std::string lockQuery(const std::string& function);
};

//! The five tables the program uses.
class DbBon : public MySqlTable
{
public:
    explicit DbBon(const std::vector<std::string>& columns = {}, std::shared_ptr<Connection> connection = nullptr);
};
class DbKnd : public MySqlTable
{
public:
    explicit DbKnd(const std::vector<std::string>& columns = {}, std::shared_ptr<Connection> connection = nullptr);
};
class DbZhl : public MySqlTable
{
public:
    explicit DbZhl(const std::vector<std::string>& columns = {}, std::shared_ptr<Connection> connection = nullptr);
};
class DbKrs : public MySqlTable
{
public:
    explicit DbKrs(const std::vector<std::string>& columns = {}, std::shared_ptr<Connection> connection = nullptr);
};
class DbCrd : public MySqlTable
{
public:
    explicit DbCrd(const std::vector<std::string>& columns = {}, std::shared_ptr<Connection> connection = nullptr);
};

/**
 * The name of a receipt kind, by the type letter in BONS.RKSV_TYP: "Startbeleg" (A), "Monatsbeleg" (M),
 * "Jahresbeleg" (J), "Sammelbeleg" (S), "Schlussbeleg" (E), and "RECHNUNG " for any other code. With `copy` the name
 * is marked as a copy: a status receipt becomes e.g. "Startbeleg (Kopie)", any other receipt "RECHNUNG (Kopie)".
 */
std::string RKSVMyBelegText(const std::string& type, bool copy = false);

} // namespace db
