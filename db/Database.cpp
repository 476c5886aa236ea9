#include "db/Database.h"

#include "base/ErrorLog.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "base/TextFormat.h"

#include <cstdio>
#include <exception>

namespace db {
namespace {

std::shared_ptr<Connection>& instance()
{
    static std::shared_ptr<Connection> connection;
    return connection;
}

} // namespace

std::string programConnectionString()
{
    const auto& p = base::program();
    if (!p.connections.datenbank.empty()) {
        return p.connections.datenbank;
    }
    std::string text = "DSN=" + p.HostProduct + ";";
    if (base::toUpper(p.HostProduct).starts_with("PLUMOXA")) {
        text += "UID=" + p.HostProduct + ";PWD=" + p.HostProduct + ";";
    }
    return text;
}

const std::shared_ptr<Connection>& openProgramConnection()
{
    const auto list = programConnectionStrings();
    for (std::size_t i = 0; !instance() && i < list.size(); ++i) {
        try {
            instance() = std::make_shared<Connection>(list[i]);
        } catch (const base::PlatformError&) {
            if (i + 1 == list.size()) {
                throw; // none answers: the last one's reason
            }
        }
    }
    return instance();
}

std::vector<std::string> programConnectionStrings()
{
    std::vector<std::string> list{programConnectionString()};
    const auto& others = base::program().connections.weitereDatenbanken;
    list.insert(list.end(), others.begin(), others.end());
    return list;
}

std::optional<std::string> connectProgramDatabase(bool fresh)
{
    if (instance() && !fresh) {
        return std::nullopt;
    }
    // The first server that answers; with several (a cluster's nodes), the reason of each that did not.
    std::string reasons;
    for (const auto& connectionString : programConnectionStrings()) {
        try {
            instance() = std::make_shared<Connection>(connectionString);
            return std::nullopt;
        } catch (const std::exception& failure) {
            reasons += std::string(reasons.empty() ? "" : "\n") + failure.what();
        }
    }
    instance() = nullptr;
    return "Keine Verbindung zur Datenbank der Kassa:\n" + reasons;
}

const std::shared_ptr<Connection>& programConnection()
{
    return instance();
}

void setProgramConnection(std::shared_ptr<Connection> connection)
{
    instance() = std::move(connection);
}

bool IsOracle()
{
    return instance() && instance()->kind() == Kind::Oracle;
}

std::string Quote(const std::string& text)
{
    return Quote(text, instance() ? instance()->kind() : Kind::MySQL);
}

std::string Quote(const std::string& text, Kind kind)
{
    return Literal(base::trim(text), kind);
}

std::string Literal(const std::string& text, Kind kind)
{
    const auto quoted = [](const std::string& piece) { return "'" + base::replaceAll(piece, "'", "''") + "'"; };
    if (kind != Kind::MySQL || text.find('\\') == std::string::npos) {
        return quoted(text);
    }
    // '\\' is one backslash where backslashes escape and two where they do not: its first character is one either way.
    std::string expression = "CONCAT(";
    std::size_t start = 0;
    for (auto slash = text.find('\\'); slash != std::string::npos; slash = text.find('\\', start)) {
        expression += quoted(text.substr(start, slash - start)) + ", SUBSTRING('\\\\', 1, 1), ";
        start = slash + 1;
    }
    return expression + quoted(text.substr(start)) + ")";
}

std::string D2SQL(std::chrono::year_month_day date)
{
    return D2SQL(date, IsOracle() ? Kind::Oracle : Kind::MySQL);
}

std::string D2SQL(std::chrono::year_month_day date, Kind kind)
{
    if (kind == Kind::Oracle) {
        return "to_date('" + base::formatDate(date) + "', 'DD.MM.YYYY')";
    }
    return Literal(base::formatIsoDate(date), kind);
}

std::string Token(const std::string& text, int position, const std::string& separator)
{
    if (position < 1 || separator.empty()) {
        return {};
    }
    std::size_t start = 0;
    for (int field = 1;; ++field) {
        const auto end = text.find(separator, start);
        if (field == position) {
            return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        if (end == std::string::npos) {
            return {};
        }
        start = end + separator.size();
    }
}

std::optional<std::vector<std::string>> scriptStatements(std::string_view script)
{
    const auto trimmed = [](std::string_view text) {
        const auto begin = text.find_first_not_of(" \t\r\n");
        return begin == std::string_view::npos ? std::string_view()
                                               : text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
    };
    std::vector<std::string> statements;
    std::string current;
    while (!script.empty()) {
        const auto end = script.find('\n');
        const auto line = script.substr(0, end);
        script.remove_prefix(end == std::string_view::npos ? script.size() : end + 1);
        const auto text = trimmed(line);
        if (text.empty() || text.starts_with("--")) {
            continue;
        }
        current.append(line).append("\n");
        if (text.back() == ';') {
            auto statement = trimmed(current);
            statement.remove_suffix(1);
            statements.emplace_back(statement);
            current.clear();
        }
    }
    if (!trimmed(current).empty()) {
        return std::nullopt;
    }
    return statements;
}

} // namespace db
