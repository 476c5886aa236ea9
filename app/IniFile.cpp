#include "app/IniFile.h"

#include "app/Cp1252.h"
#include "app/Files.h"
#include "app/StringUtil.h"

#include <algorithm>
#include <optional>
#include <sys/stat.h>

namespace app {
namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

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

} // namespace

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

namespace {

Document load(const std::string& path)
{
    return parse(readWholeFile(path).value_or(std::string()));
}

// Reads the file, lets `change` edit it and writes it back when `change` says it changed something. A file that
// exists but cannot be read is left alone: writing would destroy what it holds.
template <class Change> void edit(const std::string& path, Change&& change)
{
    Document doc;
    if (auto bytes = readWholeFile(path)) {
        doc = parse(std::move(*bytes));
    } else if (struct stat st{}; ::stat(path.c_str(), &st) == 0) {
        return;
    }
    if (change(doc)) {
        writeFileAtomically(path, serialize(doc), S_IRUSR | S_IWUSR);
    }
}

} // namespace

std::string IniFile::GetString(const std::string& section, const std::string& entry) const
{
    if (m_fullPath.empty()) {
        return {};
    }
    const auto doc = load(actualPath());
    const auto heading = findSection(doc, section);
    if (heading == NPOS) {
        return {};
    }
    const auto at = findEntry(doc, heading, entry);
    if (at == NPOS) {
        return {};
    }
    const auto& line = doc.lines[at];
    const auto value = line.substr(entryOf(line)->valueStart);
    return doc.utf8 ? utf8Left(value, MAX_VALUE) : cp1252ToUtf8(value.substr(0, MAX_VALUE));
}

IniFile& IniFile::WriteString(const std::string& section, const std::string& entry, const std::string& value)
{
    if (m_fullPath.empty()) {
        return *this;
    }
    edit(actualPath(), [&](Document& doc) {
        const auto sectionName = doc.encode(withoutLineBreaks(section));
        const auto entryName = doc.encode(withoutLineBreaks(entry));
        const auto bytes = doc.encode(withoutLineBreaks(value));
        const auto heading = findSection(doc, section);
        if (heading == NPOS) {
            doc.lines.push_back("[" + sectionName + "]");
            doc.lines.push_back(entryName + "=" + bytes);
            doc.finalEol = true;
        } else if (const auto at = findEntry(doc, heading, entry); at != NPOS) {
            auto& line = doc.lines[at];
            line = line.substr(0, entryOf(line)->valueStart) + bytes;
        } else {
            // After the section's last entry, so comments and blank lines that lead into the next section stay
            // there.
            auto insertAt = heading + 1;
            const auto end = sectionEnd(doc, heading);
            for (auto i = heading + 1; i < end; ++i) {
                if (entryOf(doc.lines[i])) {
                    insertAt = i + 1;
                }
            }
            doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entryName + "=" + bytes);
        }
        return true;
    });
    return *this;
}

std::vector<std::string> IniFile::GetSection(const std::string& section) const
{
    std::vector<std::string> names;
    if (m_fullPath.empty()) {
        return names;
    }
    const auto doc = load(actualPath());
    const auto heading = findSection(doc, section);
    if (heading == NPOS) {
        return names;
    }
    std::size_t used = 1; // the block's closing NUL
    const auto end = sectionEnd(doc, heading);
    for (auto i = heading + 1; i < end; ++i) {
        if (const auto found = entryOf(doc.lines[i])) {
            used += found->name.size() + 1;
            if (used > NAME_BLOCK) {
                break;
            }
            names.push_back(doc.decode(found->name));
        }
    }
    return names;
}

IniFile& IniFile::DeleteEntry(const std::string& section, const std::string& entry)
{
    if (m_fullPath.empty()) {
        return *this;
    }
    edit(actualPath(), [&](Document& doc) {
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
    edit(actualPath(), [&](Document& doc) {
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

bool IniFile::GetLogic(const std::string& section, const std::string& entry) const
{
    return GetString(section, entry).starts_with(".T.");
}

std::vector<std::string> IniFile::SectionNames() const
{
    std::vector<std::string> names;
    if (m_fullPath.empty()) {
        return names;
    }
    const auto doc = load(actualPath());
    std::vector<std::string> folded;
    for (const auto& line : doc.lines) {
        if (const auto name = sectionOf(line)) {
            auto key = doc.fold(*name);
            if (std::find(folded.begin(), folded.end(), key) == folded.end()) {
                folded.push_back(std::move(key));
                names.push_back(doc.decode(*name));
            }
        }
    }
    return names;
}

} // namespace app
