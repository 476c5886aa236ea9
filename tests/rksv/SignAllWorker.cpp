// One station of a till for the signing test and the cluster benchmark: signs receipts of till "01" (or the till
// given) through the signing service, with the installation of the folder it is given (cards in "Karten", PIN
// 123456), as a station sharing that folder would. Prints the number of steps it repeated after a conflict. With a
// start folder: first signs one receipt (the card session's PIN check and the connection are then in place), leaves a
// file there and waits for the file "los" before it signs the others, then prints when it was done.
#include "base/Program.h"
#include "db/Odbc.h"
#include "rksv/Rksv.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 5 || argc > 7) {
        std::cerr << "Aufruf: signall-worker <ODBC-Verbindung>[|<weitere>…] <Installationsordner> <Kartenserie> "
                     "<Anzahl> [<Kassa> [<Startordner>]]\n";
        return 2;
    }
    try {
        auto& program = base::program();
        program.DefaultDir = std::string(argv[2]) + "/";
        program.HostProduct = "DRAVELIN"; // as the test's own station
        program.CompanyNumber = "0001";
        program.connections.signatur = "Software:" + std::string(argv[2]) + "/Karten";
        rksv::RKSV service(nullptr);
        if (!service.accReady()) {
            std::cerr << service.accMsgFirst() << '\n';
            return 1;
        }
        // A cluster's nodes, the station's own first: the others are tried when it cannot be reached.
        std::vector<std::string> servers;
        for (std::string rest = argv[1]; !rest.empty();) {
            const auto bar = rest.find('|');
            servers.push_back(rest.substr(0, bar));
            rest = bar == std::string::npos ? "" : rest.substr(bar + 1);
        }
        service.setConnection(std::make_shared<db::Connection>(servers.front()));
        service.setConnectionStrings(servers);
        using namespace std::chrono;
        const int count = std::stoi(argv[4]);
        const std::string start = argc == 7 ? argv[6] : "";
        for (int i = 0; i < count; ++i) {
            if (!start.empty() && i == 1) {
                std::ofstream(start + "/bereit-" + std::to_string(::getpid())) << '\n';
                while (!std::filesystem::exists(start + "/los")) {
                    std::this_thread::sleep_for(milliseconds(1));
                }
            }
            rksv::SignRequest request;
            request.kassa = argc >= 6 ? argv[5] : "01";
            request.number = i;
            request.date = 2026y / March / 2;
            request.time = "10:00:00";
            request.amounts = {100 + i, 0, 0, 0, 0};
            request.serial = argv[3];
            request.pin = "123456";
            const auto result = service.sign(request);
            if (!result.stored || result.belege.empty()) {
                std::cerr << "Beleg " << i << ": " << result.message << '\n';
                return 1;
            }
        }
        std::cout << "Wiederholungen: " << rksv::RKSV::repeatedSteps() << '\n';
        std::cout << "Fertig: " << duration_cast<microseconds>(system_clock::now().time_since_epoch()).count() << '\n';
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
