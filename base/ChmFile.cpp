#include "base/ChmFile.h"

#include "base/Cp1252.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chm_lib.h>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace base {
namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string absolute(const std::string& path)
{
    return !path.empty() && path.front() == '/' ? path : "/" + path;
}

// The named characters that help pages use; anything else stays as written.
char32_t namedCharacter(std::string_view name)
{
    static const std::pair<std::string_view, char32_t> names[] = {
        {"amp", U'&'},   {"lt", U'<'},     {"gt", U'>'},     {"quot", U'"'},  {"apos", U'\''}, {"nbsp", U'\u00A0'},
        {"auml", U'ä'},  {"ouml", U'ö'},   {"uuml", U'ü'},   {"Auml", U'Ä'},  {"Ouml", U'Ö'},  {"Uuml", U'Ü'},
        {"szlig", U'ß'}, {"eacute", U'é'}, {"egrave", U'è'}, {"bdquo", U'„'}, {"ldquo", U'“'}, {"rdquo", U'”'},
        {"sbquo", U'‚'}, {"lsquo", U'‘'},  {"rsquo", U'’'},  {"ndash", U'–'}, {"mdash", U'—'}, {"euro", U'€'},
        {"copy", U'©'},  {"sect", U'§'},   {"hellip", U'…'}, {"laquo", U'«'}, {"raquo", U'»'}, {"deg", U'°'},
    };
    for (const auto& [entity, character] : names) {
        if (entity == name) {
            return character;
        }
    }
    return 0;
}

std::string decodeEntities(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto end = text.find(';', i);
        if (text[i] != '&' || end == std::string_view::npos || end - i > 10) {
            out += text[i];
            continue;
        }
        const std::string name(text.substr(i + 1, end - i - 1));
        char32_t character = 0;
        if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            character = static_cast<char32_t>(std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
        } else {
            character = namedCharacter(name);
        }
        if (character == 0) {
            out += text[i];
            continue;
        }
        appendUtf8(out, character);
        i = end;
    }
    return out;
}

// One tag: its lower-case name ("ul", "/ul", "param") and its attributes with lower-case names.
struct Tag
{
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;

    [[nodiscard]] std::string attribute(std::string_view key) const
    {
        for (const auto& [name, value] : attributes) {
            if (name == key) {
                return value;
            }
        }
        return {};
    }
};

// Reads the tag that starts at `at` (just after '<') up to its '>', which `at` is left on.
Tag readTag(std::string_view html, std::size_t& at)
{
    Tag tag;
    const auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const auto nameEnd = [&](std::size_t from) {
        while (from < html.size() && !isSpace(html[from]) && html[from] != '>' && html[from] != '=') {
            ++from;
        }
        return from;
    };
    auto end = nameEnd(at);
    tag.name = lower(html.substr(at, end - at));
    at = end;
    while (at < html.size() && html[at] != '>') {
        if (isSpace(html[at]) || html[at] == '/') {
            ++at;
            continue;
        }
        end = nameEnd(at);
        auto key = lower(html.substr(at, end - at));
        at = end;
        std::string value;
        if (at < html.size() && html[at] == '=') {
            ++at;
            if (at < html.size() && (html[at] == '"' || html[at] == '\'')) {
                const char quote = html[at++];
                end = std::min(html.find(quote, at), html.size());
                value = html.substr(at, end - at);
                at = std::min(end + 1, html.size());
            } else {
                end = at;
                while (end < html.size() && !isSpace(html[end]) && html[end] != '>') {
                    ++end;
                }
                value = html.substr(at, end - at);
                at = end;
            }
        }
        if (key.empty()) {
            ++at;
        } else {
            tag.attributes.emplace_back(std::move(key), std::move(value));
        }
    }
    return tag;
}

int collectPath(chmFile* /*file*/, chmUnitInfo* unit, void* context)
{
    const std::string path = unit->path;
    // The format's own records start with "/#" or "/$" or have no leading slash ("::DataSpace/…").
    if (path.size() > 1 && path.front() == '/' && path[1] != '#' && path[1] != '$' && path.back() != '/') {
        static_cast<std::vector<std::string>*>(context)->push_back(path);
    }
    return CHM_ENUMERATOR_CONTINUE;
}

std::string firstPage(const std::vector<ChmTopic>& topics)
{
    for (const auto& topic : topics) {
        if (!topic.local.empty()) {
            return topic.local.substr(0, topic.local.find('#'));
        }
        if (auto page = firstPage(topic.children); !page.empty()) {
            return page;
        }
    }
    return {};
}

// The whole file when it is a regular file no larger than a help file may be; otherwise nothing and the reason.
std::optional<std::string> readHelpFile(const std::string& path, std::string& problem)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? "Die Datei fehlt." : "Die Datei kann nicht geöffnet werden.";
        return std::nullopt;
    }
    struct stat status
    {
    };
    std::string bytes;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = "Die Datei ist keine gewöhnliche Datei.";
    } else if (static_cast<std::uint64_t>(status.st_size) > ChmFile::MAX_FILE_SIZE) {
        problem = "Die Datei ist größer als jede Hilfedatei ("
                  + std::to_string(static_cast<std::uint64_t>(status.st_size) / (1024 * 1024)) + " MiB).";
    } else {
        char buffer[65536];
        for (;;) {
            const auto n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                problem = "Die Datei kann nicht gelesen werden.";
                break;
            }
            if (n == 0) {
                break;
            }
            if (bytes.size() + static_cast<std::size_t>(n) > ChmFile::MAX_FILE_SIZE) {
                problem = "Die Datei ist größer als jede Hilfedatei.";
                break;
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (!problem.empty()) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

std::vector<ChmTopic> parseSitemap(std::string_view html)
{
    const auto charset = lower(html).find("charset=utf-8");
    const std::string text = charset != std::string::npos ? std::string(html) : cp1252ToUtf8(html);

    std::vector<ChmTopic> root;
    // The lists open at the moment; an entry is appended to the innermost one, a <UL> opens below the last entry.
    // Below the deepest level a <UL> opens no new level (the tree, its windows and its destruction stay shallow);
    // `below` counts those lists so that their </UL> closes none of the real ones.
    std::vector<std::vector<ChmTopic>*> lists{&root};
    std::size_t below = 0;
    std::optional<ChmTopic> entry;
    for (std::size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at)) {
        ++at;
        const Tag tag = readTag(text, at);
        if (tag.name == "ul") {
            auto* current = lists.back();
            if (lists.size() > MAX_TOPIC_DEPTH) {
                ++below;
            } else {
                lists.push_back(current->empty() ? current : &current->back().children);
            }
        } else if (tag.name == "/ul") {
            if (below > 0) {
                --below;
            } else if (lists.size() > 1) {
                lists.pop_back();
            }
        } else if (tag.name == "object") {
            if (lower(tag.attribute("type")) == "text/sitemap") {
                entry.emplace();
            }
        } else if (tag.name == "param" && entry) {
            const auto name = lower(tag.attribute("name"));
            if (name == "name") {
                entry->title = decodeEntities(tag.attribute("value"));
            } else if (name == "local") {
                entry->local = decodeEntities(tag.attribute("value"));
            }
        } else if (tag.name == "/object" && entry) {
            lists.back()->push_back(std::move(*entry));
            entry.reset();
        }
    }
    return root;
}

ChmFile::ChmFile() = default;

ChmFile::~ChmFile()
{
    close();
}

bool ChmFile::open(const std::string& path)
{
    close();
    m_problem.clear();
    const auto bytes = readHelpFile(path, m_problem);
    if (!bytes) {
        return false;
    }
    if (m_problem = chmStructureProblem(*bytes); !m_problem.empty()) {
        return false;
    }
    // chmlib opens files by name: it gets a sealed copy in memory of the bytes checked, which nobody can change.
    const int copy = ::memfd_create("chm", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    std::size_t written = 0;
    while (copy >= 0 && written < bytes->size()) {
        const auto n = ::write(copy, bytes->data() + written, bytes->size() - written);
        if (n <= 0 && errno != EINTR) {
            break;
        }
        written += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (copy >= 0 && written == bytes->size()
        && ::fcntl(copy, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) == 0) {
        m_file = chm_open(("/proc/self/fd/" + std::to_string(copy)).c_str());
    }
    if (copy >= 0) {
        ::close(copy);
    }
    if (!m_file) {
        m_problem = "Die Datei kann nicht gelesen werden.";
    }
    return m_file != nullptr;
}

void ChmFile::close()
{
    if (m_file) {
        chm_close(m_file);
        m_file = nullptr;
    }
}

std::vector<std::string> ChmFile::list() const
{
    std::vector<std::string> paths;
    if (m_file) {
        chm_enumerate(m_file, CHM_ENUMERATE_NORMAL | CHM_ENUMERATE_FILES, &collectPath, &paths);
    }
    return paths;
}

bool ChmFile::contains(const std::string& path) const
{
    chmUnitInfo unit{};
    return m_file && chm_resolve_object(m_file, absolute(path).c_str(), &unit) == CHM_RESOLVE_SUCCESS;
}

std::optional<std::string> ChmFile::read(const std::string& path) const
{
    chmUnitInfo unit{};
    if (!m_file || chm_resolve_object(m_file, absolute(path).c_str(), &unit) != CHM_RESOLVE_SUCCESS) {
        return std::nullopt;
    }
    if (unit.length > MAX_PAGE_SIZE) {
        return std::nullopt;
    }
    // In pieces, so that memory grows only with what really comes out of the file.
    constexpr std::size_t PIECE = 65536;
    std::string bytes;
    while (bytes.size() < unit.length) {
        const auto want = std::min<std::size_t>(PIECE, static_cast<std::size_t>(unit.length) - bytes.size());
        const auto at = bytes.size();
        bytes.resize(at + want);
        const auto got = chm_retrieve_object(
            m_file, &unit, reinterpret_cast<unsigned char*>(bytes.data() + at), at, static_cast<LONGINT64>(want));
        if (got != static_cast<LONGINT64>(want)) {
            return std::nullopt;
        }
    }
    return bytes;
}

std::string ChmFile::systemRecord(unsigned code) const
{
    const auto system = read("/#SYSTEM");
    if (!system) {
        return {};
    }
    const auto le16 = [&](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>((*system)[at]))
               | (static_cast<unsigned>(static_cast<unsigned char>((*system)[at + 1])) << 8);
    };
    // A version of four bytes, then records of code, length and data (a text ending in NUL).
    for (std::size_t at = 4; at + 4 <= system->size();) {
        const auto length = le16(at + 2);
        if (at + 4 + length > system->size()) {
            break;
        }
        if (le16(at) == code) {
            const auto data = system->substr(at + 4, length);
            return data.substr(0, data.find('\0'));
        }
        at += 4 + length;
    }
    return {};
}

std::string ChmFile::title() const
{
    return cp1252ToUtf8(systemRecord(3));
}

std::string ChmFile::contentsFile() const
{
    if (auto named = systemRecord(0); !named.empty() && contains(named)) {
        return named;
    }
    for (const auto& path : list()) {
        if (lower(path).ends_with(".hhc")) {
            return path.substr(1);
        }
    }
    return {};
}

std::string ChmFile::defaultTopic() const
{
    if (auto named = systemRecord(2); !named.empty()) {
        return named;
    }
    return firstPage(contents());
}

std::vector<ChmTopic> ChmFile::contents() const
{
    const auto file = contentsFile();
    if (file.empty()) {
        return {};
    }
    const auto sitemap = read(file);
    return sitemap ? parseSitemap(*sitemap) : std::vector<ChmTopic>{};
}

} // namespace base
