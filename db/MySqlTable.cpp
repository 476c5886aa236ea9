#include "db/MySqlTable.h"

#include "base/Dialogs.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"
#include "db/Database.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace db {
namespace {

std::chrono::milliseconds lockPause{500};

std::shared_ptr<Connection> orProgramConnection(std::shared_ptr<Connection> connection)
{
    return connection ? std::move(connection) : programConnection();
}

bool isText(SQLSMALLINT type)
{
    switch (type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
        return true;
    default:
        return false;
    }
}

} // namespace

MySqlTable::MySqlTable(const std::string& table,
                       const std::vector<std::string>& columns,
                       std::shared_ptr<Connection> connection,
                       std::vector<std::string> key)
    : SqlTable(orProgramConnection(std::move(connection)), table, columns, {})
{
    if (IsSQLite()) {
        // SQLite: the row id identifies every row, compound keys or not.
        key = {"ROWID"};
    }
    setKey(std::move(key));
}

bool MySqlTable::IsOracle() const
{
    return connection()->kind() == Kind::Oracle;
}

bool MySqlTable::IsSQLite() const
{
    return connection()->kind() == Kind::SQLite;
}

bool MySqlTable::Seek(const std::vector<std::string>& columns, const std::vector<SeekValue>& values, bool soft)
{
    std::vector<std::string> texts;
    for (const auto& value : values) {
        if (const auto* date = std::get_if<std::chrono::year_month_day>(&value)) {
            texts.push_back(base::formatIsoDate(*date));
        } else {
            texts.push_back(base::trimRight(std::get<std::string>(value)));
        }
    }
    return SeekRows(columns, texts, soft);
}

bool MySqlTable::Seek(const std::string& column, const SeekValue& value, bool soft)
{
    return Seek(std::vector<std::string>{column}, std::vector<SeekValue>{value}, soft);
}

std::string MySqlTable::FieldGetString(const std::string& column) const
{
    const auto position = FieldPos(column);
    if (position == 0) {
        return {};
    }
    const auto type = columns()[static_cast<std::size_t>(position - 1)].type;
    const auto value = FieldGet(column);
    if (isText(type)) {
        return value;
    }
    if (isNumericType(type)) {
        return base::trim(value);
    }
    if (type == SQL_TYPE_DATE || type == SQL_DATE || type == SQL_TYPE_TIMESTAMP || type == SQL_TIMESTAMP) {
        return value.size() >= 10 ? value.substr(0, 4) + value.substr(5, 2) + value.substr(8, 2) : std::string();
    }
    if (type == SQL_BIT) {
        return value == "1" ? "J" : "N";
    }
    return {};
}

std::vector<std::string> MySqlTable::FieldGetArray(const std::string& column, const std::string& separator) const
{
    return base::String2Array(FieldGet(column), separator);
}

void MySqlTable::FieldPutArray(const std::string& column,
                               const std::vector<std::string>& values,
                               const std::string& separator)
{
    std::string text;
    for (const auto& value : values) {
        text += value + separator;
    }
    FieldPut(column, text);
}

std::string MySqlTable::GetTStamp()
{
    const auto now = std::chrono::system_clock::now();
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count() % 60;
    return std::to_string(seconds) + std::to_string(milliseconds);
}

std::string MySqlTable::lockName() const
{
    std::string keyText;
    for (const auto& column : key()) {
        keyText += FieldGetString(column);
    }
    std::string name = base::program().HostProduct + Name() + keyText;
    if (name.size() > 23) {
        name = name.substr(name.size() - 23);
    }
    return name;
}

std::string MySqlTable::GetUniqueKey() const
{
    return Literal(lockName(), connection()->kind());
}

bool MySqlTable::locking() const
{
    return connection()->kind() == Kind::MySQL && !key().empty();
}

std::string MySqlTable::lockQuery(const std::string& function)
{
    // The name goes to the server as a parameter: a key may hold any character.
    const auto row = connection()->queryRow("select " + function + "(?)", {lockName()});
    return row.empty() || !row[0] ? std::string() : *row[0];
}

bool MySqlTable::RLock()
{
    if (!locking()) {
        return true;
    }
    const auto row = connection()->queryRow("select get_lock(?, 1)", {lockName()});
    // NULL (an error on the server) counts as held, as the program always did.
    return row.empty() || !row[0] || *row[0] != "0";
}

std::string MySqlTable::Is_Used_Lock()
{
    return locking() ? lockQuery("is_used_lock") : std::string();
}

bool MySqlTable::Is_Free_Lock()
{
    return !locking() || lockQuery("is_free_lock") != "0";
}

bool MySqlTable::Unlock()
{
    if (!locking() || Is_Used_Lock().empty()) {
        return true;
    }
    // MariaDB counts the locks a connection takes on one name: a row locked twice (RLock, then Wait4Lock) would
    // stay locked after one release and block every other station. Release until this connection holds none.
    auto released = lockQuery("release_lock");
    if (released == "0") {
        return false; // held by another connection
    }
    for (int more = 0; released == "1" && more < 1000; ++more) {
        released = lockQuery("release_lock");
    }
    return true;
}

MySqlTable& MySqlTable::Wait4Lock(bool quiet)
{
    if (!locking()) {
        return *this;
    }
    int failures = 0;
    while (!RLock()) {
        base::dialogs().ProcessEvents();
        std::this_thread::sleep_for(lockPause);
        if (!quiet && ++failures == 3) {
            base::dialogs().InfoBox("Datensatz in Tabelle " + Name() + " gesperrt",
                                    "Datensatz an anderem PC oder in anderem Programm auf diesem PC in Bearbeitung!\r\n"
                                    "Warte auf Freigabe des Datensatzes durch den Anwender!");
            failures = 0;
        }
    }
    return *this;
}

bool MySqlTable::Commit()
{
    const bool written = SqlTable::Commit();
    Unlock();
    return written;
}

bool MySqlTable::Changed()
{
    if (IsSQLite() || key().empty() || EoF()) {
        return false;
    }
    std::vector<std::string> names;
    for (int i = 1; i <= FCount(); ++i) {
        names.push_back(FieldSym(i));
    }
    MySqlTable fresh(Name(), names, connection(), key());
    std::vector<SeekValue> values;
    for (const auto& column : key()) {
        values.emplace_back(FieldGet(column));
    }
    if (!fresh.Seek(key(), values)) {
        return true;
    }
    for (const auto& name : names) {
        if (fresh.FieldGet(name) != FieldGet(name)) {
            return true;
        }
    }
    return false;
}

void MySqlTable::Reload()
{
    const long row = RecNo();
    if (row > 0) {
        GoTo(row);
    } else {
        GoTop();
    }
}

void MySqlTable::setLockPause(std::chrono::milliseconds pause)
{
    lockPause = pause;
}

DbBon::DbBon(const std::vector<std::string>& columns, std::shared_ptr<Connection> connection)
    : MySqlTable("BONS", columns, std::move(connection), {"BONID"})
{}

DbKnd::DbKnd(const std::vector<std::string>& columns, std::shared_ptr<Connection> connection)
    : MySqlTable("KUNDEN", columns, std::move(connection), {"KNDID"})
{}

DbZhl::DbZhl(const std::vector<std::string>& columns, std::shared_ptr<Connection> connection)
    : MySqlTable("ZAHLUNGEN", columns, std::move(connection), {"ZHLID", "BONID"})
{}

DbKrs::DbKrs(const std::vector<std::string>& columns, std::shared_ptr<Connection> connection)
    : MySqlTable("NUMMERNKREISE", columns, std::move(connection), {"TYP", "KASSA"})
{}

DbCrd::DbCrd(const std::vector<std::string>& columns, std::shared_ptr<Connection> connection)
    : MySqlTable("CARDS", columns, std::move(connection), {"CRDID"})
{}

std::string RKSVMyBelegText(const std::string& type, bool copy)
{
    static constexpr struct
    {
        const char* code;
        const char* name;
    } NAMES[] = {
        {"A", "Startbeleg"},
        {"M", "Monatsbeleg"},
        {"J", "Jahresbeleg"},
        {"S", "Sammelbeleg"},
        {"E", "Schlussbeleg"},
    };
    for (const auto& entry : NAMES) {
        if (type == entry.code) {
            return std::string(entry.name) + (copy ? " (Kopie)" : "");
        }
    }
    return std::string("RECHNUNG ") + (copy ? "(Kopie)" : "");
}

} // namespace db
