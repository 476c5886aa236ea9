#include "rksv/gui/RtfText.h"

#include "base/Cp1252.h"
#include "base/StringUtil.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <vector>

namespace rksv::gui {
namespace {

// Groups nested deeper than this share the state of the deepest one kept; no help file comes near it.
constexpr std::size_t MAX_DEPTH = 256;
// Control words are at most 32 letters and their parameters at most 10 digits; longer ones are read and cut.
constexpr std::size_t MAX_WORD = 32;
constexpr int MAX_DIGITS = 10;
constexpr int MAX_FALLBACK = 16;
constexpr char32_t REPLACEMENT = 0xFFFD;

struct Format
{
    bool bold = false;
    bool italic = false;
    bool underline = false;
    int halfPoints = 0; // 0: the widget's own size

    bool operator==(const Format&) const = default;
};

struct State
{
    Format format;
    bool skip = false; // inside a destination that is not shown
    int fallback = 1;  // characters that follow a \uN as its fallback (\uc)
};

struct Span
{
    Format format;
    std::string text; // UTF-8; '\n' for \line, '\t' for a tab
};

using Paragraph = std::vector<Span>;

// Destinations whose content is no text of the document.
constexpr std::string_view HIDDEN[] = {
    "annotation", "author",   "blipuid",      "bkmkend",
    "bkmkstart",  "buptim",   "colortbl",     "comment",
    "company",    "creatim",  "datastore",    "colorschememapping",
    "doccomm",    "docvar",   "falt",         "fldinst",
    "filetbl",    "fonttbl",  "footer",       "footerf",
    "footerl",    "footerr",  "footnote",     "generator",
    "header",     "headerf",  "headerl",      "headerr",
    "info",       "keywords", "latentstyles", "listoverridetable",
    "listtable",  "object",   "operator",     "pict",
    "printim",    "revtbl",   "revtim",       "rsidtbl",
    "stylesheet", "subject",  "themedata",    "title",
};

struct Named
{
    std::string_view word;
    char32_t character;
};
constexpr Named CHARACTERS[] = {
    {"bullet", 0x2022},
    {"emdash", 0x2014},
    {"endash", 0x2013},
    {"emspace", ' '},
    {"enspace", ' '},
    {"qmspace", ' '},
    {"lquote", 0x2018},
    {"rquote", 0x2019},
    {"ldblquote", 0x201C},
    {"rdblquote", 0x201D},
};

// The character a Windows-1252 byte stands for.
char32_t cp1252(unsigned char byte)
{
    if (byte < 0x80) {
        return byte;
    }
    const auto utf8 = base::cp1252ToUtf8(std::string_view(reinterpret_cast<const char*>(&byte), 1));
    const auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(utf8[i])); };
    if (utf8.size() == 2) {
        return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    }
    if (utf8.size() == 3) {
        return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    }
    return REPLACEMENT;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool isLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

class Document
{
public:
    void add(char32_t cp, const Format& format)
    {
        // Controls other than tab and line break have no place in the shown text.
        if ((cp < 0x20 && cp != '\t' && cp != '\n') || (cp >= 0x7F && cp < 0xA0) || cp > 0x10FFFF) {
            return;
        }
        if (m_current.empty() || !(m_current.back().format == format)) {
            m_current.push_back({format, {}});
        }
        base::appendUtf8(m_current.back().text, cp);
    }

    void endParagraph()
    {
        m_paragraphs.push_back(std::move(m_current));
        m_current.clear();
    }

    std::string html()
    {
        if (!m_current.empty()) {
            endParagraph();
        }
        // Trailing empty paragraphs (the "\par" before the closing brace) show nothing.
        while (!m_paragraphs.empty() && m_paragraphs.back().empty()) {
            m_paragraphs.pop_back();
        }
        std::string out;
        for (const auto& paragraph : m_paragraphs) {
            // RTF keeps every blank and tab as written.
            out += "<p style=\"margin-top:0px; margin-bottom:0px; white-space:pre-wrap;\">";
            if (paragraph.empty()) {
                out += "&nbsp;";
            }
            for (const auto& span : paragraph) {
                appendSpan(out, span);
            }
            out += "</p>";
        }
        return out;
    }

private:
    static void appendSpan(std::string& out, const Span& span)
    {
        const auto& f = span.format;
        if (f.halfPoints > 0) {
            out += "<span style=\"font-size:" + std::to_string(f.halfPoints / 2) + (f.halfPoints % 2 != 0 ? ".5" : "")
                   + "pt;\">";
        }
        out += f.bold ? "<b>" : "";
        out += f.italic ? "<i>" : "";
        out += f.underline ? "<u>" : "";
        // Quotes as references too, and line breaks inside a paragraph as <br />.
        out += base::replaceAll(base::replaceAll(base::escapeXml(span.text), "\"", "&quot;"), "\n", "<br />");
        out += f.underline ? "</u>" : "";
        out += f.italic ? "</i>" : "";
        out += f.bold ? "</b>" : "";
        out += f.halfPoints > 0 ? "</span>" : "";
    }

    std::vector<Paragraph> m_paragraphs;
    Paragraph m_current;
};

class Parser
{
public:
    explicit Parser(std::string_view in)
        : m_in(in)
    {
        m_states.reserve(32);
        m_states.emplace_back();
    }

    std::string run()
    {
        while (m_pos < m_in.size()) {
            const char c = m_in[m_pos++];
            switch (c) {
            case '{':
                openGroup();
                break;
            case '}':
                closeGroup();
                break;
            case '\\':
                control();
                break;
            case '\r':
            case '\n':
                break; // line ends of the file are no text
            default:
                text(cp1252(static_cast<unsigned char>(c)));
            }
        }
        return m_document.html();
    }

private:
    State& state() { return m_states.back(); }

    void openGroup()
    {
        m_pendingFallback = 0;
        if (m_states.size() >= MAX_DEPTH) {
            ++m_excessDepth;
            return;
        }
        const State inner = state();
        m_states.push_back(inner);
    }

    void closeGroup()
    {
        m_pendingFallback = 0;
        if (m_excessDepth > 0) {
            --m_excessDepth;
        } else if (m_states.size() > 1) {
            m_states.pop_back();
        }
        // A brace too many closes nothing.
    }

    // One character of text; it may be the fallback of a \uN before it.
    void text(char32_t cp)
    {
        if (m_pendingFallback > 0) {
            --m_pendingFallback;
            return;
        }
        if (m_highSurrogate != 0) {
            m_highSurrogate = 0;
            emit(REPLACEMENT);
        }
        emit(cp);
    }

    void emit(char32_t cp)
    {
        if (!state().skip) {
            m_document.add(cp, state().format);
        }
    }

    void control()
    {
        if (m_pos >= m_in.size()) {
            return; // a backslash at the very end
        }
        const char c = m_in[m_pos];
        if (!isLetter(c)) {
            ++m_pos;
            symbol(c);
            return;
        }
        std::string word;
        while (m_pos < m_in.size() && isLetter(m_in[m_pos])) {
            if (word.size() < MAX_WORD) {
                word += m_in[m_pos];
            }
            ++m_pos;
        }
        std::optional<long long> parameter;
        bool negative = false;
        if (m_pos + 1 < m_in.size() && m_in[m_pos] == '-' && m_in[m_pos + 1] >= '0' && m_in[m_pos + 1] <= '9') {
            negative = true;
            ++m_pos;
        }
        int digits = 0;
        long long value = 0;
        while (m_pos < m_in.size() && m_in[m_pos] >= '0' && m_in[m_pos] <= '9') {
            if (digits++ < MAX_DIGITS) {
                value = value * 10 + (m_in[m_pos] - '0');
            }
            ++m_pos;
        }
        if (digits > 0) {
            value = std::min<long long>(value, INT_MAX);
            parameter = negative ? -value : value;
        }
        if (m_pos < m_in.size() && m_in[m_pos] == ' ') {
            ++m_pos; // the blank that ends a control word belongs to it
        }
        controlWord(word, parameter);
    }

    void symbol(char c)
    {
        switch (c) {
        case '\\':
        case '{':
        case '}':
            text(static_cast<unsigned char>(c));
            break;
        case '\'': {
            const int high = m_pos < m_in.size() ? hexDigit(m_in[m_pos]) : -1;
            const int low = m_pos + 1 < m_in.size() ? hexDigit(m_in[m_pos + 1]) : -1;
            if (high >= 0 && low >= 0) {
                m_pos += 2;
                text(cp1252(static_cast<unsigned char>(high * 16 + low)));
            } else {
                text(REPLACEMENT); // a broken escape still stands for one character
            }
            break;
        }
        case '~':
            text(0xA0);
            break;
        case '_':
            text('-');
            break;
        case '*':
            state().skip = true; // an optional destination: none of them is shown
            break;
        case '\r':
        case '\n':
            if (!consumeFallback()) {
                paragraph();
            }
            break;
        case '\t':
            text('\t');
            break;
        default:
            consumeFallback(); // \- \: \| and unknown symbols show nothing
        }
    }

    // A control word or symbol that follows a \uN counts as one character of its fallback.
    bool consumeFallback()
    {
        if (m_pendingFallback > 0) {
            --m_pendingFallback;
            return true;
        }
        return false;
    }

    void paragraph()
    {
        if (!state().skip) {
            m_document.endParagraph();
        }
    }

    static bool on(const std::optional<long long>& parameter) { return !parameter || *parameter != 0; }

    void controlWord(const std::string& word, const std::optional<long long>& parameter)
    {
        if (word == "bin") {
            // Binary data: exactly that many bytes, whatever they hold.
            const auto count = static_cast<std::size_t>(std::max<long long>(parameter.value_or(0), 0));
            m_pos += std::min(count, m_in.size() - m_pos);
            return;
        }
        if (word == "u") {
            if (consumeFallback()) {
                return;
            }
            unicode(parameter.value_or(0));
            return;
        }
        if (std::find(std::begin(HIDDEN), std::end(HIDDEN), word) != std::end(HIDDEN)) {
            state().skip = true;
            return;
        }
        if (consumeFallback()) {
            return;
        }
        auto& format = state().format;
        if (word == "par" || word == "sect" || word == "page") {
            paragraph();
        } else if (word == "line") {
            text('\n');
        } else if (word == "tab") {
            text('\t');
        } else if (word == "b") {
            format.bold = on(parameter);
        } else if (word == "i") {
            format.italic = on(parameter);
        } else if (word == "ul" || word == "uld" || word == "uldb" || word == "ulw" || word == "uldash"
                   || word == "ulth") {
            format.underline = on(parameter);
        } else if (word == "ulnone") {
            format.underline = false;
        } else if (word == "fs") {
            const auto size = parameter.value_or(24);
            format.halfPoints = size >= 2 && size <= 400 ? static_cast<int>(size) : 0;
        } else if (word == "plain") {
            format = Format{};
        } else if (word == "uc") {
            state().fallback = static_cast<int>(std::clamp<long long>(parameter.value_or(1), 0, MAX_FALLBACK));
        } else {
            for (const auto& named : CHARACTERS) {
                if (word == named.word) {
                    text(named.character);
                    break;
                }
            }
        }
    }

    void unicode(long long value)
    {
        // Values above 32767 are written negative (a signed 16-bit number).
        const char32_t unit = static_cast<char32_t>(value < 0 ? value + 65536 : value) & 0xFFFF;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (m_highSurrogate != 0) {
                emit(REPLACEMENT);
            }
            m_highSurrogate = unit;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            if (m_highSurrogate != 0) {
                emit(0x10000 + ((m_highSurrogate - 0xD800) << 10) + (unit - 0xDC00));
                m_highSurrogate = 0;
            } else {
                emit(REPLACEMENT);
            }
        } else {
            if (m_highSurrogate != 0) {
                m_highSurrogate = 0;
                emit(REPLACEMENT);
            }
            emit(unit);
        }
        m_pendingFallback = state().fallback;
    }

    std::string_view m_in;
    std::size_t m_pos = 0;
    std::vector<State> m_states;
    std::size_t m_excessDepth = 0;
    int m_pendingFallback = 0;
    char32_t m_highSurrogate = 0;
    Document m_document;
};

std::string plainText(std::string_view bytes)
{
    Document document;
    const Format format;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            document.endParagraph();
        } else if (c != '\r') {
            document.add(cp1252(c), format);
        }
    }
    return document.html();
}

} // namespace

std::string rtfToHtml(std::string_view rtf)
{
    const auto start = rtf.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos) {
        return {};
    }
    if (rtf.substr(start, 5) != "{\\rtf") {
        return plainText(rtf);
    }
    return Parser(rtf.substr(start)).run();
}

} // namespace rksv::gui
