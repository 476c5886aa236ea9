#include "db/SqlTable.h"

#include "base/ErrorLog.h"
#include "base/StringUtil.h"

#include <algorithm>

namespace db {
namespace {

constexpr std::size_t BATCH = 64;

bool contains(const std::vector<std::string>& list, const std::string& name)
{
    return std::any_of(list.begin(), list.end(), [&](const std::string& s) { return base::equalsNoCase(s, name); });
}

std::string joined(const std::vector<std::string>& list, const std::string& separator)
{
    std::string text;
    for (const auto& item : list) {
        text += (text.empty() ? "" : separator) + item;
    }
    return text;
}

} // namespace

SqlTable::SqlTable(std::shared_ptr<Connection> connection,
                   std::string table,
                   std::vector<std::string> columns,
                   std::vector<std::string> key)
    : m_connection(std::move(connection))
    , m_table(std::move(table))
{
    if (!m_connection) {
        throw base::PlatformError("Keine Datenbankverbindung für Tabelle " + m_table);
    }
    for (const auto& k : key) {
        if (!columns.empty() && !contains(columns, k)) {
            columns.push_back(k);
        }
    }
    Statement statement(*m_connection);
    statement.execute("SELECT " + (columns.empty() ? std::string("*") : joined(columns, ", ")) + " FROM " + m_table
                      + " WHERE 1 = 0");
    for (const auto& column : statement.columns()) {
        m_columns.push_back(described(column));
    }
    m_key = std::move(key);
}

Column SqlTable::described(Column column) const
{
    // SQLite's driver describes every result column as one that may hold NULL; its catalog knows better, and a move
    // back on a column without NULLs stays a plain index range.
    if (column.nullable && m_connection->kind() == Kind::SQLite
        && m_connection->notNullColumns(m_table).contains(base::toUpper(column.name))) {
        column.nullable = false;
    }
    return column;
}

void SqlTable::setKey(std::vector<std::string> key)
{
    for (auto& k : key) {
        if (FieldPos(k) == 0) {
            Statement statement(*m_connection);
            statement.execute("SELECT " + k + " FROM " + m_table + " WHERE 1 = 0");
            auto column = described(statement.columns().at(0));
            // The row id is never NULL, whatever the column that stands for it says.
            column.nullable = column.nullable && !base::equalsNoCase(k, "ROWID");
            // SQLite names ROWID after the column that stands for it, where there is one.
            if (FieldPos(column.name) == 0) {
                m_columns.push_back(column);
            } else {
                m_columns[index(column.name)].nullable = column.nullable;
            }
            if (!base::equalsNoCase(column.name, k) && FieldPos(column.name) != 0) {
                k = column.name;
            }
        }
    }
    m_key = std::move(key);
    m_stale = true;
}

std::size_t SqlTable::index(const std::string& column) const
{
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (base::equalsNoCase(m_columns[i].name, column)) {
            return i;
        }
    }
    throw base::PlatformError("Tabelle " + m_table + " hat keine Spalte " + column);
}

int SqlTable::FieldPos(const std::string& column) const
{
    for (std::size_t i = 0; i < m_columns.size(); ++i) {
        if (base::equalsNoCase(m_columns[i].name, column)) {
            return static_cast<int>(i + 1);
        }
    }
    return 0;
}

std::string SqlTable::FieldSym(int position) const
{
    return position >= 1 && position <= FCount() ? m_columns[static_cast<std::size_t>(position - 1)].name
                                                 : std::string();
}

std::string SqlTable::blankOf(std::size_t column) const
{
    return isNumericType(m_columns[column].type) ? "0" : "";
}

void SqlTable::settle() const
{
    if (m_stale) {
        const_cast<SqlTable*>(this)->GoTop();
    }
}

bool SqlTable::EoF() const
{
    settle();
    return m_eof;
}

bool SqlTable::BoF() const
{
    settle();
    return m_bof;
}

std::string SqlTable::FieldGet(const std::string& column) const
{
    settle();
    const auto i = index(column);
    if (const auto pending = m_pending.find(i); pending != m_pending.end()) {
        return pending->second;
    }
    return i < m_row.size() && m_row[i] ? *m_row[i] : blankOf(i);
}

void SqlTable::FieldPut(const std::string& column, const std::string& value)
{
    settle();
    m_pending[index(column)] = value;
}

std::string SqlTable::selectList() const
{
    std::vector<std::string> names;
    for (const auto& column : m_columns) {
        names.push_back(column.name);
    }
    return joined(names, ", ");
}

std::vector<std::string> SqlTable::orderColumns() const
{
    std::vector<std::string> order = m_seekColumns;
    for (const auto* list : {&m_order, &m_key}) {
        for (const auto& column : *list) {
            if (!contains(order, column)) {
                order.push_back(column);
            }
        }
    }
    return order;
}

std::string SqlTable::keysetCondition(const std::vector<std::string>& order,
                                      const Row& from,
                                      bool forward,
                                      bool inclusive,
                                      std::vector<Text>& parameters) const
{
    if (order.empty()) {
        return "1 = 1"; // without order and key there is no position to start from
    }
    // NULL sorts before every value, so a NULL of the position compares with IS NULL / IS NOT NULL, and a move back
    // from a value also reaches the NULLs of a column that can hold them. Positions without NULL give the same SQL as
    // a table without NULLs.
    const auto equal = [&](const std::string& column, std::vector<Text>& values) {
        const auto& value = from[index(column)];
        if (!value) {
            return column + " IS NULL";
        }
        values.push_back(value);
        return column + " = ?";
    };
    // Rows after (forward) or before the position on one column, or at it too (orEqual); nothing when no row can be.
    const auto beyond = [&](const std::string& column, bool orEqual, std::vector<Text>& values) -> std::string {
        const auto& value = from[index(column)];
        if (!value) {
            return forward ? (orEqual ? "1 = 1" : column + " IS NOT NULL") : (orEqual ? column + " IS NULL" : "");
        }
        values.push_back(value);
        const auto term = column + (forward ? (orEqual ? " >= ?" : " > ?") : (orEqual ? " <= ?" : " < ?"));
        return forward || !m_columns[index(column)].nullable ? term : "(" + term + " OR " + column + " IS NULL)";
    };
    // (a > x) OR (a = x AND b > y) OR … — written out, so that every database can use its indexes.
    std::string branches;
    std::vector<Text> branchValues;
    for (std::size_t i = 0; i < order.size(); ++i) {
        std::vector<Text> values;
        std::string term;
        for (std::size_t j = 0; j < i; ++j) {
            term += equal(order[j], values) + " AND ";
        }
        const auto last = beyond(order[i], false, values);
        if (last.empty()) {
            continue;
        }
        branches += (branches.empty() ? "(" : " OR (") + term + last + ")";
        branchValues.insert(branchValues.end(), values.begin(), values.end());
    }
    if (inclusive) {
        std::string same;
        for (const auto& column : order) {
            same += (same.empty() ? "" : " AND ") + equal(column, branchValues);
        }
        branches += (branches.empty() ? "(" : " OR (") + same + ")";
    }
    // A plain range on the first column in front, so that every database scans its index from the position on
    // instead of collecting the OR's branches and sorting them.
    const auto range = beyond(order[0], true, parameters);
    parameters.insert(parameters.end(), branchValues.begin(), branchValues.end());
    return range + " AND (" + (branches.empty() ? std::string("1 = 0") : branches) + ")";
}

std::deque<SqlTable::Row> SqlTable::fetch(const Row* from, bool forward, std::size_t limit, bool inclusive) const
{
    const auto order = orderColumns();
    std::vector<Text> parameters = m_whereParameters;
    std::vector<std::string> conditions;
    if (!m_where.empty()) {
        conditions.push_back("(" + m_where + ")");
    }
    if (from && !order.empty()) {
        conditions.push_back("(" + keysetCondition(order, *from, forward, inclusive, parameters) + ")");
    }
    std::string sql = "SELECT " + selectList() + " FROM " + m_table;
    if (!conditions.empty()) {
        sql += " WHERE " + joined(conditions, " AND ");
    }
    if (!order.empty()) {
        sql += " ORDER BY " + joined(order, forward ? ", " : " DESC, ") + (forward ? "" : " DESC");
    }
    sql += " LIMIT " + std::to_string(limit);
    Statement statement(*m_connection);
    statement.execute(sql, parameters);
    std::deque<Row> rows;
    const auto count = static_cast<int>(m_columns.size());
    while (statement.fetch()) {
        Row row;
        for (int i = 0; i < count; ++i) {
            row.push_back(statement.get(i));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

bool SqlTable::positionOn(std::deque<Row> rows)
{
    m_stale = false;
    m_pending.clear();
    m_appending = false;
    if (rows.empty()) {
        m_row.clear();
        m_ahead.clear();
        m_eof = true;
        m_bof = true;
        return false;
    }
    m_row = std::move(rows.front());
    rows.pop_front();
    m_ahead = std::move(rows);
    m_eof = false;
    m_bof = false;
    return true;
}

bool SqlTable::GoTop()
{
    const bool found = positionOn(fetch(nullptr, true, BATCH));
    m_recNo = found ? 1 : 0;
    return found;
}

bool SqlTable::GoBottom()
{
    const bool found = positionOn(fetch(nullptr, false, 1));
    m_recNo = 0;
    return found;
}

bool SqlTable::Skip(long rows)
{
    settle();
    m_pending.clear();
    m_appending = false;
    for (; rows > 0; --rows) {
        if (m_eof) {
            return false;
        }
        if (m_ahead.empty()) {
            m_ahead = fetch(&m_row, true, BATCH);
        }
        if (m_ahead.empty()) {
            // Past the last row: the end, on a blank row.
            m_row.clear();
            m_eof = true;
            m_recNo = 0;
            return false;
        }
        m_row = std::move(m_ahead.front());
        m_ahead.pop_front();
        m_bof = false;
        if (m_recNo > 0) {
            ++m_recNo;
        }
    }
    for (; rows < 0; ++rows) {
        if (m_eof) {
            if (!GoBottom()) {
                return false;
            }
            continue;
        }
        auto before = fetch(&m_row, false, 1);
        if (before.empty()) {
            m_bof = true;
            return false;
        }
        m_ahead.push_front(std::move(m_row));
        m_row = std::move(before.front());
        if (m_recNo > 0) {
            --m_recNo;
        }
    }
    return true;
}

bool SqlTable::GoTo(long row)
{
    if (row < 1) {
        return false;
    }
    const auto order = orderColumns();
    std::string sql = "SELECT " + selectList() + " FROM " + m_table;
    if (!m_where.empty()) {
        sql += " WHERE " + m_where;
    }
    if (!order.empty()) {
        sql += " ORDER BY " + joined(order, ", ");
    }
    sql += " LIMIT 1 OFFSET " + std::to_string(row - 1);
    Statement statement(*m_connection);
    statement.execute(sql, m_whereParameters);
    std::deque<Row> rows;
    if (statement.fetch()) {
        Row values;
        for (int i = 0; i < FCount(); ++i) {
            values.push_back(statement.get(i));
        }
        rows.push_back(std::move(values));
    }
    const bool found = positionOn(std::move(rows));
    m_recNo = found ? row : 0;
    return found;
}

long SqlTable::RecNo()
{
    settle();
    if (m_eof) {
        return 0;
    }
    if (m_recNo == 0) {
        // Counting the rows before this one is an index range count, not a read of the table.
        std::vector<Text> parameters = m_whereParameters;
        std::string sql = "SELECT COUNT(*) FROM " + m_table + " WHERE ";
        if (!m_where.empty()) {
            sql += "(" + m_where + ") AND ";
        }
        sql += "(" + keysetCondition(orderColumns(), m_row, false, false, parameters) + ")";
        const auto row = m_connection->queryRow(sql, parameters);
        m_recNo = 1 + (row.empty() || !row[0] ? 0 : std::stol(*row[0]));
    }
    return m_recNo;
}

bool SqlTable::Where(const std::string& condition, const std::vector<Text>& parameters)
{
    m_where = condition;
    m_whereParameters = parameters;
    m_seekColumns.clear();
    m_stale = true;
    return true;
}

bool SqlTable::OrderBy(const std::vector<std::string>& columns)
{
    for (const auto& column : columns) {
        if (FieldPos(column) == 0) {
            // An order column must be selected: positions are built from its values.
            Statement statement(*m_connection);
            statement.execute("SELECT " + column + " FROM " + m_table + " WHERE 1 = 0");
            m_columns.push_back(described(statement.columns().at(0)));
        }
    }
    m_order = columns;
    m_seekColumns.clear();
    m_stale = true;
    return true;
}

bool SqlTable::SeekRows(const std::vector<std::string>& columns, const std::vector<std::string>& values, bool soft)
{
    m_seekColumns = columns;
    std::vector<Text> parameters = m_whereParameters;
    std::vector<std::string> conditions;
    if (!m_where.empty()) {
        conditions.push_back("(" + m_where + ")");
    }
    // Equal to the values on the sought columns, or (soft) after them: (a > x) OR (a = x AND b > y) ….
    std::string equal;
    std::vector<Text> equalParameters;
    std::string after;
    std::vector<Text> afterParameters;
    for (std::size_t i = 0; i < columns.size() && i < values.size(); ++i) {
        equal += (equal.empty() ? "" : " AND ") + columns[i] + " = ?";
        equalParameters.push_back(values[i]);
        std::string term;
        for (std::size_t j = 0; j < i; ++j) {
            term += columns[j] + " = ? AND ";
            afterParameters.push_back(values[j]);
        }
        term += columns[i] + " > ?";
        afterParameters.push_back(values[i]);
        after += (after.empty() ? "(" : " OR (") + term + ")";
    }
    if (soft && !columns.empty() && !values.empty()) {
        conditions.push_back(columns[0] + " >= ? AND (" + after + " OR (" + equal + "))");
        parameters.push_back(values[0]);
        parameters.insert(parameters.end(), afterParameters.begin(), afterParameters.end());
    } else {
        conditions.push_back("(" + equal + ")");
    }
    parameters.insert(parameters.end(), equalParameters.begin(), equalParameters.end());
    const auto order = orderColumns();
    std::string sql = "SELECT " + selectList() + " FROM " + m_table + " WHERE " + joined(conditions, " AND ")
                      + " ORDER BY " + joined(order, ", ") + " LIMIT " + std::to_string(BATCH);
    Statement statement(*m_connection);
    statement.execute(sql, parameters);
    std::deque<Row> rows;
    while (statement.fetch()) {
        Row row;
        for (int i = 0; i < FCount(); ++i) {
            row.push_back(statement.get(i));
        }
        rows.push_back(std::move(row));
    }
    const bool positioned = positionOn(std::move(rows));
    m_recNo = 0;
    m_found = positioned;
    for (std::size_t i = 0; positioned && i < columns.size() && i < values.size(); ++i) {
        m_found = m_found && FieldGet(columns[i]) == values[i];
    }
    return m_found;
}

void SqlTable::Append()
{
    m_stale = false;
    m_row.assign(m_columns.size(), std::nullopt);
    m_ahead.clear();
    m_pending.clear();
    m_appending = true;
    m_eof = false;
    m_bof = false;
    m_recNo = 0;
}

bool SqlTable::Commit()
{
    settle();
    if (m_pending.empty() && !m_appending) {
        return true;
    }
    std::vector<Text> parameters;
    if (m_appending) {
        std::vector<std::string> names;
        std::vector<std::string> marks;
        for (const auto& [column, value] : m_pending) {
            names.push_back(m_columns[column].name);
            marks.push_back("?");
            parameters.push_back(value);
        }
        if (names.empty()) {
            m_connection->execute("INSERT INTO " + m_table + " DEFAULT VALUES");
        } else {
            m_connection->execute("INSERT INTO " + m_table + " (" + joined(names, ", ") + ") VALUES ("
                                      + joined(marks, ", ") + ")",
                                  parameters);
        }
        for (const auto& [column, value] : m_pending) {
            m_row[column] = value;
        }
        if (m_key.size() == 1 && !m_row[index(m_key[0])]) {
            const auto id = m_connection->queryRow(m_connection->kind() == Kind::SQLite ? "SELECT last_insert_rowid()"
                                                                                        : "SELECT LAST_INSERT_ID()");
            if (!id.empty()) {
                m_row[index(m_key[0])] = id[0];
            }
        }
        m_appending = false;
    } else {
        if (m_eof || m_key.empty()) {
            throw base::PlatformError("Tabelle " + m_table + ": kein Datensatz oder kein Schlüssel zum Schreiben");
        }
        std::vector<std::string> sets;
        for (const auto& [column, value] : m_pending) {
            sets.push_back(m_columns[column].name + " = ?");
            parameters.push_back(value);
        }
        std::vector<std::string> keys;
        for (const auto& k : m_key) {
            keys.push_back(k + " = ?");
            parameters.push_back(m_row[index(k)].value_or(blankOf(index(k))));
        }
        m_connection->execute("UPDATE " + m_table + " SET " + joined(sets, ", ") + " WHERE " + joined(keys, " AND "),
                              parameters);
        for (const auto& [column, value] : m_pending) {
            m_row[column] = value;
        }
    }
    m_pending.clear();
    return true;
}

void SqlTable::Close()
{
    m_stale = false;
    m_row.clear();
    m_ahead.clear();
    m_pending.clear();
    m_eof = true;
    m_bof = true;
}

long SqlTable::Execute(const std::string& sql, const std::vector<Text>& parameters)
{
    return m_connection->execute(sql, parameters);
}

} // namespace db
