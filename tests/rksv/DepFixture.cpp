#include "tests/rksv/DepFixture.h"

#include "base/Program.h"
#include "base/StringUtil.h"
#include "db/Database.h"
#include "rksv/units/SoftwareUnit.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

namespace deptest {

testsupport::MariaDbServer* DepFixture::s_server = nullptr;
std::string DepFixture::s_serverError;
int DepFixture::s_databases = 0;

namespace {

constexpr const char* PIN = "123456";

std::string readerOf(int crdid)
{
    return crdid == 2 ? "Leser 2" : "Leser 1";
}

} // namespace

std::string backendName(const ::testing::TestParamInfo<Backend>& info)
{
    return info.param == Backend::SQLite ? "SQLite" : "MariaDB";
}

void DepFixture::SetUpTestSuite()
{
    s_server = nullptr;
    s_serverError.clear();
}

void DepFixture::TearDownTestSuite()
{
    delete s_server;
    s_server = nullptr;
}

void DepFixture::SetUp()
{
    if (GetParam() == Backend::SQLite) {
        const auto file = dir.file("kassa.db");
        testsupport::createSqliteDatabase(file);
        connectionString = testsupport::sqliteConnectionString(file);
    } else {
        // One server for the suite, started by the first test that needs it; a server that does not come up fails
        // the tests, it does not skip them.
        if (!s_server && s_serverError.empty()) {
            try {
                s_server = new testsupport::MariaDbServer();
            } catch (const std::exception& error) {
                s_serverError = error.what();
            }
        }
        ASSERT_TRUE(s_serverError.empty()) << s_serverError;
        connectionString = s_server->createDatabase("dep_" + std::to_string(++s_databases));
    }
    connection = std::make_shared<db::Connection>(connectionString);

    auto& program = base::program();
    program.DefaultDir = dir.path();
    program.HostProduct = "Plumoxa";
    program.CompanyNumber = "0815";
    program.connections.signatur = "Software:" + dir.file("Karten");
    db::setProgramConnection(connection);

    rksv::SoftwareUnit unit(dir.file("Karten"));
    for (int card : {1, 2}) {
        std::string serial;
        std::string error;
        ASSERT_TRUE(rksv::createTestCard(
            dir.file("Karten"), readerOf(card), PIN, "", dir.file("ca" + std::to_string(card)), serial, error))
            << error;
        std::string certificate;
        std::string chain;
        ASSERT_TRUE(unit.GetCardCertificate(readerOf(card), certificate, chain));
        m_certificates[card] = certificate;
        m_chains[card] = chain;
        connection->execute("INSERT INTO CARDS (CRDID, KASSA, SERNR, BASE64, CHAIN) VALUES (?, '01', ?, ?, ?)",
                            {std::to_string(card), serial, certificate, chain});
    }
    ASSERT_NE(m_chains[1], m_chains[2]) << "each card has its own issuer";
    std::string error;
    ASSERT_TRUE(unit.GenerateAes256Key("PLUMOXA|0815|PLUMOXA", m_aesKey, error)) << error;
}

void DepFixture::store(const std::vector<Receipt>& receipts)
{
    rksv::SoftwareUnit unit(dir.file("Karten"));
    std::map<std::string, std::string> previous;
    std::map<std::string, long long> counters;
    const auto first = query("SELECT COUNT(*) FROM BONS").at(0).at(0);
    int bonid = std::stoi(first);
    for (const auto& receipt : receipts) {
        rksv::Component::Receipt r;
        r.kassa = receipt.kassa;
        r.reader = readerOf(receipt.crdid);
        r.pin = PIN;
        r.bonnr = std::to_string(receipt.bonnr);
        const auto& d = receipt.datum;
        r.dateTime = d.substr(8, 2) + "." + d.substr(5, 2) + "." + d.substr(0, 4) + " 10:00:00";
        r.amounts = {"1,00", "0,00", "0,00", "0,00", "0,00"};
        r.turnoverCounter = std::to_string(counters[receipt.kassa]);
        r.previous = previous.contains(receipt.kassa) ? previous[receipt.kassa] : receipt.kassa;
        r.aesKey = m_aesKey;
        rksv::Component::Signed answer;
        ASSERT_TRUE(unit.SignReceipt(r, answer)) << answer.error;
        previous[receipt.kassa] = answer.jws;
        counters[receipt.kassa] += 100;
        connection->execute("INSERT INTO BONS (BONID, KASSA, DATUM, ZEIT, BONNR, TYP, RKSV_TYP, RKSV_JWS, RKSV_CRDID) "
                            "VALUES (?, ?, ?, '10:00:00', ?, ?, ?, ?, ?)",
                            {std::to_string(++bonid),
                             receipt.kassa,
                             receipt.datum,
                             std::to_string(receipt.bonnr),
                             receipt.typ,
                             receipt.status,
                             answer.jws,
                             std::to_string(receipt.crdid)});
    }
}

void DepFixture::storeStandardSet()
{
    store({
        {"02", 1, "B", "2026-12-03", "", 1},
        {"01", 4, "B", "2026-12-30", "", 2}, // the second card takes over
        {"01", 2, "B", "2026-12-01", "", 1},
        {"01", 1, "B", "2026-11-28", "", 1},  // before the period
        {"01", 3, "B", "2026-12-15", "M", 1}, // a status receipt inside the period: the export goes on
        {"01", 5, "B", "2027-01-01", "", 2},  // past the end, before the status receipt
        {"01", 6, "B", "2027-01-01", "J", 2}, // the year receipt that closes the period
        {"01", 7, "B", "2027-01-02", "", 2},  // the first one after it: not exported
        {"01", 8, "B", "2027-01-03", "", 2},
        {"02", 202, "N", "2026-12-06", "", 2},
        {"01", 101, "N", "2026-12-02", "", 1},
        {"02", 200, "N", "2026-11-30", "", 1}, // before the period
        {"02", 201, "N", "2026-12-04", "", 1},
    });
}

testsupport::Rows DepFixture::query(const std::string& sql) const
{
    return testsupport::querySql(connectionString, sql);
}

void DepFixture::exec(const std::string& sql) const
{
    testsupport::execSql(connectionString, sql);
}

std::vector<StoredRow> DepFixture::rowsOf(const std::string& condition) const
{
    std::vector<StoredRow> rows;
    for (const auto& row : query("SELECT KASSA, RKSV_JWS, RKSV_CRDID FROM BONS WHERE " + condition
                                 + " ORDER BY KASSA, DATUM, BONNR, BONID")) {
        rows.push_back({row.at(0), base::withoutNul(row.at(1)), row.at(2)});
    }
    return rows;
}

std::map<std::string, std::pair<std::string, std::string>> DepFixture::cards() const
{
    std::map<std::string, std::pair<std::string, std::string>> result;
    for (const auto& row : query("SELECT CRDID, BASE64, CHAIN FROM CARDS")) {
        result[row.at(0)] = {base::withoutNul(row.at(1)), base::withoutNul(row.at(2))};
    }
    return result;
}

std::map<std::string, std::string> DepFixture::numbersByJws() const
{
    std::map<std::string, std::string> result;
    for (const auto& row : query("SELECT RKSV_JWS, KASSA, BONNR FROM BONS")) {
        result[base::withoutNul(row.at(0))] = row.at(1) + "/" + row.at(2);
    }
    return result;
}

std::string DepFixture::exportDep(rksv::RKSVExport& exporter,
                                  Way way,
                                  const std::string& kassa,
                                  std::chrono::year_month_day from,
                                  std::chrono::year_month_day to)
{
    std::filesystem::create_directories(dir.file("ziel"));
    std::filesystem::remove(dir.file("ziel/DEP.JSON"));
    dialogs.answerSaveAs(dir.file("ziel/dep"));
    if (way == Way::Program) {
        exporter.DoDepExpJson(kassa, from, to);
    } else {
        exporter.DoDepExpRksv(kassa, from, to);
    }
    return exporter.accSaved().empty() ? std::string() : testsupport::readBytes(exporter.accSaved());
}

std::vector<Group> groupsOf(const std::string& text)
{
    std::vector<Group> groups;
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded()) {
        ADD_FAILURE() << "not JSON:\n" << text.substr(0, 2000);
        return groups;
    }
    for (const auto& read : parsed.at("Belege-Gruppe")) {
        Group& group = groups.emplace_back();
        group.certificate = read.at("Signaturzertifikat").get<std::string>();
        group.issuers = read.at("Zertifizierungsstellen").get<std::vector<std::string>>();
        group.receipts = read.at("Belege-kompakt").get<std::vector<std::string>>();
    }
    return groups;
}

std::vector<std::string> DepFixture::filesInDefaultDir() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string expectedDep(const std::vector<StoredRow>& rows,
                        const std::map<std::string, std::pair<std::string, std::string>>& cards,
                        bool shortened)
{
    std::string text = "{\n  \"Belege-Gruppe\" : [\n    {\n";
    std::string card = "none yet";
    std::string till;
    for (const auto& row : rows) {
        if (row.crdid != card || row.kassa != till) {
            card = row.crdid;
            till = row.kassa;
            std::string certificate;
            std::vector<std::string> issuers;
            if (const auto found = cards.find(card); found != cards.end()) {
                certificate = found->second.first;
                issuers = base::String2Array(found->second.second, ";");
            }
            if (shortened) {
                certificate = certificate.substr(0, 40) + "...";
            }
            std::string list;
            for (const auto& issuer : issuers) {
                list += "\"" + (shortened ? issuer.substr(0, 60) + "..." : issuer) + "\",";
            }
            if (!list.empty()) {
                list.pop_back();
            }
            if (text.ends_with(",\n")) {
                text.resize(text.size() - 2);
                text += "\n      ]\n    },\n    {\n";
            }
            text += "      \"Signaturzertifikat\" : \"" + certificate + "\",\n";
            text += "      \"Zertifizierungsstellen\" : [" + list + "],\n";
            text += "      \"Belege-kompakt\" : [\n";
        }
        text += "\"" + row.jws + "\",\n";
    }
    text.resize(text.size() - 2);
    return text + "\n      ]\n    }\n  ]\n}";
}

} // namespace deptest
