#include "tools/demodata/Odbc.h"

#include <sqlext.h>

#include <array>
#include <cstring>
#include <utility>

namespace demodata {

namespace {

SQLCHAR* sqlText(const std::string& text)
{
    return reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str()));
}

std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle)
{
    std::string all;
    for (SQLSMALLINT record = 1;; ++record) {
        std::array<SQLCHAR, 6> state{};
        std::array<SQLCHAR, 1024> message{};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!SQL_SUCCEEDED(
                SQLGetDiagRec(type, handle, record, state.data(), &native, message.data(), message.size(), &length))) {
            break;
        }
        all += std::string(all.empty() ? "" : "; ") + reinterpret_cast<const char*>(state.data()) + " "
               + reinterpret_cast<const char*>(message.data());
    }
    return all.empty() ? "keine Meldung des Treibers" : all;
}

void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE handle, const std::string& what)
{
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
        throw OdbcError(what + ": " + diagnostics(type, handle));
    }
}

// A statement handle for one call, freed in one place.
class Statement
{
public:
    explicit Statement(SQLHDBC dbc)
    {
        check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &m_stmt), SQL_HANDLE_DBC, dbc, "SQLAllocHandle");
    }
    ~Statement() { SQLFreeHandle(SQL_HANDLE_STMT, m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    SQLHSTMT handle() const { return m_stmt; }

private:
    SQLHSTMT m_stmt = SQL_NULL_HSTMT;
};

} // namespace

Connection::Connection(const std::string& connectionString)
{
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env))) {
        throw OdbcError("SQLAllocHandle(ENV) fehlgeschlagen");
    }
    try {
        check(SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0),
              SQL_HANDLE_ENV,
              m_env,
              "SQLSetEnvAttr");
        check(SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc), SQL_HANDLE_ENV, m_env, "SQLAllocHandle(DBC)");
        check(SQLDriverConnect(
                  m_dbc, nullptr, sqlText(connectionString), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
              SQL_HANDLE_DBC,
              m_dbc,
              "Verbindung");
    } catch (...) {
        if (m_dbc != SQL_NULL_HDBC) {
            SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
        }
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
        throw;
    }
}

Connection::~Connection()
{
    SQLDisconnect(m_dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, m_env);
}

void Connection::exec(const std::string& sql)
{
    Statement statement(m_dbc);
    check(SQLExecDirect(statement.handle(), sqlText(sql), SQL_NTS), SQL_HANDLE_STMT, statement.handle(), sql);
}

std::int64_t Connection::queryInt(const std::string& sql)
{
    Statement statement(m_dbc);
    check(SQLExecDirect(statement.handle(), sqlText(sql), SQL_NTS), SQL_HANDLE_STMT, statement.handle(), sql);
    const SQLRETURN rc = SQLFetch(statement.handle());
    if (rc == SQL_NO_DATA) {
        throw OdbcError(sql + ": keine Zeile");
    }
    check(rc, SQL_HANDLE_STMT, statement.handle(), sql);
    SQLBIGINT value = 0;
    SQLLEN indicator = 0;
    check(SQLGetData(statement.handle(), 1, SQL_C_SBIGINT, &value, sizeof(value), &indicator),
          SQL_HANDLE_STMT,
          statement.handle(),
          sql);
    return indicator == SQL_NULL_DATA ? 0 : value;
}

std::string Connection::dbmsName()
{
    std::array<SQLCHAR, 256> name{};
    SQLSMALLINT length = 0;
    check(SQLGetInfo(m_dbc, SQL_DBMS_NAME, name.data(), name.size(), &length), SQL_HANDLE_DBC, m_dbc, "SQLGetInfo");
    return reinterpret_cast<const char*>(name.data());
}

void Connection::setAutocommit(bool on)
{
    const SQLULEN value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    check(SQLSetConnectAttr(m_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(value), SQL_IS_UINTEGER),
          SQL_HANDLE_DBC,
          m_dbc,
          "SQL_ATTR_AUTOCOMMIT");
}

void Connection::commit()
{
    check(SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_COMMIT), SQL_HANDLE_DBC, m_dbc, "COMMIT");
}

void Connection::rollback()
{
    check(SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_ROLLBACK), SQL_HANDLE_DBC, m_dbc, "ROLLBACK");
}

BatchInsert::BatchInsert(Connection& connection,
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

    m_arrays = prepare(connection.handle(), true);
    try {
        m_single = prepare(connection.handle(), false);
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_STMT, m_arrays);
        throw;
    }
}

BatchInsert::~BatchInsert()
{
    SQLFreeHandle(SQL_HANDLE_STMT, m_single);
    SQLFreeHandle(SQL_HANDLE_STMT, m_arrays);
}

SQLHSTMT BatchInsert::prepare(SQLHDBC dbc, bool arrays)
{
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    check(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt), SQL_HANDLE_DBC, dbc, "SQLAllocHandle");
    try {
        check(SQLPrepare(stmt, sqlText(m_sql), SQL_NTS), SQL_HANDLE_STMT, stmt, m_sql);
        bind(stmt, arrays);
    } catch (...) {
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        throw;
    }
    return stmt;
}

void BatchInsert::bind(SQLHSTMT stmt, bool arrays)
{
    if (arrays) {
        check(SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_BIND_BY_COLUMN), 0),
              SQL_HANDLE_STMT,
              stmt,
              "SQL_ATTR_PARAM_BIND_TYPE");
        check(SQLSetStmtAttr(stmt, SQL_ATTR_PARAM_STATUS_PTR, m_status.data(), 0),
              SQL_HANDLE_STMT,
              stmt,
              "SQL_ATTR_PARAM_STATUS_PTR");
        check(SQLSetStmtAttr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, &m_processed, 0),
              SQL_HANDLE_STMT,
              stmt,
              "SQL_ATTR_PARAMS_PROCESSED_PTR");
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
        check(SQLBindParameter(stmt,
                               static_cast<SQLUSMALLINT>(i + 1),
                               SQL_PARAM_INPUT,
                               cType,
                               sqlType,
                               size,
                               digits,
                               buffer.data.data(),
                               static_cast<SQLLEN>(buffer.elementSize),
                               buffer.indicators.data()),
              SQL_HANDLE_STMT,
              stmt,
              "SQLBindParameter " + buffer.column.name);
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
        check(SQLExecute(m_single), SQL_HANDLE_STMT, m_single, m_sql);
    } else {
        check(SQLSetStmtAttr(m_arrays, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(m_row), 0),
              SQL_HANDLE_STMT,
              m_arrays,
              "SQL_ATTR_PARAMSET_SIZE");
        m_processed = 0;
        check(SQLExecute(m_arrays), SQL_HANDLE_STMT, m_arrays, m_sql);
        // A driver may report a failed row only in the status array.
        for (std::size_t row = 0; row < m_row; ++row) {
            if (m_status[row] == SQL_PARAM_ERROR) {
                throw OdbcError(m_sql + ": Zeile " + std::to_string(row + 1)
                                + " des Stapels abgewiesen: " + diagnostics(SQL_HANDLE_STMT, m_arrays));
            }
        }
        if (m_processed != m_row) {
            throw OdbcError(m_sql + ": der Treiber hat " + std::to_string(m_processed) + " von " + std::to_string(m_row)
                            + " Zeilen verarbeitet");
        }
    }
    m_written += static_cast<std::int64_t>(m_row);
    m_row = 0;
}

} // namespace demodata
