#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace base {

//! Outcome of a write that reports: done, or why nothing was written.
struct IniWriteResult
{
    //! "" when written; otherwise the German reason, which names the file.
    std::string error;
    //! The entry whose name or value the file cannot hold; "" when the failure is not about one entry.
    std::string entry;

    explicit operator bool() const { return error.empty(); }
};

//! One value to write.
struct IniEntry
{
    std::string section;
    std::string entry;
    std::string value;
};

/**
 * The content of an INI file read at one moment, for many lookups: the file is parsed once and every lookup is one
 * hash lookup, so reading all n entries of a file costs time linear in its size. Names match and values come back
 * exactly as IniFile's own calls match and return them.
 */
class IniContent
{
public:
    IniContent() = default;
    //! Parses the file's bytes: Windows-1252, or UTF-8 when they begin with a UTF-8 byte order mark.
    explicit IniContent(std::string_view bytes);

    [[nodiscard]] std::string GetString(const std::string& section, const std::string& entry) const;
    [[nodiscard]] std::vector<std::string> GetSection(const std::string& section) const;
    [[nodiscard]] std::vector<std::string> SectionNames() const;

private:
    struct Section
    {
        std::string name;                                         //!< in the file's encoding
        std::vector<std::pair<std::string, std::string>> entries; //!< names and values in the file's encoding
        std::unordered_map<std::string, std::size_t> index;       //!< folded name to its first entry
    };

    const Section* find(const std::string& section) const;
    //! Bytes in the file's encoding, folded for matching without regard to case.
    std::string fold(const std::string& bytes) const;
    //! A UTF-8 name in the folded form of the file's encoding.
    std::string key(const std::string& name) const;
    std::string decode(const std::string& bytes) const;

    bool m_utf8 = false;
    std::vector<Section> m_sections;
    std::unordered_map<std::string, std::size_t> m_index; //!< folded name to the first section of that name
};

/**
 * One INI file, named once and read or written on every call; no content is kept in memory, so two objects on the
 * same file always see each other's writes.
 *
 * Section and entry names match without regard to case. Values come back exactly as stored after the blanks that
 * follow "=", without trimming at the end. On disk the file is Windows-1252 (or UTF-8 when it begins with a UTF-8
 * byte order mark); in memory every text is UTF-8. Lines the object does not understand (comments, blank lines,
 * lines without "=") and the file's line ends (CR LF or LF) are kept as they are when it writes.
 *
 * Every write reads the file, changes it and replaces it atomically while it holds an exclusive lock on the file
 * ".<name>.lock" beside it, so writers in other processes (stations sharing the folder) wait for each other and
 * lose none of each other's entries. The new content is written to ".<name>.tmp", readable by its owner only, and
 * renamed over the file; a temporary file that an interrupted write left behind is removed by the next write. A new
 * file is created readable and writable by its owner only; an existing one keeps its permissions (see SetOwnerOnly).
 *
 * A writer waits at most LOCK_WAIT for the lock; then its write fails with a message that names the lock file.
 *
 * A file that cannot be read behaves as empty; Read(problem) says why. A FIFO, a device or a folder in the file's
 * place is never waited for: it cannot be read. A file that exists but cannot be read is never overwritten. A value
 * or name that Windows-1252 cannot hold is never written (never as "?"). WriteEntries reports failures; the other
 * writing calls keep the platform's shape and lose a failed write quietly.
 */
class IniFile
{
public:
    //! Longest value GetString returns; longer values are cut.
    static constexpr std::size_t MAX_VALUE = 1023;
    //! Room for the list of entry names of GetSection, counted as the platform counts it: every name in the file's
    //! code page with a NUL after it, and one more NUL at the end. Names that do not fit are lost.
    static constexpr std::size_t NAME_BLOCK = 4096;
    //! How long a write waits for another writer's lock.
    static constexpr std::chrono::milliseconds LOCK_WAIT{10000};
    //! Sets the wait for the lock for every IniFile of the process (for tests); LOCK_WAIT unless set.
    static void SetLockWait(std::chrono::milliseconds wait);

    IniFile() = default;
    explicit IniFile(const std::string& fileName);

    //! Names the file: ".INI" is appended to a name without any "."; a name without a folder lies in the current
    //! working directory. Clears the owner-only setting.
    IniFile& Init(const std::string& fileName);
    //! For files that hold secrets (the company INI files hold the PIN): every write leaves the file readable and
    //! writable by its owner only, also when it existed with wider permissions.
    IniFile& SetOwnerOnly(bool ownerOnly = true);

    //! The entry's value, at most MAX_VALUE characters; "" when the file, the section or the entry is missing.
    [[nodiscard]] std::string GetString(const std::string& section, const std::string& entry) const;
    //! Writes the entry: an existing one in place, a new one after the last entry of its section, a new section at
    //! the end of the file. Line breaks in the value become blanks (they would start new entries).
    IniFile& WriteString(const std::string& section, const std::string& entry, const std::string& value);
    //! Writes all entries as WriteString does, as one change: the file is replaced once, with all of them or none.
    [[nodiscard]] IniWriteResult WriteEntries(const std::vector<IniEntry>& entries);
    //! Names of the section's entries in file order; empty when the section is missing or empty.
    [[nodiscard]] std::vector<std::string> GetSection(const std::string& section) const;
    IniFile& DeleteEntry(const std::string& section, const std::string& entry);
    //! Removes the section's heading and every line up to the next section.
    IniFile& DeleteSection(const std::string& section);
    //! True when the value begins with ".T.".
    [[nodiscard]] bool GetLogic(const std::string& section, const std::string& entry) const;

    //! Names of all sections in file order (first spelling of each).
    [[nodiscard]] std::vector<std::string> SectionNames() const;
    //! The whole file, read once for many lookups; empty when the file is missing or cannot be read.
    [[nodiscard]] IniContent Read() const;
    //! The same; `problem` says in German, naming the file, why a file that exists cannot be read (what is not a
    //! regular file is refused without waiting), "" otherwise.
    [[nodiscard]] IniContent Read(std::string& problem) const;
    //! True when the file exists (its name matched without regard to case).
    [[nodiscard]] bool Exists() const;

    const std::string& FullPath() const { return m_fullPath; }
    //! Always "": there are no drive letters here.
    const std::string& Drive() const { return m_drive; }
    //! Folder of the file, ending with "/".
    const std::string& Path() const { return m_path; }

private:
    std::string actualPath() const;

    std::string m_fullPath;
    std::string m_drive;
    std::string m_path;
    bool m_ownerOnly = false;
};

} // namespace base
