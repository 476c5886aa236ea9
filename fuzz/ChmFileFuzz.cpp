// libFuzzer target: any bytes in the help file's place must be refused by the reader's check or read without crash,
// hang or undefined behaviour: the list of files, the table of contents, the default topic and every page.
#include "base/ChmFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The reader opens files by name; the input is one in memory.
    const int fd = ::memfd_create("fuzz.chm", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    base::ChmFile chm;
    if (chm.open("/proc/self/fd/" + std::to_string(fd))) {
        for (const auto& path : chm.list()) {
            if (!chm.contains(path)) {
                std::abort(); // what the file lists, it finds
            }
            [[maybe_unused]] const auto page = chm.read(path);
        }
        [[maybe_unused]] const auto title = chm.title();
        [[maybe_unused]] const auto topic = chm.defaultTopic();
        [[maybe_unused]] const auto contents = chm.contents();
    } else if (chm.problem().empty()) {
        std::abort(); // a refusal names its reason
    }
    ::close(fd);
    return 0;
}
