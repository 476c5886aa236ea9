#include "fontest/Control.h"

#include <fstream>
#include <iostream>
#include <sstream>

namespace fontest {

namespace {

bool parseMode(std::istringstream& words, Control& control)
{
    std::string name;
    words >> name;
    if (name == "late" || name == "late-rkdb" || name == "huge") {
        long amount = -1;
        if (!(words >> amount) || amount < 0) {
            return false;
        }
        control.mode = name == "late" ? Mode::Late : name == "huge" ? Mode::Huge : Mode::LateRkdb;
        control.amount = amount;
        return true;
    }
    static const std::pair<const char*, Mode> SIMPLE[] = {
        {"normal", Mode::Normal},
        {"close", Mode::Close},
        {"garbage", Mode::Garbage},
        {"fault", Mode::Fault},
        {"empty", Mode::Empty},
        {"foreign-rc", Mode::ForeignRc},
    };
    for (const auto& [word, mode] : SIMPLE) {
        if (name == word) {
            control.mode = mode;
            control.amount = 0;
            return true;
        }
    }
    return false;
}

} // namespace

Control readControl(const std::string& path)
{
    Control control;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        if (!(words >> key) || key[0] == '#') {
            continue;
        }
        bool understood = false;
        if (key == "style") {
            std::string value;
            words >> value;
            understood = value == "ns5" || value == "ns0";
            if (understood) {
                control.style = value == "ns5" ? Style::Ns5 : Style::Ns0;
            }
        } else if (key == "mode") {
            understood = parseMode(words, control);
        } else if (key == "session-path") {
            std::string value;
            words >> value;
            understood = value.starts_with('/');
            if (understood) {
                control.sessionPath = value;
            }
        }
        if (!understood) {
            std::cerr << "fon-test-service: ignoring control line: " << line << '\n';
        }
    }
    return control;
}

} // namespace fontest
