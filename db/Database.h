#pragma once

#include "db/Odbc.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace db {

/**
 * The program-wide connection: opened on the connection string of the installation file when it gives one,
 * otherwise on the ODBC data source named by the host product (for PLUMOXA that name is also user id and
 * password). Throws base::PlatformError when the driver refuses.
 */
const std::shared_ptr<Connection>& openProgramConnection();
/**
 * The program-wide connection for a window that needs the database: opened when it is not open yet (`fresh`: opened
 * anew in any case, for a window that lists what other stations may have changed). Nothing when the connection is
 * there; otherwise the German message for the user, with the driver's reason.
 */
[[nodiscard]] std::optional<std::string> connectProgramDatabase(bool fresh = false);
//! The program-wide connection, nullptr while it is not open.
const std::shared_ptr<Connection>& programConnection();
//! Replaces the program-wide connection (tests; nullptr closes it).
void setProgramConnection(std::shared_ptr<Connection> connection);
//! The connection string the program-wide connection is opened with.
std::string programConnectionString();
//! programConnectionString() followed by the installation's further servers ("Datenbank2" …), in the order to try.
std::vector<std::string> programConnectionStrings();

//! True when the program-wide connection's driver is Oracle's.
bool IsOracle();
/**
 * The text trimmed, as an SQL value for a statement on the program-wide connection (see Literal); while that
 * connection is not open, as for MySQL/MariaDB. SQL for another connection takes the kind of that connection.
 */
std::string Quote(const std::string& text);
//! The text trimmed, as an SQL value for a database of the given kind (see Literal).
std::string Quote(const std::string& text, Kind kind);
/**
 * The text as it is, as an SQL value that no text can end or change: in single quotes with every single quote inside
 * doubled. On MySQL/MariaDB a backslash in a literal is an escape character too, unless the session's sql_mode holds
 * NO_BACKSLASH_ESCAPES, so no literal there holds one: each backslash becomes SUBSTRING('\\', 1, 1), one backslash in
 * either mode, between the pieces of a CONCAT. Bound parameters need none of this: prefer them.
 */
std::string Literal(const std::string& text, Kind kind);
//! A date as SQL: on Oracle to_date('DD.MM.YYYY', 'DD.MM.YYYY'), otherwise 'YYYY-MM-DD'.
std::string D2SQL(std::chrono::year_month_day date);
//! The same for a given kind of database.
std::string D2SQL(std::chrono::year_month_day date, Kind kind);
//! Field `position` (1-based) of the text split at the separator; "" when there are fewer fields.
std::string Token(const std::string& text, int position, const std::string& separator = ",");

/**
 * The statements of a schema script, without their closing ";": a statement ends with ";" at the end of a line,
 * blank lines and lines starting with "--" are left out. Nothing when the last statement has no closing ";".
 */
[[nodiscard]] std::optional<std::vector<std::string>> scriptStatements(std::string_view script);

} // namespace db
