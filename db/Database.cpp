#include "db/Database.h"

#include "app/Program.h"
#include "app/StringUtil.h"
#include "app/TextFormat.h"

#include <cstdio>

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
    const auto& p = app::program();
    if (!p.connections.datenbank.empty()) {
        return p.connections.datenbank;
    }
    std::string text = "DSN=" + p.HostProduct + ";";
    if (app::toUpper(p.HostProduct).starts_with("PLUMOXA")) {
        text += "UID=" + p.HostProduct + ";PWD=" + p.HostProduct + ";";
    }
    return text;
}

const std::shared_ptr<Connection>& openProgramConnection()
{
    if (!instance()) {
        instance() = std::make_shared<Connection>(programConnectionString());
    }
    return instance();
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
    return "'" + app::replaceAll(app::trim(text), "'", "''") + "'";
}

std::string D2SQL(std::chrono::year_month_day date)
{
    return D2SQL(date, IsOracle() ? Kind::Oracle : Kind::MySQL);
}

std::string D2SQL(std::chrono::year_month_day date, Kind kind)
{
    if (kind == Kind::Oracle) {
        return "to_date('" + app::formatDate(date) + "', 'DD.MM.YYYY')";
    }
    return Quote(app::formatIsoDate(date));
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

} // namespace db
