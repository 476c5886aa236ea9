#pragma once

#include "db/Odbc.h"

#include <sql.h>

#include <cstdint>
#include <string>
#include <vector>

namespace demodata {

/**
 * A prepared INSERT whose parameters are bound as arrays, so one SQLExecute sends many rows (MariaDB Connector/ODBC
 * turns them into one bulk command; the SQLite driver steps through them without going back to the caller).
 *
 * Fill the current row with the set...() calls for every column, then endRow(); a full batch goes to the database
 * by itself, flush() sends the rest. Values longer than a text column's width throw std::length_error; a statement
 * the driver refuses, or a row of a batch, throws base::PlatformError with the driver's diagnostics and the statement.
 * The connection must outlive the object.
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

    BatchInsert(db::Connection& connection,
                const std::string& table,
                std::vector<Column> columns,
                std::size_t batchRows);
    // Neither copied nor moved: the driver keeps the addresses of the buffers and counters.
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
    db::StatementHandle prepare(db::Connection& connection, bool arrays);
    void bind(SQLHSTMT stmt, bool arrays);

    // Declared after the buffers they point into, so the statements are freed first.
    std::string m_sql;
    std::vector<Buffer> m_buffers;
    std::vector<SQLUSMALLINT> m_status;
    SQLULEN m_processed = 0;
    db::StatementHandle m_arrays; //!< executes two rows or more at once
    db::StatementHandle m_single; //!< executes a batch of one row
    std::size_t m_batchRows = 0;
    std::size_t m_row = 0;
    std::int64_t m_written = 0;
};

} // namespace demodata
