#include "rksv/depcheck/DepReceiptIds.h"

#include <queue>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace rksv::depcheck {

std::string temporaryFolder()
{
    const char* folder = std::getenv("TMPDIR");
    return folder != nullptr && *folder != '\0' ? folder : "/tmp";
}

FilePtr temporaryFile()
{
    std::string name = temporaryFolder() + "/vexa-quorvex-dep-XXXXXX";
    const int descriptor = ::mkstemp(name.data());
    if (descriptor < 0) {
        return FilePtr(nullptr, &std::fclose);
    }
    // Gone from the folder at once: the file lives as long as it is open, and nothing is left behind.
    ::unlink(name.c_str());
    std::FILE* file = ::fdopen(descriptor, "w+b");
    if (file == nullptr) {
        ::close(descriptor);
    }
    return FilePtr(file, &std::fclose);
}

std::string temporaryFailure(std::string_view what)
{
    return std::string(what) + " nicht in eine temporäre Datei in " + temporaryFolder()
           + " schreibbar (Ordner aus TMPDIR, sonst /tmp)";
}

void writeNumber(std::FILE* file, std::uint64_t number)
{
    std::fwrite(&number, sizeof number, 1, file);
}

void writeText(std::FILE* file, std::string_view text)
{
    writeNumber(file, text.size());
    // An empty view may point nowhere, and fwrite takes no null pointer even for nothing.
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), file);
    }
}

bool readNumber(std::FILE* file, std::uint64_t& number)
{
    return std::fread(&number, sizeof number, 1, file) == 1;
}

bool readText(std::FILE* file, std::string& text)
{
    std::uint64_t length = 0;
    if (!readNumber(file, length) || length > (std::uint64_t{1} << 32)) {
        return false;
    }
    text.resize(length);
    return std::fread(text.data(), 1, length, file) == length;
}

bool ReceiptIds::add(std::string_view kassenId, std::string_view belegnummer, long position, long group)
{
    std::string key;
    key.reserve(kassenId.size() + 1 + belegnummer.size());
    key.append(kassenId).append(1, '\0').append(belegnummer);
    m_entries.push_back({std::move(key), position, group});
    if (m_entries.size() >= m_inMemory) {
        spill();
    }
    return !m_failed;
}

bool ReceiptIds::findRepeats(const std::function<void(long, long, const std::string&, long)>& repeated)
{
    std::string firstKey;
    long firstPosition = 0;
    bool any = false;
    const auto each = [&](const Entry& entry) {
        if (any && entry.key == firstKey) {
            repeated(entry.position, entry.group, entry.key.substr(entry.key.find('\0') + 1), firstPosition);
        } else {
            firstKey = entry.key;
            firstPosition = entry.position;
            any = true;
        }
    };
    if (m_runs.empty()) {
        std::sort(m_entries.begin(), m_entries.end());
        std::for_each(m_entries.begin(), m_entries.end(), each);
        return true;
    }
    spill();
    return !m_failed && merge(each);
}

void ReceiptIds::writeEntry(std::FILE* file, const Entry& entry)
{
    writeText(file, entry.key);
    writeNumber(file, static_cast<std::uint64_t>(entry.position));
    writeNumber(file, static_cast<std::uint64_t>(entry.group));
}

bool ReceiptIds::readEntry(std::FILE* file, Entry& entry)
{
    std::uint64_t position = 0;
    std::uint64_t group = 0;
    if (!readText(file, entry.key) || !readNumber(file, position) || !readNumber(file, group)) {
        return false;
    }
    entry.position = static_cast<long>(position);
    entry.group = static_cast<long>(group);
    return true;
}

void ReceiptIds::keepRun(FilePtr file)
{
    m_failed = m_failed || !file || std::fflush(file.get()) != 0 || std::ferror(file.get()) != 0;
    if (!m_failed) {
        std::rewind(file.get());
        m_runs.push_back(std::move(file));
    }
}

void ReceiptIds::spill()
{
    if (m_entries.empty() || m_failed) {
        m_entries.clear();
        return;
    }
    std::sort(m_entries.begin(), m_entries.end());
    FilePtr file = temporaryFile();
    for (const auto& entry : m_entries) {
        if (file) {
            writeEntry(file.get(), entry);
        }
    }
    m_entries.clear();
    keepRun(std::move(file));
    if (m_runs.size() >= MAX_RUNS && !m_failed) {
        FilePtr merged = temporaryFile();
        if (merged && merge([&merged](const Entry& entry) { writeEntry(merged.get(), entry); })) {
            m_runs.clear();
            keepRun(std::move(merged));
        } else {
            m_failed = true;
        }
    }
}

bool ReceiptIds::merge(const std::function<void(const Entry&)>& each)
{
    using Head = std::pair<Entry, std::size_t>;
    const auto later = [](const Head& a, const Head& b) { return b.first < a.first; };
    std::priority_queue<Head, std::vector<Head>, decltype(later)> heads(later);
    for (std::size_t run = 0; run < m_runs.size(); ++run) {
        Entry entry;
        if (readEntry(m_runs[run].get(), entry)) {
            heads.emplace(std::move(entry), run);
        }
    }
    while (!heads.empty()) {
        Head head = heads.top();
        heads.pop();
        each(head.first);
        if (readEntry(m_runs[head.second].get(), head.first)) {
            heads.push(std::move(head));
        }
    }
    return std::none_of(m_runs.begin(), m_runs.end(), [](const FilePtr& run) { return std::ferror(run.get()) != 0; });
}

} // namespace rksv::depcheck
