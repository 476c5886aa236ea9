#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The DEP check's temporary files and its exact check of receipt ids in bounded memory. Used by DepVerifier.cpp only.
namespace rksv::depcheck {

using FilePtr = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

//! Where temporary files go: TMPDIR, or /tmp without it.
std::string temporaryFolder();
//! A temporary file in temporaryFolder(), removed when closed; null when none can be made.
FilePtr temporaryFile();
//! "<what> nicht in eine temporäre Datei in <folder> schreibbar …", for the check's error.
std::string temporaryFailure(std::string_view what);
//! Binary records: a number as 8 bytes, a text as its length and its bytes.
void writeNumber(std::FILE* file, std::uint64_t number);
void writeText(std::FILE* file, std::string_view text);
bool readNumber(std::FILE* file, std::uint64_t& number);
bool readText(std::FILE* file, std::string& text);

// Finds every receipt id used twice in a till, exactly, in bounded memory: ids collect in memory; a full load is
// sorted and written to a temporary file as a run (MAX_RUNS runs are merged into one, so few files stay open); at
// the end the runs are merged, and equal neighbours are the repeats.
class ReceiptIds
{
public:
    explicit ReceiptIds(std::size_t inMemory)
        : m_inMemory(std::max<std::size_t>(inMemory, 1))
    {}

    //! Notes the id of the receipt at `position` (counted over the file) in `group`; false once a run could not be
    //! written.
    bool add(std::string_view kassenId, std::string_view belegnummer, long position, long group);

    //! Calls `repeated(position, group, id, firstPosition)` for each later use of an id; false when a run could not be
    //! written or read back.
    bool findRepeats(const std::function<void(long, long, const std::string&, long)>& repeated);

private:
    static constexpr std::size_t MAX_RUNS = 64;

    struct Entry
    {
        std::string key;
        long position = 0;
        long group = 0;
        bool operator<(const Entry& other) const
        {
            return key != other.key ? key < other.key : position < other.position;
        }
    };

    static void writeEntry(std::FILE* file, const Entry& entry);
    static bool readEntry(std::FILE* file, Entry& entry);
    // Adds a finished run, or marks the ids as not fully checked.
    void keepRun(FilePtr file);
    void spill();
    // Hands every entry of every run to `each`, in key order.
    bool merge(const std::function<void(const Entry&)>& each);

    std::size_t m_inMemory;
    std::vector<Entry> m_entries;
    std::vector<FilePtr> m_runs;
    bool m_failed = false;
};

} // namespace rksv::depcheck
