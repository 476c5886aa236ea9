#pragma once

#include <string>
#include <vector>

namespace app {

/**
 * One INI file, named once and read or written on every call; no content is kept in memory, so two objects on the
 * same file always see each other's writes.
 *
 * Section and entry names match without regard to case. Values come back exactly as stored after the blanks that
 * follow "=", without trimming at the end. On disk the file is Windows-1252 (or UTF-8 when it begins with a UTF-8
 * byte order mark); in memory every text is UTF-8. Lines the object does not understand (comments, blank lines,
 * lines without "=") and the file's line ends (CR LF or LF) are kept as they are when it writes. Every write
 * replaces the file atomically; a new file is created readable and writable by its owner only.
 *
 * Nothing is reported: a file that cannot be read behaves as empty and a write that fails is lost. A file that
 * exists but cannot be read is never overwritten.
 */
class IniFile
{
public:
    //! Longest value GetString returns; longer values are cut.
    static constexpr std::size_t MAX_VALUE = 1023;
    //! Room for the list of entry names of GetSection, counted as the platform counts it: every name in the file's
    //! code page with a NUL after it, and one more NUL at the end. Names that do not fit are lost.
    static constexpr std::size_t NAME_BLOCK = 4096;

    IniFile() = default;
    explicit IniFile(const std::string& fileName);

    //! Names the file: ".INI" is appended to a name without any "."; a name without a folder lies in the current
    //! working directory.
    IniFile& Init(const std::string& fileName);

    //! The entry's value, at most MAX_VALUE characters; "" when the file, the section or the entry is missing.
    std::string GetString(const std::string& section, const std::string& entry) const;
    //! Writes the entry: an existing one in place, a new one after the last entry of its section, a new section at
    //! the end of the file. Line breaks in the value become blanks (they would start new entries).
    IniFile& WriteString(const std::string& section, const std::string& entry, const std::string& value);
    //! Names of the section's entries in file order; empty when the section is missing or empty.
    std::vector<std::string> GetSection(const std::string& section) const;
    IniFile& DeleteEntry(const std::string& section, const std::string& entry);
    //! Removes the section's heading and every line up to the next section.
    IniFile& DeleteSection(const std::string& section);
    //! True when the value begins with ".T.".
    bool GetLogic(const std::string& section, const std::string& entry) const;

    //! Names of all sections in file order (first spelling of each).
    std::vector<std::string> SectionNames() const;
    //! True when the file exists (its name matched without regard to case).
    bool Exists() const;

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
};

} // namespace app
