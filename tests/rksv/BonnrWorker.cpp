// One station for the numbering test: allocates receipt numbers of one till and writes each to a file.
#include "db/Odbc.h"
#include "rksv/Numbering.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::cerr << "Aufruf: bonnr-worker <ODBC-Verbindung> <Kassa> <Anzahl> <Datei>\n";
        return 2;
    }
    try {
        auto connection = std::make_shared<db::Connection>(argv[1]);
        std::ofstream out(argv[4]);
        const int count = std::stoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            out << rksv::GetNextBonnr(argv[2], "B", connection) << '\n';
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
