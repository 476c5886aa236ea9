// The check of a compiled help file's structure before chmlib reads it. chmlib trusts the file's numbers: a block
// length of 0 divides by zero, a window size of 0 as well, a chain of directory blocks that comes back to itself never
// ends, and an entry longer than its block is read past its end. Every number chmlib takes from the file is checked
// here against the file's size and against the others.
#include "base/ChmFile.h"

#include <algorithm>
#include <chm_lib.h>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace base {
namespace {

constexpr std::size_t ITSF_V2_LENGTH = 0x58;
constexpr std::size_t ITSF_V3_LENGTH = 0x60;
constexpr std::size_t ITSP_LENGTH = 0x54;
constexpr std::size_t PMGL_HEADER = 0x14;
constexpr std::size_t PMGI_HEADER = 0x08;
constexpr std::uint32_t MIN_BLOCK = 0x100;
constexpr std::uint32_t MAX_BLOCK = 0x10000;
constexpr std::uint64_t LZX_FRAME = 0x8000;
constexpr std::uint64_t MIN_WINDOW = std::uint64_t{1} << 15;
constexpr std::uint64_t MAX_WINDOW = std::uint64_t{1} << 21;

constexpr const char* CONTENT = "::DataSpace/Storage/MSCompressed/Content";
constexpr const char* CONTROL = "::DataSpace/Storage/MSCompressed/ControlData";
constexpr const char* RESET_TABLE =
    "::DataSpace/Storage/MSCompressed/Transform/{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/InstanceData/ResetTable";

struct Unit
{
    std::uint64_t section = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Little-endian numbers at offsets that the caller has checked to lie inside.
std::uint64_t little(std::string_view bytes, std::size_t at, std::size_t size)
{
    std::uint64_t value = 0;
    for (std::size_t i = size; i-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

std::uint32_t u32(std::string_view bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(little(bytes, at, 4));
}

std::int32_t s32(std::string_view bytes, std::size_t at)
{
    return static_cast<std::int32_t>(u32(bytes, at));
}

std::uint64_t u64(std::string_view bytes, std::size_t at)
{
    return little(bytes, at, 8);
}

bool within(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    return offset <= size && length <= size - offset;
}

// The format's variable-length number (seven bits a byte, high bit: more follow); at most 63 bits.
bool encint(std::string_view block, std::size_t& at, std::size_t end, std::uint64_t& value)
{
    value = 0;
    for (int bytes = 0; at < end && bytes < 9; ++bytes) {
        const auto byte = static_cast<unsigned char>(block[at++]);
        value = (value << 7) | (byte & 0x7f);
        if ((byte & 0x80) == 0) {
            return true;
        }
    }
    return false;
}

struct Directory
{
    std::string_view bytes;
    std::uint32_t blockLength = 0;
    std::uint32_t blocks = 0;
    std::map<std::string, Unit> units;
    // For each index block, the blocks its entries lead to.
    std::map<std::uint32_t, std::vector<std::uint32_t>> children;

    std::string_view block(std::uint32_t index) const
    {
        return bytes.substr(std::size_t{index} * blockLength, blockLength);
    }

    // The entries of a listing block: path, section, offset, length, all inside the used part of the block.
    bool readListing(std::string_view data)
    {
        const std::uint32_t free = u32(data, 4);
        if (free > blockLength - PMGL_HEADER) {
            return false;
        }
        const std::size_t end = blockLength - free;
        for (std::size_t at = PMGL_HEADER; at < end;) {
            std::uint64_t nameLength = 0;
            Unit unit;
            if (!encint(data, at, end, nameLength) || nameLength == 0 || nameLength >= CHM_MAX_PATHLEN
                || nameLength > end - at) {
                return false;
            }
            std::string name(data.substr(at, nameLength));
            at += nameLength;
            if (!encint(data, at, end, unit.section) || !encint(data, at, end, unit.offset)
                || !encint(data, at, end, unit.length) || unit.section > 1) {
                return false;
            }
            units.emplace(std::move(name), unit);
        }
        return true;
    }

    // The entries of an index block: a path and the block it leads to, which must exist.
    bool readIndex(std::uint32_t index, std::string_view data)
    {
        const std::uint32_t free = u32(data, 4);
        if (free > blockLength - PMGI_HEADER) {
            return false;
        }
        const std::size_t end = blockLength - free;
        auto& leadsTo = children[index];
        for (std::size_t at = PMGI_HEADER; at < end;) {
            std::uint64_t nameLength = 0;
            std::uint64_t target = 0;
            if (!encint(data, at, end, nameLength) || nameLength >= CHM_MAX_PATHLEN || nameLength > end - at) {
                return false;
            }
            at += nameLength;
            if (!encint(data, at, end, target) || target >= blocks) {
                return false;
            }
            leadsTo.push_back(static_cast<std::uint32_t>(target));
        }
        return true;
    }

    // No index block leads back to itself through others (a lookup would descend for ever).
    bool indexIsTree() const
    {
        std::map<std::uint32_t, int> incoming;
        for (const auto& [from, targets] : children) {
            incoming.try_emplace(from, 0);
            for (const auto target : targets) {
                if (children.count(target)) {
                    ++incoming[target];
                }
            }
        }
        std::vector<std::uint32_t> ready;
        for (const auto& [index, count] : incoming) {
            if (count == 0) {
                ready.push_back(index);
            }
        }
        std::size_t done = 0;
        while (!ready.empty()) {
            const auto index = ready.back();
            ready.pop_back();
            ++done;
            for (const auto target : children.at(index)) {
                if (children.count(target) && --incoming[target] == 0) {
                    ready.push_back(target);
                }
            }
        }
        return done == children.size();
    }
};

const char* const DAMAGED = "Ihr Aufbau ist beschädigt: ";

// The compressed section: its control data and reset table describe what the decompressor will be asked to do.
std::string checkCompressed(const Directory& directory,
                            std::string_view file,
                            std::uint64_t dataOffset,
                            std::uint64_t& uncompressed)
{
    const auto find = [&](const char* name) -> const Unit* {
        const auto found = directory.units.find(name);
        return found == directory.units.end() || found->second.section != 0 ? nullptr : &found->second;
    };
    const Unit* content = find(CONTENT);
    const Unit* control = find(CONTROL);
    const Unit* reset = find(RESET_TABLE);
    if (!content || !control || !reset) {
        return std::string(DAMAGED) + "Der komprimierte Bereich ist unvollständig.";
    }
    const auto data = file.substr(dataOffset);
    if (control->length < 0x18 || control->length > 0x1000) {
        return std::string(DAMAGED) + "Die Angaben zur Kompression fehlen.";
    }
    const auto lzxc = data.substr(control->offset, control->length);
    const std::uint32_t version = u32(lzxc, 8);
    std::uint64_t resetInterval = u32(lzxc, 12);
    std::uint64_t windowSize = u32(lzxc, 16);
    const std::uint64_t windowsPerReset = u32(lzxc, 20);
    if (version == 2) {
        resetInterval *= LZX_FRAME;
        windowSize *= LZX_FRAME;
    }
    if (lzxc.substr(4, 4) != "LZXC" || (version != 1 && version != 2) || windowSize < MIN_WINDOW
        || windowSize > MAX_WINDOW || (windowSize & (windowSize - 1)) != 0 || resetInterval == 0
        || resetInterval % (windowSize / 2) != 0 || windowsPerReset == 0 || windowsPerReset > 0x10000
        || resetInterval / (windowSize / 2) * windowsPerReset > 0x10000) {
        return std::string(DAMAGED) + "Die Angaben zur Kompression sind ungültig.";
    }

    if (reset->length < 0x28) {
        return std::string(DAMAGED) + "Die Tabelle der komprimierten Blöcke fehlt.";
    }
    const auto table = data.substr(reset->offset, reset->length);
    const std::uint32_t count = u32(table, 4);
    const std::uint32_t entriesAt = u32(table, 12);
    uncompressed = u64(table, 16);
    const std::uint64_t compressed = u64(table, 24);
    const std::uint64_t frame = u64(table, 32);
    // One start per block of LZX_FRAME bytes; the help compiler adds the end as one more.
    if (u32(table, 0) != 2 || frame != LZX_FRAME || !within(entriesAt, std::uint64_t{count} * 8, table.size())
        || count < (uncompressed + frame - 1) / frame || count > (uncompressed + frame - 1) / frame + 1
        || compressed > content->length) {
        return std::string(DAMAGED) + "Die Tabelle der komprimierten Blöcke ist ungültig.";
    }
    std::uint64_t previous = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t start = u64(table, entriesAt + std::size_t{i} * 8);
        if ((i == 0 && start != 0) || (i > 0 && start < previous) || start > compressed) {
            return std::string(DAMAGED) + "Die Tabelle der komprimierten Blöcke ist ungültig.";
        }
        previous = start;
    }
    return {};
}

} // namespace

std::string chmStructureProblem(std::string_view file)
{
    if (file.size() > ChmFile::MAX_FILE_SIZE) {
        return "Die Datei ist größer als jede Hilfedatei (" + std::to_string(file.size() / (1024 * 1024)) + " MiB).";
    }
    if (file.size() < ITSF_V3_LENGTH || file.substr(0, 4) != "ITSF") {
        return "Die Datei ist keine Hilfedatei (CHM).";
    }
    const std::uint32_t version = u32(file, 4);
    const std::uint32_t headerLength = u32(file, 8);
    if (!(version == 2 && headerLength == ITSF_V2_LENGTH) && !(version == 3 && headerLength == ITSF_V3_LENGTH)) {
        return std::string(DAMAGED) + "Die Kopfzeilen der Datei sind ungültig.";
    }
    const std::uint64_t directoryOffset = u64(file, 0x48);
    const std::uint64_t directoryLength = u64(file, 0x50);
    const std::uint64_t dataOffset = version == 3 ? u64(file, 0x58) : directoryOffset + directoryLength;
    if (!within(directoryOffset, directoryLength, file.size()) || directoryLength < ITSP_LENGTH
        || dataOffset > file.size()) {
        return std::string(DAMAGED) + "Das Verzeichnis liegt außerhalb der Datei.";
    }

    const auto itsp = file.substr(directoryOffset, directoryLength);
    Directory directory;
    directory.blockLength = u32(itsp, 16);
    const std::int32_t indexRoot = s32(itsp, 28);
    const std::int32_t firstListing = s32(itsp, 32);
    directory.blocks = u32(itsp, 44);
    if (itsp.substr(0, 4) != "ITSP" || u32(itsp, 4) != 1 || u32(itsp, 8) != ITSP_LENGTH
        || directory.blockLength < MIN_BLOCK || directory.blockLength > MAX_BLOCK || directory.blocks == 0
        || std::uint64_t{directory.blocks} * directory.blockLength > directoryLength - ITSP_LENGTH || indexRoot < -1
        || indexRoot >= static_cast<std::int64_t>(directory.blocks) || firstListing < 0
        || firstListing >= static_cast<std::int64_t>(directory.blocks)) {
        return std::string(DAMAGED) + "Der Kopf des Verzeichnisses ist ungültig.";
    }
    directory.bytes = itsp.substr(ITSP_LENGTH, std::size_t{directory.blocks} * directory.blockLength);

    for (std::uint32_t i = 0; i < directory.blocks; ++i) {
        const auto data = directory.block(i);
        const auto kind = data.substr(0, 4);
        const bool ok = kind == "PMGL"   ? directory.readListing(data)
                        : kind == "PMGI" ? directory.readIndex(i, data)
                                         : true; // unused blocks are never read
        if (!ok) {
            return std::string(DAMAGED) + "Block " + std::to_string(i) + " des Verzeichnisses ist ungültig.";
        }
    }
    // The listing blocks form one chain from the first, each visited once.
    std::vector<bool> visited(directory.blocks, false);
    for (std::int64_t block = firstListing; block != -1;) {
        if (block < 0 || block >= directory.blocks || visited[static_cast<std::size_t>(block)]
            || directory.block(static_cast<std::uint32_t>(block)).substr(0, 4) != "PMGL") {
            return std::string(DAMAGED) + "Die Kette der Verzeichnisblöcke ist unterbrochen oder kreisförmig.";
        }
        visited[static_cast<std::size_t>(block)] = true;
        block = s32(directory.block(static_cast<std::uint32_t>(block)), 16);
    }
    const auto root = indexRoot == -1 ? firstListing : indexRoot;
    const auto rootKind = directory.block(static_cast<std::uint32_t>(root)).substr(0, 4);
    if ((rootKind != "PMGI" && rootKind != "PMGL") || !directory.indexIsTree()) {
        return std::string(DAMAGED) + "Der Index des Verzeichnisses ist kreisförmig.";
    }

    const std::uint64_t plainSize = file.size() - dataOffset;
    std::uint64_t compressedSize = 0;
    const bool anyCompressed = std::any_of(
        directory.units.begin(), directory.units.end(), [](const auto& unit) { return unit.second.section == 1; });
    for (const auto& [name, unit] : directory.units) {
        if (unit.section == 0 && !within(unit.offset, unit.length, plainSize)) {
            return std::string(DAMAGED) + "Der Eintrag " + name + " reicht über das Ende der Datei.";
        }
    }
    if (anyCompressed) {
        if (auto problem = checkCompressed(directory, file, dataOffset, compressedSize); !problem.empty()) {
            return problem;
        }
    }
    for (const auto& [name, unit] : directory.units) {
        if (unit.section == 1 && !within(unit.offset, unit.length, compressedSize)) {
            return std::string(DAMAGED) + "Der Eintrag " + name + " reicht über das Ende des komprimierten Bereichs.";
        }
    }
    return {};
}

} // namespace base
