#pragma once

#include <sql.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace demodata {

//! Every failing ODBC call throws this, with the SQLSTATEs and messages of the driver in what().
class OdbcError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

//! One ODBC connection, disconnected and freed at destruction.
class Connection
{
public:
    explicit Connection(const std::string& connectionString);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    //! Runs a statement without parameters; a result set is discarded.
    void exec(const std::string& sql);
    //! First column of the first row as a number; throws when the query fails or returns nothing.
    std::int64_t queryInt(const std::string& sql);
    //! SQLGetInfo(SQL_DBMS_NAME), e.g. "SQLite" or "MariaDB".
    std::string dbmsName();
    //! Off: statements collect in a transaction until commit().
    void setAutocommit(bool on);
    void commit();
    void rollback();

    SQLHDBC handle() const { return m_dbc; }

private:
    SQLHENV m_env = SQL_NULL_HENV;
    SQLHDBC m_dbc = SQL_NULL_HDBC;
};

/**
 * A prepared INSERT whose parameters are bound as arrays, so one SQLExecute sends many rows (MariaDB Connector/ODBC
 * turns them into one bulk command; the SQLite driver steps through them without going back to the caller).
 *
 * Fill the current row with the set...() calls for every column, then endRow(); a full batch goes to the database
 * by itself, flush() sends the rest. Values longer than a text column's width throw std::length_error.
 */
class BatchInsert
{
public:
    enum class Kind
    {
        Text,    //!< SQL_VARCHAR of at most `width` bytes
        Integer, //!< SQL_BIGINT
        Decimal, //!< SQL_DECIMAL(15,2), set as cents
        Date,    //!< SQL_TYPE_DATE
    };
    struct Column
    {
        std::string name;
        Kind kind = Kind::Text;
        std::size_t width = 0;
    };

    BatchInsert(Connection& connection, const std::string& table, std::vector<Column> columns, std::size_t batchRows);
    ~BatchInsert();
    BatchInsert(const BatchInsert&) = delete;
    BatchInsert& operator=(const BatchInsert&) = delete;

    void setText(std::size_t column, const std::string& value);
    void setInteger(std::size_t column, std::int64_t value);
    void setCents(std::size_t column, std::int64_t cents);
    void setDate(std::size_t column, int year, unsigned month, unsigned day);
    void setNull(std::size_t column);
    void endRow();
    void flush();

    //! Rows sent to the database so far.
    std::int64_t rowsWritten() const { return m_written; }

private:
    struct Buffer
    {
        Column column;
        std::size_t elementSize = 0;
        std::vector<char> data;
        std::vector<SQLLEN> indicators;
    };
    char* slot(std::size_t column);
    SQLHSTMT prepare(SQLHDBC dbc, bool arrays);
    void bind(SQLHSTMT stmt, bool arrays);

    SQLHSTMT m_arrays = SQL_NULL_HSTMT; //!< executes two rows or more at once
    SQLHSTMT m_single = SQL_NULL_HSTMT; //!< executes a batch of one row
    std::string m_sql;
    std::vector<Buffer> m_buffers;
    std::vector<SQLUSMALLINT> m_status;
    SQLULEN m_processed = 0;
    std::size_t m_batchRows = 0;
    std::size_t m_row = 0;
    std::int64_t m_written = 0;
};

} // namespace demodata
