#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct chmFile;

namespace base {

//! One entry of a help file's table of contents: its title (UTF-8), the page it shows ("Senden.htm#test", relative
//! to the file's root, "" for a heading without a page) and the entries below it.
struct ChmTopic
{
    std::string title;
    std::string local;
    std::vector<ChmTopic> children;
};

/**
 * A compiled HTML help file (CHM), read with chmlib: its files, the pages by their path, the table of contents and
 * the default topic. Paths inside the file start with "/"; the calls also take them without it. Reading happens on
 * the calling thread; one object is not to be shared between threads.
 */
class ChmFile
{
public:
    ChmFile();
    ~ChmFile();
    ChmFile(const ChmFile&) = delete;
    ChmFile& operator=(const ChmFile&) = delete;

    //! Opens the file (closing one opened before); false when it is missing or no CHM.
    [[nodiscard]] bool open(const std::string& path);
    [[nodiscard]] bool isOpen() const { return m_file != nullptr; }
    void close();

    //! The paths of all files inside, "/HelpContents.htm" …, without the folders and the format's own records.
    [[nodiscard]] std::vector<std::string> list() const;
    //! Whether a file of that path is inside (without regard to case, as the format compares paths).
    [[nodiscard]] bool contains(const std::string& path) const;
    //! The bytes of one file; nothing when it is not inside or cannot be read.
    [[nodiscard]] std::optional<std::string> read(const std::string& path) const;

    //! The title the project gave the help file (UTF-8), "" when it names none.
    [[nodiscard]] std::string title() const;
    //! The page the file opens at, as the project names it ("HelpContents.htm"); without a default in the file the
    //! first page of the table of contents.
    [[nodiscard]] std::string defaultTopic() const;
    //! The path of the table of contents ("Quorvex.hhc"): as the file's records name it, else its first .hhc file.
    [[nodiscard]] std::string contentsFile() const;
    //! The table of contents as a tree; empty when the file has none.
    [[nodiscard]] std::vector<ChmTopic> contents() const;

private:
    //! The records of "#SYSTEM": code 0 the contents file, 2 the default topic, 3 the title.
    [[nodiscard]] std::string systemRecord(unsigned code) const;

    ::chmFile* m_file = nullptr;
};

/**
 * The table of contents of a sitemap (.hhc): the entries of `<OBJECT type="text/sitemap">` with their parameters
 * "Name" and "Local", nested as their `<UL>` lists nest. Entities are decoded; the text is taken as the charset its
 * META tag declares (UTF-8 or, as the help compiler writes it, Windows-1252) and returned as UTF-8.
 */
std::vector<ChmTopic> parseSitemap(std::string_view html);

} // namespace base
