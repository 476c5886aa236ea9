#include "db/Odbc.h"

#include "base/ErrorLog.h"
#include "base/StringUtil.h"

namespace db {
namespace {

bool ok(SQLRETURN rc)
{
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

} // namespace

bool isNumericType(SQLSMALLINT type)
{
    switch (type) {
    case SQL_INTEGER:
    case SQL_SMALLINT:
    case SQL_BIGINT:
    case SQL_TINYINT:
    case SQL_DECIMAL:
    case SQL_NUMERIC:
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
        return true;
    default:
        return false;
    }
}

Kind kindOfDriver(const std::string& driverFile)
{
    const auto name = base::toLower(driverFile);
    const auto base = name.substr(name.find_last_of("/\\") == std::string::npos ? 0 : name.find_last_of("/\\") + 1);
    // Windows names (sqora32.dll, sqliteodbc.dll, sqlite3odbc.dll) and the Linux libraries, which report
    // themselves as libsqora…, sqlite3odbc.so or libsqlite3odbc-<version>.so.
    const auto plain = base.starts_with("lib") ? base.substr(3) : base;
    if (plain.starts_with("sqora")) {
        return Kind::Oracle;
    }
    if (plain.starts_with("sqliteodbc") || plain.starts_with("sqlite3odbc")) {
        return Kind::SQLite;
    }
    return Kind::MySQL;
}

std::string diagnostics(SQLSMALLINT handleType, SQLHANDLE handle)
{
    std::string text;
    for (SQLSMALLINT i = 1;; ++i) {
        SQLCHAR state[6] = {};
        SQLCHAR message[1024] = {};
        SQLINTEGER native = 0;
        SQLSMALLINT length = 0;
        if (!ok(SQLGetDiagRec(handleType, handle, i, state, &native, message, sizeof message, &length))) {
            break;
        }
        if (!text.empty()) {
            text += "; ";
        }
        text += std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(message);
    }
    return text.empty() ? std::string("(keine Meldung des Treibers)") : text;
}

Connection::Connection(const std::string& connectionString)
{
    if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, m_env.out()))
        || !ok(SQLSetEnvAttr(m_env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))
        || !ok(SQLAllocHandle(SQL_HANDLE_DBC, m_env.get(), m_dbc.out()))) {
        throw base::PlatformError("ODBC: die Umgebung kann nicht angelegt werden");
    }
    std::string text = connectionString;
    SQLCHAR out[1024];
    SQLSMALLINT outLength = 0;
    const SQLRETURN rc = SQLDriverConnect(m_dbc.get(),
                                          nullptr,
                                          reinterpret_cast<SQLCHAR*>(text.data()),
                                          static_cast<SQLSMALLINT>(text.size()),
                                          out,
                                          sizeof out,
                                          &outLength,
                                          SQL_DRIVER_NOPROMPT);
    if (!ok(rc)) {
        throw base::PlatformError("ODBC: Verbindung nicht möglich: " + diagnostics(SQL_HANDLE_DBC, m_dbc.get()));
    }
    m_connected = true;
    SQLCHAR driver[256] = {};
    SQLSMALLINT length = 0;
    if (ok(SQLGetInfo(m_dbc.get(), SQL_DRIVER_NAME, driver, sizeof driver, &length))) {
        m_driver = reinterpret_cast<char*>(driver);
    }
    m_kind = kindOfDriver(m_driver);
    // Every read on a cluster node waits for the cluster: a report or export never misses another node's commit.
    clusterNode();
}

Connection::~Connection()
{
    m_prepared.clear(); // before the connection ends
    if (m_connected) {
        SQLDisconnect(m_dbc.get());
    }
}

std::string Connection::dbmsName() const
{
    SQLCHAR name[256] = {};
    SQLSMALLINT length = 0;
    if (!ok(SQLGetInfo(m_dbc.get(), SQL_DBMS_NAME, name, sizeof name, &length))) {
        throw base::PlatformError("ODBC: Datenbankname nicht erfragbar: " + diagnostics(SQL_HANDLE_DBC, m_dbc.get()));
    }
    return reinterpret_cast<char*>(name);
}

bool Connection::clusterNode()
{
    if (!m_clusterNode) {
        bool node = false;
        if (m_kind == Kind::MySQL) {
            try {
                const auto on = queryRow("SELECT @@wsrep_on");
                node = !on.empty() && on[0] && (*on[0] == "1" || base::equalsNoCase(*on[0], "ON"));
            } catch (const base::PlatformError&) {
                node = false; // a server without Galera support knows no such variable
            }
            if (node) {
                execute("SET SESSION wsrep_sync_wait = 1");
                // Streaming replication, where a step asks for it, fragment by fragment of single statements.
                execute("SET SESSION wsrep_trx_fragment_unit = 'statements'");
            }
        }
        m_clusterNode = node;
    }
    return *m_clusterNode;
}

void Connection::setAutoCommit(bool on)
{
    const auto value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    if (!ok(SQLSetConnectAttr(m_dbc.get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(value), 0))) {
        throw base::PlatformError("ODBC: Autocommit nicht umschaltbar: " + diagnostics(SQL_HANDLE_DBC, m_dbc.get()));
    }
}

void Connection::commit()
{
    if (!ok(SQLEndTran(SQL_HANDLE_DBC, m_dbc.get(), SQL_COMMIT))) {
        throw base::PlatformError("ODBC: Commit fehlgeschlagen: " + diagnostics(SQL_HANDLE_DBC, m_dbc.get()));
    }
}

long Connection::execute(const std::string& sql, const std::vector<Text>& parameters)
{
    Statement statement(*this);
    statement.execute(sql, parameters);
    return statement.rowCount();
}

std::vector<Text> Connection::queryRow(const std::string& sql, const std::vector<Text>& parameters)
{
    Statement statement(*this);
    statement.execute(sql, parameters);
    std::vector<Text> row;
    if (statement.fetch()) {
        const auto count = static_cast<int>(statement.columns().size());
        for (int i = 0; i < count; ++i) {
            row.push_back(statement.get(i));
        }
    }
    return row;
}

const std::set<std::string>& Connection::notNullColumns(const std::string& table)
{
    const auto key = base::toUpper(table);
    if (const auto known = m_notNull.find(key); known != m_notNull.end()) {
        return known->second;
    }
    auto& columns = m_notNull[key];
    StatementHandle handle;
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, m_dbc.get(), handle.out()))) {
        return columns;
    }
    SQLHSTMT statement = handle.get();
    std::string name = table;
    if (ok(SQLColumns(statement,
                      nullptr,
                      0,
                      nullptr,
                      0,
                      reinterpret_cast<SQLCHAR*>(name.data()),
                      static_cast<SQLSMALLINT>(name.size()),
                      nullptr,
                      0))) {
        while (ok(SQLFetch(statement))) {
            // The name is a pattern ("_" matches any character): only the rows of this very table count.
            SQLCHAR tableName[256] = {};
            SQLCHAR columnName[256] = {};
            SQLSMALLINT nullable = SQL_NULLABLE_UNKNOWN;
            SQLLEN indicator = 0;
            if (ok(SQLGetData(statement, 3, SQL_C_CHAR, tableName, sizeof tableName, &indicator))
                && ok(SQLGetData(statement, 4, SQL_C_CHAR, columnName, sizeof columnName, &indicator))
                && ok(SQLGetData(statement, 11, SQL_C_SSHORT, &nullable, 0, &indicator)) && nullable == SQL_NO_NULLS
                && base::equalsNoCase(reinterpret_cast<char*>(tableName), table)) {
                columns.insert(base::toUpper(reinterpret_cast<char*>(columnName)));
            }
        }
    }
    return columns;
}

Statement::Statement(Connection& connection)
{
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, connection.handle(), m_stmt.out()))) {
        throw base::PlatformError("ODBC: keine Anweisung möglich: " + diagnostics(SQL_HANDLE_DBC, connection.handle()));
    }
}

Statement::~Statement() = default;

void Statement::fail(const std::string& what, const std::string& sql)
{
    throw base::PlatformError("ODBC: " + what + ": " + diagnostics(SQL_HANDLE_STMT, m_stmt.get())
                              + "\nAnweisung: " + sql);
}

void Statement::bind(const std::string& sql, const std::vector<Text>& parameters)
{
    SQLFreeStmt(m_stmt.get(), SQL_CLOSE);
    SQLFreeStmt(m_stmt.get(), SQL_RESET_PARAMS);
    m_bound.assign(parameters.size(), std::string());
    m_lengths.assign(parameters.size(), 0);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        if (parameters[i]) {
            m_bound[i] = *parameters[i];
            m_lengths[i] = static_cast<SQLLEN>(m_bound[i].size());
        } else {
            m_lengths[i] = SQL_NULL_DATA;
        }
        const auto size = std::max<SQLULEN>(1, m_bound[i].size());
        if (!ok(SQLBindParameter(m_stmt.get(),
                                 static_cast<SQLUSMALLINT>(i + 1),
                                 SQL_PARAM_INPUT,
                                 SQL_C_CHAR,
                                 SQL_VARCHAR,
                                 size,
                                 0,
                                 m_bound[i].data(),
                                 static_cast<SQLLEN>(m_bound[i].size()),
                                 &m_lengths[i]))) {
            fail("Parameter", sql);
        }
    }
}

void Statement::execute(const std::string& sql, const std::vector<Text>& parameters)
{
    m_sql = sql;
    m_prepared = false;
    bind(sql, parameters);
    std::string text = sql;
    const SQLRETURN rc =
        SQLExecDirect(m_stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size()));
    if (!ok(rc) && rc != SQL_NO_DATA) {
        fail("Anweisung fehlgeschlagen", sql);
    }
}

void Statement::prepare(const std::string& sql)
{
    m_sql = sql;
    SQLFreeStmt(m_stmt.get(), SQL_CLOSE);
    std::string text = sql;
    if (!ok(SQLPrepare(m_stmt.get(), reinterpret_cast<SQLCHAR*>(text.data()), static_cast<SQLINTEGER>(text.size())))) {
        fail("Vorbereiten", sql);
    }
    m_prepared = true;
}

void Statement::run(const std::vector<Text>& parameters)
{
    if (!m_prepared) {
        throw base::PlatformError("ODBC: Anweisung nicht vorbereitet: " + m_sql);
    }
    bind(m_sql, parameters);
    const SQLRETURN rc = SQLExecute(m_stmt.get());
    if (!ok(rc) && rc != SQL_NO_DATA) {
        fail("Anweisung fehlgeschlagen", m_sql);
    }
}

void Statement::close()
{
    SQLFreeStmt(m_stmt.get(), SQL_CLOSE);
}

Statement& Connection::prepared(const std::string& sql)
{
    auto& statement = m_prepared[sql];
    if (!statement) {
        auto made = std::make_unique<Statement>(*this);
        made->prepare(sql);
        statement = std::move(made);
    }
    return *statement;
}

long Connection::executePrepared(const std::string& sql, const std::vector<Text>& parameters)
{
    Statement& statement = prepared(sql);
    statement.run(parameters);
    const long changed = statement.rowCount();
    statement.close();
    return changed;
}

std::vector<Text> Connection::queryRowPrepared(const std::string& sql, const std::vector<Text>& parameters)
{
    Statement& statement = prepared(sql);
    statement.run(parameters);
    std::vector<Text> row;
    if (statement.fetch()) {
        const auto count = static_cast<int>(statement.columns().size());
        for (int i = 0; i < count; ++i) {
            row.push_back(statement.get(i));
        }
    }
    statement.close();
    return row;
}

std::vector<std::vector<Text>> Connection::queryRowsPrepared(const std::string& sql,
                                                             const std::vector<Text>& parameters)
{
    Statement& statement = prepared(sql);
    statement.run(parameters);
    std::vector<std::vector<Text>> rows;
    const auto count = static_cast<int>(statement.columns().size());
    while (statement.fetch()) {
        auto& row = rows.emplace_back();
        for (int i = 0; i < count; ++i) {
            row.push_back(statement.get(i));
        }
    }
    statement.close();
    return rows;
}

void Connection::sessionSetting(const std::string& name, const std::string& sql)
{
    auto& current = m_sessionSettings[name];
    if (current != sql) {
        current.clear(); // unknown until the statement has run
        execute(sql);
        current = sql;
    }
}

std::vector<Column> Statement::columns()
{
    SQLSMALLINT count = 0;
    if (!ok(SQLNumResultCols(m_stmt.get(), &count))) {
        fail("Spalten", m_sql);
    }
    std::vector<Column> result;
    for (SQLSMALLINT i = 1; i <= count; ++i) {
        SQLCHAR name[256] = {};
        SQLSMALLINT nameLength = 0;
        SQLSMALLINT type = 0;
        SQLULEN size = 0;
        SQLSMALLINT digits = 0;
        SQLSMALLINT nullable = 0;
        if (!ok(SQLDescribeCol(m_stmt.get(), i, name, sizeof name, &nameLength, &type, &size, &digits, &nullable))) {
            fail("Spaltenbeschreibung", m_sql);
        }
        result.push_back({reinterpret_cast<char*>(name), type, nullable != SQL_NO_NULLS});
    }
    return result;
}

bool Statement::fetch()
{
    const SQLRETURN rc = SQLFetch(m_stmt.get());
    if (rc == SQL_NO_DATA) {
        return false;
    }
    if (!ok(rc)) {
        fail("Lesen", m_sql);
    }
    return true;
}

Text Statement::get(int index)
{
    std::string value;
    char buffer[4096];
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc = SQLGetData(
            m_stmt.get(), static_cast<SQLUSMALLINT>(index + 1), SQL_C_CHAR, buffer, sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA) {
            break;
        }
        if (!ok(rc)) {
            fail("Wert lesen", m_sql);
        }
        if (indicator == SQL_NULL_DATA) {
            return std::nullopt;
        }
        const auto available = indicator == SQL_NO_TOTAL || indicator >= static_cast<SQLLEN>(sizeof buffer)
                                   ? sizeof buffer - 1
                                   : static_cast<std::size_t>(indicator);
        value.append(buffer, available);
        if (rc == SQL_SUCCESS) {
            break;
        }
    }
    return value;
}

long Statement::rowCount()
{
    SQLLEN count = 0;
    SQLRowCount(m_stmt.get(), &count);
    return static_cast<long>(count);
}

} // namespace db
