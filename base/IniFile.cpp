#include "base/IniFile.h"

#include "base/Cp1252.h"
#include "base/Files.h"
#include "base/StringUtil.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace base {
namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

std::chrono::milliseconds lockWait = IniFile::LOCK_WAIT;

// The file as lines in its own encoding, without line ends.
struct Document
{
    std::vector<std::string> lines;
    bool crlf = true;
    bool utf8 = false;
    bool finalEol = true;

    std::string encode(const std::string& text) const { return utf8 ? text : utf8ToCp1252(text); }
    std::string decode(const std::string& bytes) const { return utf8 ? bytes : cp1252ToUtf8(bytes); }
    std::string fold(const std::string& bytes) const { return utf8 ? toLower(bytes) : cp1252Lower(bytes); }
};

Document parse(std::string bytes)
{
    Document doc;
    if (bytes.starts_with(UTF8_BOM)) {
        doc.utf8 = true;
        bytes.erase(0, UTF8_BOM.size());
    }
    const auto firstLf = bytes.find('\n');
    if (firstLf != std::string::npos && (firstLf == 0 || bytes[firstLf - 1] != '\r')) {
        doc.crlf = false;
    }
    doc.finalEol = bytes.empty() || bytes.back() == '\n';
    std::size_t start = 0;
    while (start < bytes.size()) {
        auto end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        doc.lines.push_back(std::move(line));
        start = end + 1;
    }
    return doc;
}

std::string serialize(const Document& doc)
{
    std::string out = doc.utf8 ? std::string(UTF8_BOM) : std::string();
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        out += doc.lines[i];
        if (i + 1 < doc.lines.size() || doc.finalEol) {
            out += doc.crlf ? "\r\n" : "\n";
        }
    }
    return out;
}

std::optional<std::string> sectionOf(const std::string& line)
{
    const auto text = trimLeft(line);
    if (!text.starts_with('[')) {
        return std::nullopt;
    }
    const auto close = text.find(']');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    return trim(text.substr(1, close - 1));
}

struct Entry
{
    std::string name;
    std::size_t valueStart = 0;
};

std::optional<Entry> entryOf(const std::string& line)
{
    const auto text = trimLeft(line);
    if (text.empty() || text[0] == ';' || text[0] == '#' || text[0] == '[') {
        return std::nullopt;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
        return std::nullopt;
    }
    Entry entry{trim(line.substr(0, eq)), eq + 1};
    if (entry.name.empty()) {
        return std::nullopt;
    }
    while (entry.valueStart < line.size() && (line[entry.valueStart] == ' ' || line[entry.valueStart] == '\t')) {
        ++entry.valueStart;
    }
    return entry;
}

constexpr auto NPOS = std::string::npos;

// Index of the first heading of the section, or NPOS.
std::size_t findSection(const Document& doc, const std::string& section)
{
    const auto wanted = doc.fold(doc.encode(section));
    for (std::size_t i = 0; i < doc.lines.size(); ++i) {
        const auto name = sectionOf(doc.lines[i]);
        if (name && doc.fold(*name) == wanted) {
            return i;
        }
    }
    return NPOS;
}

std::size_t sectionEnd(const Document& doc, std::size_t heading)
{
    std::size_t i = heading + 1;
    while (i < doc.lines.size() && !sectionOf(doc.lines[i])) {
        ++i;
    }
    return i;
}

std::size_t findEntry(const Document& doc, std::size_t heading, const std::string& entry)
{
    const auto wanted = doc.fold(doc.encode(entry));
    const auto end = sectionEnd(doc, heading);
    for (std::size_t i = heading + 1; i < end; ++i) {
        const auto found = entryOf(doc.lines[i]);
        if (found && doc.fold(found->name) == wanted) {
            return i;
        }
    }
    return NPOS;
}

std::string withoutLineBreaks(std::string text)
{
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return text;
}

IniWriteResult notSaved(const std::string& path, int error)
{
    return {"Die Datei " + path + " konnte nicht gespeichert werden: " + fileErrorReason(error), {}};
}

// Closes a descriptor once, at the end of its scope.
class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {}
    ~Descriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The file a write replaces: a symbolic link is followed, not replaced.
std::string writeTarget(const std::string& path)
{
    struct stat st
    {
    };
    char resolved[PATH_MAX];
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::realpath(path.c_str(), resolved)) {
        return resolved;
    }
    return path;
}

// Reads the file, lets `change` edit it and replaces it when `change` says it changed something, all under the
// file's lock. `change(doc, result)` returns whether it changed the document, or sets result.error to refuse.
template <class Change> IniWriteResult edit(const std::string& path, bool ownerOnly, Change&& change)
{
    const auto target = writeTarget(path);
    const auto folder = folderOf(target);
    const auto hidden = folder + "." + target.substr(folder.size());

    // A writer that may not create the lock file can still lock one that exists, opened for reading.
    const auto lockName = hidden + ".lock";
    int lockFd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
    const int createError = errno;
    if (lockFd < 0) {
        lockFd = ::open(lockName.c_str(), O_RDONLY | O_CLOEXEC);
    }
    const Descriptor lock(lockFd);
    if (lock.get() < 0) {
        return notSaved(target, createError);
    }
    // Another writer holds the lock for the moment of one write; one that holds it for longer (a process that
    // hangs, a station whose network share stalls) is named rather than waited for without end.
    const auto giveUp = std::chrono::steady_clock::now() + lockWait;
    while (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return notSaved(target, errno);
        }
        if (std::chrono::steady_clock::now() >= giveUp) {
            return {"Die Datei " + target + " konnte nicht gespeichert werden: Ein anderes Programm hält sie "
                        + "gesperrt (" + lockName + "). Bitte beenden Sie es oder versuchen Sie es später noch einmal.",
                    {}};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // Whatever lies under the temporary name is what an interrupted write left: no one else writes while we hold
    // the lock.
    const auto temp = hidden + ".tmp";
    ::unlink(temp.c_str());

    Document doc;
    struct stat old
    {
    };
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        std::string reason;
        auto bytes = readRegularFile(target, reason);
        if (!bytes) {
            return {"Die Datei " + target + " kann nicht gelesen werden und wird darum nicht überschrieben: " + reason,
                    {}};
        }
        doc = parse(std::move(*bytes));
    }
    IniWriteResult result;
    if (!change(doc, result) || !result) {
        return result;
    }

    FileWriteOptions options;
    options.temporary = temp;
    options.mode = exists && !ownerOnly ? old.st_mode & 07777 : S_IRUSR | S_IWUSR;
    if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        options.owner = old.st_uid;
        options.group = old.st_gid;
    }
    if (auto written = writeFileDurably(target, serialize(doc), options); !written) {
        return {std::move(written.message), {}};
    }
    return result;
}

// Refuses a name or value that the file's code page cannot hold, rather than writing "?" for it.
bool fits(const Document& doc, const IniEntry& item, const std::string& path, IniWriteResult& result)
{
    if (doc.utf8) {
        return true;
    }
    for (const auto* text : {&item.value, &item.entry, &item.section}) {
        if (const auto bad = firstOutsideCp1252(*text)) {
            const auto what = bad->empty() ? std::string("ein ungültiges Zeichen") : "das Zeichen „" + *bad + "“";
            result.error = "Der Wert für „" + item.entry + "“ enthält " + what + ", das die Datei " + path
                           + " nicht speichern kann (Zeichensatz Windows-1252). Bitte ersetzen Sie es.";
            result.entry = item.entry;
            return false;
        }
    }
    return true;
}

void put(Document& doc, const IniEntry& item)
{
    const auto sectionName = doc.encode(withoutLineBreaks(item.section));
    const auto entryName = doc.encode(withoutLineBreaks(item.entry));
    const auto bytes = doc.encode(withoutLineBreaks(item.value));
    const auto heading = findSection(doc, item.section);
    if (heading == NPOS) {
        doc.lines.push_back("[" + sectionName + "]");
        doc.lines.push_back(entryName + "=" + bytes);
        doc.finalEol = true;
    } else if (const auto at = findEntry(doc, heading, item.entry); at != NPOS) {
        auto& line = doc.lines[at];
        line = line.substr(0, entryOf(line)->valueStart) + bytes;
    } else {
        // After the section's last entry, so comments and blank lines that lead into the next section stay there.
        auto insertAt = heading + 1;
        const auto end = sectionEnd(doc, heading);
        for (auto i = heading + 1; i < end; ++i) {
            if (entryOf(doc.lines[i])) {
                insertAt = i + 1;
            }
        }
        doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entryName + "=" + bytes);
    }
}

} // namespace

IniContent::IniContent(std::string_view bytes)
{
    const auto doc = parse(std::string(bytes));
    m_utf8 = doc.utf8;
    Section* current = nullptr;
    for (const auto& line : doc.lines) {
        if (const auto name = sectionOf(line)) {
            m_sections.push_back({*name, {}, {}});
            m_index.emplace(doc.fold(*name), m_sections.size() - 1);
            current = &m_sections.back();
        } else if (const auto found = entryOf(line); found && current) {
            current->index.emplace(doc.fold(found->name), current->entries.size());
            current->entries.emplace_back(found->name, line.substr(found->valueStart));
        }
    }
}

std::string IniContent::fold(const std::string& bytes) const
{
    return m_utf8 ? toLower(bytes) : cp1252Lower(bytes);
}

std::string IniContent::key(const std::string& name) const
{
    return fold(m_utf8 ? name : utf8ToCp1252(name));
}

std::string IniContent::decode(const std::string& bytes) const
{
    return m_utf8 ? bytes : cp1252ToUtf8(bytes);
}

const IniContent::Section* IniContent::find(const std::string& section) const
{
    const auto found = m_index.find(key(section));
    return found == m_index.end() ? nullptr : &m_sections[found->second];
}

std::string IniContent::GetString(const std::string& section, const std::string& entry) const
{
    const auto* found = find(section);
    if (!found) {
        return {};
    }
    const auto at = found->index.find(key(entry));
    if (at == found->index.end()) {
        return {};
    }
    const auto& value = found->entries[at->second].second;
    return m_utf8 ? utf8Left(value, IniFile::MAX_VALUE) : cp1252ToUtf8(value.substr(0, IniFile::MAX_VALUE));
}

std::vector<std::string> IniContent::GetSection(const std::string& section) const
{
    std::vector<std::string> names;
    const auto* found = find(section);
    if (!found) {
        return names;
    }
    std::size_t used = 1; // the block's closing NUL
    for (const auto& [name, value] : found->entries) {
        used += name.size() + 1;
        if (used > IniFile::NAME_BLOCK) {
            break;
        }
        names.push_back(decode(name));
    }
    return names;
}

std::vector<std::string> IniContent::SectionNames() const
{
    std::vector<std::string> names;
    for (std::size_t i = 0; i < m_sections.size(); ++i) {
        // Only the first spelling of each name.
        if (m_index.at(fold(m_sections[i].name)) == i) {
            names.push_back(decode(m_sections[i].name));
        }
    }
    return names;
}

IniFile::IniFile(const std::string& fileName)
{
    Init(fileName);
}

IniFile& IniFile::Init(const std::string& fileName)
{
    std::string name = fileName;
    if (name.find('.') == std::string::npos) {
        name += ".INI";
    }
    if (name.find('/') == std::string::npos) {
        name = currentDirectory() + name;
    }
    m_fullPath = name;
    m_drive.clear();
    m_path = folderOf(name);
    m_ownerOnly = false;
    return *this;
}

void IniFile::SetLockWait(std::chrono::milliseconds wait)
{
    lockWait = wait;
}

IniFile& IniFile::SetOwnerOnly(bool ownerOnly)
{
    m_ownerOnly = ownerOnly;
    return *this;
}

std::string IniFile::actualPath() const
{
    return findFileNoCase(m_fullPath).value_or(m_fullPath);
}

bool IniFile::Exists() const
{
    return !m_fullPath.empty() && findFileNoCase(m_fullPath).has_value();
}

IniContent IniFile::Read() const
{
    std::string problem;
    return Read(problem);
}

IniContent IniFile::Read(std::string& problem) const
{
    problem.clear();
    if (m_fullPath.empty() || !Exists()) {
        return {};
    }
    const auto path = actualPath();
    std::string reason;
    const auto bytes = readRegularFile(path, reason);
    if (!bytes) {
        problem = "Die Datei " + path + " kann nicht gelesen werden: " + reason;
        return {};
    }
    return IniContent(*bytes);
}

std::string IniFile::GetString(const std::string& section, const std::string& entry) const
{
    return Read().GetString(section, entry);
}

std::vector<std::string> IniFile::GetSection(const std::string& section) const
{
    return Read().GetSection(section);
}

std::vector<std::string> IniFile::SectionNames() const
{
    return Read().SectionNames();
}

bool IniFile::GetLogic(const std::string& section, const std::string& entry) const
{
    return GetString(section, entry).starts_with(".T.");
}

IniWriteResult IniFile::WriteEntries(const std::vector<IniEntry>& entries)
{
    if (m_fullPath.empty()) {
        return {"Es ist keine INI-Datei angegeben.", {}};
    }
    const auto path = actualPath();
    return edit(path, m_ownerOnly, [&](Document& doc, IniWriteResult& result) {
        for (const auto& item : entries) {
            if (!fits(doc, item, path, result)) {
                return false;
            }
        }
        for (const auto& item : entries) {
            put(doc, item);
        }
        return !entries.empty();
    });
}

IniFile& IniFile::WriteString(const std::string& section, const std::string& entry, const std::string& value)
{
    [[maybe_unused]] const auto ignored = WriteEntries({{section, entry, value}});
    return *this;
}

IniFile& IniFile::DeleteEntry(const std::string& section, const std::string& entry)
{
    if (m_fullPath.empty()) {
        return *this;
    }
    edit(actualPath(), m_ownerOnly, [&](Document& doc, IniWriteResult&) {
        const auto heading = findSection(doc, section);
        const auto at = heading == NPOS ? NPOS : findEntry(doc, heading, entry);
        if (at == NPOS) {
            return false;
        }
        doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    });
    return *this;
}

IniFile& IniFile::DeleteSection(const std::string& section)
{
    if (m_fullPath.empty()) {
        return *this;
    }
    edit(actualPath(), m_ownerOnly, [&](Document& doc, IniWriteResult&) {
        const auto heading = findSection(doc, section);
        if (heading == NPOS) {
            return false;
        }
        doc.lines.erase(doc.lines.begin() + static_cast<std::ptrdiff_t>(heading),
                        doc.lines.begin() + static_cast<std::ptrdiff_t>(sectionEnd(doc, heading)));
        return true;
    });
    return *this;
}

} // namespace base
