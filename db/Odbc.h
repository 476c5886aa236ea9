#pragma once

#include <sql.h>
#include <sqlext.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace db {

//! The kinds of database the program tells apart; only MySQL/MariaDB has named locks.
enum class Kind
{
    MySQL,
    SQLite,
    Oracle,
};

//! The kind of database behind an ODBC driver file name, Windows or Linux spelling, case ignored.
Kind kindOfDriver(const std::string& driverFile);

//! True for the SQL types of numbers (integers, decimals, floating point).
bool isNumericType(SQLSMALLINT type);

/**
 * One ODBC handle of the kind `Type` (SQL_HANDLE_ENV, SQL_HANDLE_DBC, SQL_HANDLE_STMT), freed in exactly one place:
 * when the object goes or takes another handle. Movable, not copyable.
 */
template <SQLSMALLINT Type> class OdbcHandle
{
public:
    OdbcHandle() = default;
    ~OdbcHandle() { reset(); }
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;
    OdbcHandle(OdbcHandle&& other) noexcept
        : m_handle(std::exchange(other.m_handle, nullptr))
    {}
    OdbcHandle& operator=(OdbcHandle&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, nullptr);
        }
        return *this;
    }

    SQLHANDLE get() const { return m_handle; }
    //! Where SQLAllocHandle puts a new handle; the one held before is freed first.
    SQLHANDLE* out()
    {
        reset();
        return &m_handle;
    }
    void reset()
    {
        if (m_handle != SQL_NULL_HANDLE) {
            SQLFreeHandle(Type, m_handle);
            m_handle = SQL_NULL_HANDLE;
        }
    }

private:
    SQLHANDLE m_handle = SQL_NULL_HANDLE;
};

using EnvironmentHandle = OdbcHandle<SQL_HANDLE_ENV>;
using ConnectionHandle = OdbcHandle<SQL_HANDLE_DBC>;
using StatementHandle = OdbcHandle<SQL_HANDLE_STMT>;

//! A value as the driver delivers it in text form; nothing for SQL NULL.
using Text = std::optional<std::string>;

//! Name and SQL type (SQL_INTEGER, SQL_VARCHAR, SQL_TYPE_DATE …) of a result column, and whether it may hold NULL
//! (true also when the driver cannot tell).
struct Column
{
    std::string name;
    SQLSMALLINT type = SQL_VARCHAR;
    bool nullable = true;
};

class Statement;

/**
 * One ODBC connection (with its own environment). Every failure of the driver is an unexpected platform
 * failure: it throws base::PlatformError with the driver's diagnostic text and the statement.
 */
class Connection
{
public:
    //! Opens a connection; throws base::PlatformError when the driver refuses.
    explicit Connection(const std::string& connectionString);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    SQLHDBC handle() const { return m_dbc.get(); }
    //! The driver's file name as the driver manager reports it.
    const std::string& driverName() const { return m_driver; }
    /**
     * The name the database product gives itself ("SQLite", "MariaDB", "MySQL", "Oracle"), asked of the driver on
     * each call; throws base::PlatformError when the driver cannot tell.
     */
    std::string dbmsName() const;
    Kind kind() const { return m_kind; }

    //! Runs a statement with text parameters bound to its "?" markers; returns the number of rows it changed.
    long execute(const std::string& sql, const std::vector<Text>& parameters = {});
    //! Autocommit on (the default) or off; with it off, commit() ends each transaction.
    void setAutoCommit(bool on);
    void commit();

    //! The first row of a query, each value as text; an empty list when there is no row.
    std::vector<Text> queryRow(const std::string& sql, const std::vector<Text>& parameters = {});

    /**
     * The same two with the statement prepared once per connection (kept until the connection goes) and its
     * parameters bound for each run: for the statements a step runs again and again. The result is closed after the
     * first row.
     */
    long executePrepared(const std::string& sql, const std::vector<Text>& parameters = {});
    std::vector<Text> queryRowPrepared(const std::string& sql, const std::vector<Text>& parameters = {});
    std::vector<std::vector<Text>> queryRowsPrepared(const std::string& sql, const std::vector<Text>& parameters = {});
    //! A statement that sets the setting `name` for the session ("SET SESSION …"): run only when it differs from the
    //! one last run for that name on this connection.
    void sessionSetting(const std::string& name, const std::string& sql);

    /**
     * The columns of `table` that the driver's catalog declares NOT NULL, upper-case; asked once per table on this
     * connection. Empty when the catalog cannot tell (every column then counts as one that may hold NULL).
     */
    const std::set<std::string>& notNullColumns(const std::string& table);

    /**
     * Whether the server is a node of a MariaDB Galera cluster (wsrep on); asked when the connection opens. On such a
     * connection every read waits until the node has applied what the cluster committed before it (wsrep_sync_wait),
     * so a station never reads a till's last receipt older than another node's commit; statements are the unit of its
     * streaming replication (see rksv::TillLock).
     */
    bool clusterNode();

private:
    // Declared in this order, so the connection is freed before its environment.
    EnvironmentHandle m_env;
    ConnectionHandle m_dbc;
    bool m_connected = false;
    std::string m_driver;
    Kind m_kind = Kind::MySQL;
    std::map<std::string, std::set<std::string>> m_notNull;
    std::optional<bool> m_clusterNode;
    std::map<std::string, std::string> m_sessionSettings;
    // Last: the statements go before the connection handle they belong to.
    std::map<std::string, std::unique_ptr<Statement>> m_prepared;

    Statement& prepared(const std::string& sql);
};

//! A statement on a connection: execute once, fetch rows one by one.
class Statement
{
public:
    explicit Statement(Connection& connection);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void execute(const std::string& sql, const std::vector<Text>& parameters = {});
    //! Prepares the statement once; run() executes it with its parameters bound anew, as often as needed.
    void prepare(const std::string& sql);
    void run(const std::vector<Text>& parameters = {});
    //! Ends the current result, so the statement can run again.
    void close();
    //! The result's columns (after execute).
    std::vector<Column> columns();
    //! Next row; false at the end.
    bool fetch();
    //! Value of column `index` (0-based) of the current row.
    Text get(int index);
    long rowCount();

private:
    [[noreturn]] void fail(const std::string& what, const std::string& sql);
    void bind(const std::string& sql, const std::vector<Text>& parameters);

    StatementHandle m_stmt;
    std::string m_sql;
    std::vector<std::string> m_bound; // keeps the parameters alive while the statement runs
    std::vector<SQLLEN> m_lengths;
    bool m_prepared = false;
};

//! The diagnostic records of a handle, joined.
std::string diagnostics(SQLSMALLINT handleType, SQLHANDLE handle);

} // namespace db
