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
    //! The largest help file opened; the program's own is far smaller.
    static constexpr std::size_t MAX_FILE_SIZE = std::size_t{64} * 1024 * 1024;
    //! The largest page read; a larger one counts as unreadable.
    static constexpr std::size_t MAX_PAGE_SIZE = std::size_t{16} * 1024 * 1024;

    ChmFile();
    ~ChmFile();
    ChmFile(const ChmFile&) = delete;
    ChmFile& operator=(const ChmFile&) = delete;

    //! Opens the file (closing one opened before); false when it is missing, no CHM or damaged, with the reason in
    //! problem(). The file is read once, checked (chmStructureProblem) and handed to chmlib as it was checked, so
    //! chmlib never reads bytes that the check did not see.
    [[nodiscard]] bool open(const std::string& path);
    //! Why the last open() failed, a German sentence; "" after one that succeeded.
    [[nodiscard]] const std::string& problem() const { return m_problem; }
    [[nodiscard]] bool isOpen() const { return m_file != nullptr; }
    void close();

    //! The paths of all files inside, "/HelpContents.htm" …, without the folders and the format's own records.
    [[nodiscard]] std::vector<std::string> list() const;
    //! Whether a file of that path is inside (without regard to case, as the format compares paths).
    [[nodiscard]] bool contains(const std::string& path) const;
    //! The bytes of one file, read as far as they really come (never more than MAX_PAGE_SIZE, whatever length the
    //! directory claims); nothing when it is not inside, cannot be read or is larger.
    [[nodiscard]] std::optional<std::string> read(const std::string& path) const;

    //! The title the project gave the help file (UTF-8), "" when it names none.
    [[nodiscard]] std::string title() const;
    //! The page the file opens at, as the project names it ("HelpContents.htm"); without a default in the file the
    //! first page of the table of contents.
    [[nodiscard]] std::string defaultTopic() const;
    //! The path of the table of contents ("Quorvex.hhc"): as the file's records name it, else its first .hhc file.
    [[nodiscard]] std::string contentsFile() const;
    //! The table of contents as a tree (at most MAX_TOPIC_DEPTH levels); empty when the file has none.
    [[nodiscard]] std::vector<ChmTopic> contents() const;

private:
    //! The records of "#SYSTEM": code 0 the contents file, 2 the default topic, 3 the title.
    [[nodiscard]] std::string systemRecord(unsigned code) const;

    ::chmFile* m_file = nullptr;
    std::string m_problem;
};

/**
 * What keeps the bytes from being read safely as a help file, as a German sentence ("Ihr Aufbau ist beschädigt: …");
 * "" for a sound file. Checked: the size (MAX_FILE_SIZE), the headers, every block of the directory and its entries
 * (inside the block, paths shorter than chmlib's limit, sections 0 and 1), the chain of listing blocks (no loop),
 * the index (no loop), every entry inside its section, and the compressed section's control data (window size,
 * reset interval) and reset table (block length, ascending offsets inside the compressed data).
 */
[[nodiscard]] std::string chmStructureProblem(std::string_view file);

//! The deepest level of a table of contents; entries nested deeper are listed at this level.
inline constexpr std::size_t MAX_TOPIC_DEPTH = 32;

/**
 * The table of contents of a sitemap (.hhc): the entries of `<OBJECT type="text/sitemap">` with their parameters
 * "Name" and "Local", nested as their `<UL>` lists nest, at most MAX_TOPIC_DEPTH levels deep. Entities are decoded; the
 * text is taken as the charset its META tag declares (UTF-8 or, as the help compiler writes it, Windows-1252) and
 * returned as UTF-8.
 */
std::vector<ChmTopic> parseSitemap(std::string_view html);

} // namespace base
