// quorvex-demosign: turns the receipts of a demo cash-register database into the history a till would have signed
// them with: the card registered for each till, a start receipt before the first receipt, month receipts, every
// receipt numbered, counted, chained and signed through the program's own signing service, in date and time order.
// Each generated receipt keeps its row (customer and payments stay with it); the status receipts are rows of their own.
// Credit notes are receipts of their till like any other (TYP "B"). Runs in the installation folder, whose AES secret
// the program then uses.
#include "base/Program.h"
#include "db/Odbc.h"
#include "rksv/Rksv.h"
#include "rksv/units/Component.h"

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::cerr << "Aufruf: quorvex-demosign --connection \"<ODBC-Verbindung>\" (--readers ORDNER | --signatur SIGNATUR) "
                 "--reader NAME --pin PIN [--product PLUMOXA] [--company 0001]\n"
                 "  --signatur  die Signatureinheit wie in INSTALLATION.INI, z. B. \"PKCS11:<Modul>;token=Kassa 1\"\n";
    return 2;
}

// "12.3", "-0.5", "7" (a decimal as the database gives it) → cents.
std::int64_t centsOf(const std::string& text)
{
    const bool negative = text.starts_with('-');
    const std::string digits = negative ? text.substr(1) : text;
    const auto point = digits.find('.');
    std::int64_t cents = std::stoll(digits.substr(0, point).empty() ? "0" : digits.substr(0, point)) * 100;
    if (point != std::string::npos) {
        const auto fraction = (digits.substr(point + 1) + "00").substr(0, 2);
        cents += std::stoll(fraction);
    }
    return negative ? -cents : cents;
}

struct Generated
{
    std::string bonid;
    std::chrono::year_month_day date;
    std::string time;
    rksv::Amounts amounts{};
};

std::vector<Generated> generatedReceipts(db::Connection& connection, const std::string& till)
{
    std::vector<Generated> receipts;
    db::Statement statement(connection);
    statement.execute("SELECT BONID, DATUM, ZEIT, RKSV_NORMAL, RKSV_ERM1, RKSV_ERM2, RKSV_NULL, RKSV_SONDER FROM BONS "
                      "WHERE KASSA = ? AND TYP = 'U' ORDER BY DATUM, ZEIT, BONNR, BONID",
                      {till});
    while (statement.fetch()) {
        Generated receipt;
        receipt.bonid = statement.get(0).value_or("");
        const auto date = statement.get(1).value_or("");
        using namespace std::chrono;
        receipt.date = year{std::stoi(date.substr(0, 4))} / month{static_cast<unsigned>(std::stoi(date.substr(5, 2)))}
                       / day{static_cast<unsigned>(std::stoi(date.substr(8, 2)))};
        receipt.time = statement.get(2).value_or("");
        for (int i = 0; i < 5; ++i) {
            receipt.amounts[static_cast<std::size_t>(i)] = centsOf(statement.get(3 + i).value_or("0"));
        }
        receipts.push_back(std::move(receipt));
    }
    return receipts;
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options{{"--product", "PLUMOXA"}, {"--company", "0001"}};
    for (int i = 1; i + 1 < argc; i += 2) {
        options[argv[i]] = argv[i + 1];
    }
    for (const char* required : {"--connection", "--reader", "--pin"}) {
        if (options[required].empty()) {
            return usage();
        }
    }
    if (options["--readers"].empty() == options["--signatur"].empty()) {
        return usage();
    }
    try {
        auto& program = base::program();
        program.DefaultDir = std::filesystem::current_path().string() + "/";
        program.HostProduct = options["--product"];
        program.CompanyNumber = options["--company"];
        program.connections.signatur = options["--signatur"].empty()
                                           ? "Software:" + std::filesystem::absolute(options["--readers"]).string()
                                           : options["--signatur"];
        rksv::RKSV service(nullptr);
        if (!service.accReady()) {
            std::cerr << "Signaturdienst nicht bereit: " << service.accMsgFirst() << '\n';
            return 1;
        }
        const auto component = rksv::createComponent(program.connections.signatur);
        const auto serial = component ? component->GetCardInReader(options["--reader"]) : std::string();
        auto connection = std::make_shared<db::Connection>(options["--connection"]);
        if (connection->kind() == db::Kind::SQLite) {
            // Demo data only: a lost write costs nothing here, and each receipt commits on its own.
            connection->execute("PRAGMA synchronous = OFF");
        }
        service.setConnection(connection);
        long signedCount = 0;
        for (const std::string till : {"01", "02"}) {
            if (!service.MySernrExists(serial, options["--pin"], till)) {
                std::cerr << "Karte für Kassa " << till << " nicht registriert: " << service.accMsgFirst() << '\n';
                return 1;
            }
            // The generated rows step aside while the till signs, and its numbers start afresh.
            connection->execute("UPDATE BONS SET TYP = 'U' WHERE KASSA = ? AND RKSV_JWS = ''", {till});
            connection->execute("DELETE FROM NUMMERNKREISE WHERE KASSA = ? AND TYP = 'B'", {till});
            for (const auto& receipt : generatedReceipts(*connection, till)) {
                std::string message;
                if (!service.MySignAll("",
                                       till,
                                       0,
                                       "",
                                       receipt.date,
                                       receipt.time,
                                       receipt.amounts,
                                       serial,
                                       options["--pin"],
                                       message)) {
                    std::cerr << "Beleg " << till << "/" << receipt.bonid << " nicht signiert: " << message << '\n';
                    return 1;
                }
                // The signed receipt takes the generated row's place, where its customer and payments point.
                const auto& signedReceipt = service.accBelege().back();
                connection->execute(
                    "UPDATE BONS SET TYP = 'B', BONNR = ?, RKSV_JWS = ?, RKSV_SALDO = ?, RKSV_CRDID = ? "
                    "WHERE BONID = ?",
                    {std::to_string(signedReceipt.bonnr),
                     signedReceipt.jws,
                     rksv::decimalText(signedReceipt.counter),
                     std::to_string(signedReceipt.crdid),
                     receipt.bonid});
                connection->execute("DELETE FROM BONS WHERE BONID = ?", {std::to_string(signedReceipt.bonid)});
                signedCount += static_cast<long>(service.accBelege().size());
            }
        }
        std::cout << signedCount << " Belege signiert.\n";
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << '\n';
        return 1;
    }
    return 0;
}
