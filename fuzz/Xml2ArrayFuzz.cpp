// libFuzzer target: any bytes a server may send must flatten without crash, hang or undefined behaviour, and the
// return code must be read from what was flattened.
#include "fonws/WebRegKasseAT.h"
#include "fonws/Xml.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string answer(reinterpret_cast<const char*>(data), size);
    const auto list = fonws::Xml2Array(answer);
    for (const auto& entry : list) {
        if (entry.items.empty() || !entry.items[0].starts_with(entry.name())) {
            std::abort();
        }
    }
    const auto pair = fonws::WebRegKasseAT::ReturnCode(list);
    if (pair.code.empty() && list.empty()) {
        std::abort(); // without entries the code is "-1"
    }
    return 0;
}
