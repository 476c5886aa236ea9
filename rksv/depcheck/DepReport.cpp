#include "rksv/depcheck/DepReport.h"

#include "base/Files.h"
#include "base/StringUtil.h"

namespace rksv {

namespace {

std::string csvField(const std::string& text)
{
    if (text.find_first_of(";\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + '"';
}

} // namespace

std::string depFaultLine(const DepFault& fault)
{
    return (fault.position == 0 ? std::string("Datei")
                                : "Beleg " + (fault.receiptId.empty() ? "?" : fault.receiptId) + " (Nr. "
                                      + std::to_string(fault.position) + ")")
           + ": " + fault.text;
}

DepReport::DepReport(std::string path)
    : m_path(std::move(path))
    , m_csv(base::toUpper(m_path).ends_with(".CSV"))
{}

bool DepReport::open()
{
    // A report past the file-size limit is a failed write, not the end of the program.
    base::ignoreFileSizeSignal();
    m_file.open(m_path, std::ios::binary | std::ios::trunc);
    if (m_csv) {
        m_file << "Nr.;Gruppe;Belegnummer;Fehler\r\n";
    }
    return m_file.good();
}

void DepReport::add(const DepFault& fault)
{
    if (m_csv) {
        m_file << fault.position << ';' << fault.group << ';' << csvField(fault.receiptId) << ';'
               << csvField(fault.text) << "\r\n";
    } else {
        m_file << depFaultLine(fault) << '\n';
    }
}

bool DepReport::close(const std::string& summary)
{
    if (m_csv) {
        m_file << ";;;" << csvField(summary) << "\r\n";
    } else {
        m_file << "Ergebnis: " << summary << '\n';
    }
    m_file.close();
    return !m_file.fail();
}

void DepFaultSpool::add(const DepFault& fault)
{
    if (m_failed) {
        return;
    }
    if (!m_file) {
        m_file = depcheck::temporaryFile();
        if (!m_file) {
            m_failed = true;
            return;
        }
    }
    depcheck::writeNumber(m_file.get(), static_cast<std::uint64_t>(fault.position));
    depcheck::writeNumber(m_file.get(), static_cast<std::uint64_t>(fault.group));
    depcheck::writeText(m_file.get(), fault.receiptId);
    depcheck::writeText(m_file.get(), fault.text);
    m_failed = std::ferror(m_file.get()) != 0;
    ++m_count;
}

bool DepFaultSpool::writeTo(DepReport& report, const std::string& summary)
{
    bool read = !m_failed;
    if (m_file && read) {
        read = std::fflush(m_file.get()) == 0;
        std::rewind(m_file.get());
        DepFault fault;
        for (long i = 0; i < m_count && read; ++i) {
            std::uint64_t position = 0;
            std::uint64_t group = 0;
            read = depcheck::readNumber(m_file.get(), position) && depcheck::readNumber(m_file.get(), group)
                   && depcheck::readText(m_file.get(), fault.receiptId) && depcheck::readText(m_file.get(), fault.text);
            if (read) {
                fault.position = static_cast<long>(position);
                fault.group = static_cast<long>(group);
                report.add(fault);
            }
        }
        std::fseek(m_file.get(), 0, SEEK_END);
    }
    return report.close(summary) && read;
}

} // namespace rksv
