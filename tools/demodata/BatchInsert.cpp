#include "tools/demodata/BatchInsert.h"

#include "base/ErrorLog.h"

#include <sqlext.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace demodata {

namespace {

// As db::Statement reports a failure: what failed, the driver's diagnostics, and the statement.
[[noreturn]] void fail(SQLHSTMT stmt, const std::string& what, const std::string& sql)
{
    throw base::PlatformError("ODBC: " + what + ": " + db::diagnostics(SQL_HANDLE_STMT, stmt) + "\nAnweisung: " + sql);
}

void check(SQLRETURN rc, SQLHSTMT stmt, const char* what, const std::string& sql)
{
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        fail(stmt, what, sql);
    }
}

} // namespace

BatchInsert::BatchInsert(db::Connection& connection,
                         const std::string& table,
                         std::vector<Column> columns,
                         std::size_t batchRows)
    : m_batchRows(batchRows)
{
    std::string names;
    std::string marks;
    for (auto& column : columns) {
        names += (names.empty() ? "" : ", ") + column.name;
        marks += marks.empty() ? "?" : ", ?";
        Buffer buffer;
        switch (column.kind) {
        case Kind::Text:
            buffer.elementSize = column.width + 1;
            break;
        case Kind::Integer:
            buffer.elementSize = sizeof(SQLBIGINT);
            break;
        case Kind::Decimal:
            // "-1234567890123.45" with room to spare; setCents() writes it as text
            column.width = 23;
            buffer.elementSize = column.width + 1;
            break;
        case Kind::Date:
            buffer.elementSize = sizeof(SQL_DATE_STRUCT);
            break;
        }
        buffer.column = std::move(column);
        buffer.data.resize(buffer.elementSize * batchRows);
        buffer.indicators.resize(batchRows);
        m_buffers.push_back(std::move(buffer));
    }
    m_status.resize(batchRows);
    m_sql = "INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")";

    m_arrays = prepare(connection, true);
    m_single = prepare(connection, false);
}

db::StatementHandle BatchInsert::prepare(db::Connection& connection, bool arrays)
{
    db::StatementHandle stmt;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection.handle(), stmt.out()))) {
        throw base::PlatformError("ODBC: keine Anweisung möglich: "
                                  + db::diagnostics(SQL_HANDLE_DBC, connection.handle()));
    }
    check(SQLPrepare(stmt.get(), reinterpret_cast<SQLCHAR*>(m_sql.data()), static_cast<SQLINTEGER>(m_sql.size())),
          stmt.get(),
          "Vorbereiten fehlgeschlagen",
          m_sql);
    bind(stmt.get(), arrays);
    return stmt;
}

void BatchInsert::bind(SQLHSTMT stmt, bool arrays)
{
    if (arrays) {
        check(SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0),
              stmt,
              "SQL_ATTR_PARAM_BIND_TYPE",
              m_sql);
        check(SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_STATUS_PTR, m_status.data(), 0),
              stmt,
              "SQL_ATTR_PARAM_STATUS_PTR",
              m_sql);
        check(SQLSetStmtAttr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, &m_processed, 0),
              stmt,
              "SQL_ATTR_PARAMS_PROCESSED_PTR",
              m_sql);
    }
    for (std::size_t i = 0; i < m_buffers.size(); ++i) {
        Buffer& buffer = m_buffers[i];
        SQLSMALLINT cType = SQL_C_CHAR;
        SQLSMALLINT sqlType = SQL_VARCHAR;
        SQLULEN size = buffer.column.width;
        SQLSMALLINT digits = 0;
        switch (buffer.column.kind) {
        case Kind::Text:
            break;
        case Kind::Integer:
            cType = SQL_C_SBIGINT;
            sqlType = SQL_BIGINT;
            size = 19;
            break;
        case Kind::Decimal:
            sqlType = SQL_DECIMAL;
            size = 15;
            digits = 2;
            break;
        case Kind::Date:
            cType = SQL_C_TYPE_DATE;
            sqlType = SQL_TYPE_DATE;
            size = 10;
            break;
        }
        if (!SQL_SUCCEEDED(SQLBindParameter(stmt,
                                            static_cast<SQLUSMALLINT>(i + 1),
                                            SQL_PARAM_INPUT,
                                            cType,
                                            sqlType,
                                            size,
                                            digits,
                                            buffer.data.data(),
                                            static_cast<SQLLEN>(buffer.elementSize),
                                            buffer.indicators.data()))) {
            fail(stmt, "Parameter " + buffer.column.name, m_sql);
        }
    }
}

char* BatchInsert::slot(std::size_t column)
{
    Buffer& buffer = m_buffers.at(column);
    return buffer.data.data() + m_row * buffer.elementSize;
}

void BatchInsert::setText(std::size_t column, const std::string& value)
{
    Buffer& buffer = m_buffers.at(column);
    if (value.size() > buffer.column.width) {
        throw std::length_error(buffer.column.name + ": \"" + value + "\" ist zu lang");
    }
    std::memcpy(slot(column), value.c_str(), value.size() + 1);
    buffer.indicators[m_row] = static_cast<SQLLEN>(value.size());
}

void BatchInsert::setInteger(std::size_t column, std::int64_t value)
{
    const SQLBIGINT number = value;
    std::memcpy(slot(column), &number, sizeof(number));
    m_buffers.at(column).indicators[m_row] = 0;
}

void BatchInsert::setCents(std::size_t column, std::int64_t cents)
{
    const std::int64_t magnitude = cents < 0 ? -cents : cents;
    const std::string fraction = std::to_string(100 + magnitude % 100).substr(1);
    setText(column, (cents < 0 ? "-" : "") + std::to_string(magnitude / 100) + "." + fraction);
}

void BatchInsert::setDate(std::size_t column, int year, unsigned month, unsigned day)
{
    SQL_DATE_STRUCT date{};
    date.year = static_cast<SQLSMALLINT>(year);
    date.month = static_cast<SQLUSMALLINT>(month);
    date.day = static_cast<SQLUSMALLINT>(day);
    std::memcpy(slot(column), &date, sizeof(date));
    m_buffers.at(column).indicators[m_row] = 0;
}

void BatchInsert::setNull(std::size_t column)
{
    m_buffers.at(column).indicators[m_row] = SQL_NULL_DATA;
}

void BatchInsert::endRow()
{
    if (++m_row == m_batchRows) {
        flush();
    }
}

void BatchInsert::flush()
{
    if (m_row == 0) {
        return;
    }
    if (m_row == 1) {
        // MariaDB Connector/ODBC 3.1 mangles a parameter array of one row (garbage values) and afterwards executes
        // larger arrays on that statement as no rows at all while reporting them processed. A single row therefore
        // goes through its own statement that never sees an array.
        check(SQLExecute(m_single.get()), m_single.get(), "Anweisung fehlgeschlagen", m_sql);
    } else {
        check(SQLSetStmtAttr(m_arrays.get(), SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(m_row), 0),
              m_arrays.get(),
              "SQL_ATTR_PARAMSET_SIZE",
              m_sql);
        m_processed = 0;
        check(SQLExecute(m_arrays.get()), m_arrays.get(), "Anweisung fehlgeschlagen", m_sql);
        // A driver may report a failed row only in the status array.
        for (std::size_t row = 0; row < m_row; ++row) {
            if (m_status[row] == SQL_PARAM_ERROR) {
                fail(m_arrays.get(), "Zeile " + std::to_string(row + 1) + " des Stapels abgewiesen", m_sql);
            }
        }
        if (m_processed != m_row) {
            throw base::PlatformError("ODBC: der Treiber hat " + std::to_string(m_processed) + " von "
                                      + std::to_string(m_row) + " Zeilen verarbeitet\nAnweisung: " + m_sql);
        }
    }
    m_written += static_cast<std::int64_t>(m_row);
    m_row = 0;
}

} // namespace demodata
