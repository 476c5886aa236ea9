// quorvex-demosign: signs the receipts of a demo cash-register database with a card of the software signature
// unit, till by till in receipt-number order, each chained to the one before and carrying the running turnover
// counter, as a till would have signed them.
#include "db/Database.h"
#include "db/MySqlTable.h"
#include "rksv/SoftwareUnit.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

namespace {

// "12.3" (as the database gives it) → cents.
long long centsOf(const std::string& text)
{
    return std::llround(std::strtod(text.c_str(), nullptr) * 100.0);
}

// Cents → the receipt's amount text ("12,30", "-0,50").
std::string amountText(long long cents)
{
    char text[32];
    std::snprintf(
        text, sizeof text, "%s%lld,%02lld", cents < 0 ? "-" : "", std::llabs(cents) / 100, std::llabs(cents) % 100);
    return text;
}

int usage()
{
    std::cerr << "Aufruf: quorvex-demosign --connection \"<ODBC-Verbindung>\" --readers ORDNER --reader NAME --pin PIN "
                 "--basis AES-BASIS\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> options;
    for (int i = 1; i + 1 < argc; i += 2) {
        options[argv[i]] = argv[i + 1];
    }
    for (const char* required : {"--connection", "--readers", "--reader", "--pin", "--basis"}) {
        if (options[required].empty()) {
            return usage();
        }
    }
    try {
        rksv::SoftwareUnit unit(options["--readers"]);
        std::string key;
        std::string error;
        if (!unit.GenerateAes256Key(options["--basis"], key, error)) {
            std::cerr << "Kein AES-Schlüssel: " << error << '\n';
            return 1;
        }
        auto connection = std::make_shared<db::Connection>(options["--connection"]);
        connection->setAutoCommit(false);
        long signedCount = 0;
        for (const char* till : {"01", "02"}) {
            db::DbBon bons({}, connection);
            bons.Where("KASSA = " + db::Quote(till));
            bons.OrderBy({"BONNR"});
            std::string previous = till;
            long long counter = 0;
            for (bool more = !bons.EoF(); more; more = bons.Skip()) {
                rksv::Component::Receipt receipt;
                receipt.kassa = till;
                receipt.reader = options["--reader"];
                receipt.pin = options["--pin"];
                receipt.bonnr = bons.FieldGet("BONNR");
                const auto date = bons.FieldGet("DATUM");
                receipt.dateTime =
                    date.substr(8, 2) + "." + date.substr(5, 2) + "." + date.substr(0, 4) + " " + bons.FieldGet("ZEIT");
                long long sum = 0;
                for (const char* column : {"RKSV_NORMAL", "RKSV_ERM1", "RKSV_ERM2", "RKSV_NULL", "RKSV_SONDER"}) {
                    const auto cents = centsOf(bons.FieldGet(column));
                    receipt.amounts.push_back(amountText(cents));
                    sum += cents;
                }
                receipt.turnoverCounter = std::to_string(counter);
                receipt.previous = previous;
                receipt.aesKey = key;
                rksv::Component::Signed answer;
                if (!unit.SignReceipt(receipt, answer)) {
                    std::cerr << "Beleg " << till << "/" << receipt.bonnr << " nicht signiert: " << answer.error
                              << '\n';
                    return 1;
                }
                bons.FieldPut("RKSV_JWS", answer.jws);
                char saldo[32];
                std::snprintf(saldo, sizeof saldo, "%.2f", static_cast<double>(counter + sum) / 100.0);
                bons.FieldPut("RKSV_SALDO", saldo);
                bons.Commit();
                counter += sum;
                previous = answer.jws;
                ++signedCount;
            }
        }
        connection->commit();
        std::cout << signedCount << " Belege signiert.\n";
    } catch (const std::exception& failure) {
        std::cerr << failure.what() << '\n';
        return 1;
    }
    return 0;
}
