#pragma once

#include "db/Odbc.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace db {

/**
 * A scrollable cursor over one table that never reads the table whole: every move is a query with the table's
 * condition, its order and a limit, positioned after (or before) the current row by the values of the order
 * columns, which always end with the key so that positions are unique. Rows are fetched a batch at a time.
 *
 * Values are text as the driver delivers them; SQL NULL reads as the blank value of the column's type ("0" for
 * numbers, "" otherwise). Positions keep the NULLs, which sort before every value (MySQL/MariaDB, SQLite), so a NULL
 * in an order column neither hides nor repeats a row. Changes (FieldPut) are written by Commit; rows written are not
 * refreshed (no automatic refresh of other rows). Failures of the driver throw base::PlatformError.
 */
class SqlTable
{
public:
    //! Opens the table on the connection with the given columns (none = all) and key columns.
    SqlTable(std::shared_ptr<Connection> connection,
             std::string table,
             std::vector<std::string> columns = {},
             std::vector<std::string> key = {});
    virtual ~SqlTable() = default;

    //! A condition in SQL text ("" for none) with the values of its "?" markers, which every query of the cursor binds;
    //! the cursor moves to the first row when it is next used.
    bool Where(const std::string& condition, const std::vector<Text>& parameters = {});
    //! The order of the rows (the key follows as the last criterion); the cursor moves to the first row when it
    //! is next used.
    bool OrderBy(const std::vector<std::string>& columns);

    bool GoTop();
    bool GoBottom();
    //! Moves `rows` forward (negative: back); false when it runs past the end (EoF) or the beginning (BoF).
    bool Skip(long rows = 1);
    //! Positions on row number `row` (1-based) of the current order.
    bool GoTo(long row);
    bool EoF() const;
    bool BoF() const;
    //! Whether the last Seek found a row equal to the sought values.
    bool Found() const { return m_found; }
    //! The current row's number in the current order (1-based), 0 at EoF.
    long RecNo();

    /**
     * Positions on the first row whose `columns` equal `values`, or with `soft` on the first row at or after
     * them, in the order `columns` followed by the table's order; that order stays for the following moves.
     */
    bool SeekRows(const std::vector<std::string>& columns, const std::vector<std::string>& values, bool soft);

    std::string FieldGet(const std::string& column) const;
    void FieldPut(const std::string& column, const std::string& value);
    //! 1-based position of a column, 0 when the table has no such column.
    int FieldPos(const std::string& column) const;
    //! Name of the column at a 1-based position.
    std::string FieldSym(int position) const;
    int FCount() const { return static_cast<int>(m_columns.size()); }
    const std::vector<Column>& columns() const { return m_columns; }

    //! A new row, blank, written by the next Commit.
    void Append();
    //! Writes the pending changes of the current row (update by key, or insert after Append).
    bool Commit();
    void Close();
    //! Runs a statement on the table's connection.
    long Execute(const std::string& sql, const std::vector<Text>& parameters = {});

    const std::string& Name() const { return m_table; }
    const std::shared_ptr<Connection>& connection() const { return m_connection; }
    const std::vector<std::string>& key() const { return m_key; }

protected:
    void setKey(std::vector<std::string> key);

private:
    using Row = std::vector<Text>;
    std::vector<std::string> orderColumns() const;
    std::string selectList() const;
    //! Fetches up to `limit` rows after (forward) or before the row `from` (none: from the start or end).
    std::deque<Row> fetch(const Row* from, bool forward, std::size_t limit, bool inclusive = false) const;
    std::string keysetCondition(const std::vector<std::string>& order,
                                const Row& from,
                                bool forward,
                                bool inclusive,
                                std::vector<Text>& parameters) const;
    bool positionOn(std::deque<Row> rows);
    //! Moves to the first row when the condition or order changed since the last move.
    void settle() const;
    std::size_t index(const std::string& column) const;
    //! The column as the driver describes it, with what the catalog knows about NULLs.
    Column described(Column column) const;
    std::string blankOf(std::size_t column) const;

    std::shared_ptr<Connection> m_connection;
    std::string m_table;
    std::vector<Column> m_columns;
    std::vector<std::string> m_key;
    std::string m_where;
    std::vector<Text> m_whereParameters;
    std::vector<std::string> m_order;
    std::vector<std::string> m_seekColumns;
    // The position; a change of condition or order only marks it stale, so that setting up a query costs nothing.
    mutable bool m_stale = true;
    Row m_row;
    std::deque<Row> m_ahead; // rows already fetched after the current one
    long m_recNo = 0;        // 0: not known yet
    bool m_eof = true;
    bool m_bof = true;
    bool m_found = false;
    bool m_appending = false;
    std::map<std::size_t, std::string> m_pending;
};

} // namespace db
