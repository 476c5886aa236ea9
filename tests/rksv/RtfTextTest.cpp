// The RTF reader of the help box: what help files hold, the shipped help files themselves, and broken input.
#include "rksv/gui/RtfText.h"

#include "base/Files.h"
#include "tests/support/TestPaths.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using rksv::gui::rtfToHtml;

std::size_t count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) {
        ++n;
    }
    return n;
}

bool validUtf8(const std::string& text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// What the help box needs of any output: well-formed UTF-8, every paragraph and format closed, no stray markup.
void expectSound(const std::string& input, const std::string& html)
{
    SCOPED_TRACE(input.substr(0, 80));
    EXPECT_TRUE(validUtf8(html));
    EXPECT_EQ(count(html, "<p "), count(html, "</p>"));
    EXPECT_EQ(count(html, "<b>"), count(html, "</b>"));
    EXPECT_EQ(count(html, "<i>"), count(html, "</i>"));
    EXPECT_EQ(count(html, "<u>"), count(html, "</u>"));
    EXPECT_EQ(count(html, "<span"), count(html, "</span>"));
    EXPECT_LE(html.size(), 200 * input.size() + 100) << "output grows with the input, not beyond";
}

std::string html(const std::string& rtf)
{
    auto out = rtfToHtml(rtf);
    expectSound(rtf, out);
    return out;
}

TEST(RtfText, CharactersOfTheCodePageAndOfUnicode)
{
    EXPECT_NE(html(R"({\rtf1\ansi Gr\'fc\'dfe aus \'d6sterreich: \'e4\'f6\'fc\'c4\'d6\'dc\par})")
                  .find("Grüße aus Österreich: äöüÄÖÜ"),
              std::string::npos);
    EXPECT_NE(html(R"({\rtf1 Preis: 5 \u8364?, \'80 und \'84zitiert\'93})").find("Preis: 5 €, € und „zitiert“"),
              std::string::npos)
        << "the fallback ? is skipped";
    EXPECT_NE(html(R"({\rtf1\uc2\u8364\'80\'80 x\uc0\u8364 y})").find("€ x€y"), std::string::npos)
        << "\\uc gives the length of the fallback";
    EXPECT_NE(html(R"({\rtf1 a\u-10179?\u-8704?b})")
                  .find("a\xF0\x9F\x98\x80"
                        "b"),
              std::string::npos)
        << "a surrogate pair written as two negative values";
    EXPECT_NE(html("{\\rtf1 roh \xE4\x80}").find("roh ä€"), std::string::npos) << "unescaped Windows-1252 bytes";
    EXPECT_NE(html(R"({\rtf1 \{a\} b\\c & <d> "e"})").find(R"({a} b\c &amp; &lt;d&gt; &quot;e&quot;)"),
              std::string::npos);
    EXPECT_NE(html(R"({\rtf1 \bullet\~x\endash y\emdash z\lquote q\rquote\ldblquote w\rdblquote})")
                  .find("•\u00A0x–y—z‘q’“w”"),
              std::string::npos);
    EXPECT_NE(html("{\\rtf1 a\\'00b\\u7?c\\u0?d\\'9d}").find(">abcd<"), std::string::npos)
        << "control characters are dropped";
}

TEST(RtfText, ParagraphsLinesTabsAndFormats)
{
    const auto text = html(R"({\rtf1 eins\par zwei\line drei\tab vier\par\par f\'fcnf\par})");
    EXPECT_EQ(count(text, "<p "), 4u) << "four, the third empty; the last \\par only ends one";
    EXPECT_NE(text.find(">eins</p>"), std::string::npos);
    EXPECT_NE(text.find(">zwei<br />drei\tvier</p>"), std::string::npos);
    EXPECT_NE(text.find(">&nbsp;</p>"), std::string::npos) << "an empty paragraph keeps its line";
    EXPECT_NE(text.find(">fünf</p>"), std::string::npos);
    EXPECT_NE(text.find("white-space:pre-wrap"), std::string::npos) << "blanks are kept as RTF keeps them";

    const auto formats =
        html(R"({\rtf1 a{\b fett}b\b c\b0 d\i e\i0\ul f\ulnone g{\i\ul h}i\b1 j\plain k\ul0 l{\fs28 m}})");
    EXPECT_NE(formats.find("a<b>fett</b>b<b>c</b>d<i>e</i><u>f</u>g<i><u>h</u></i>i<b>j</b>kl"), std::string::npos)
        << formats;
    EXPECT_NE(formats.find(R"(<span style="font-size:14pt;">m</span>)"), std::string::npos) << formats;
}

TEST(RtfText, TablesInformationAndOptionalDestinationsAreLeftOut)
{
    const auto text = html(R"({\rtf1\ansi\ansicpg1252\deff0{\fonttbl{\f0\fswiss\fcharset0 Arial;}{\f1 Courier New;}})"
                           R"({\colortbl ;\red255\green0\blue0;}{\stylesheet{\s0 Normal;}{\s1 heading 1;}})"
                           R"({\info{\title Titel}{\author Autor}{\*\company Firma}})"
                           R"({\*\generator Riched20 10.0;}{\*\unbekannt{\b versteckt}\par noch versteckt})"
                           R"({\pict\wmetafile8 0102ff}{\field{\*\fldinst HYPERLINK "x"}{\fldrslt Verweis}})"
                           R"(\viewkind4\uc1\pard\f0\fs20 Sichtbar\par})");
    for (const char* hidden : {"Arial",
                               "Courier",
                               "Normal",
                               "heading",
                               "Titel",
                               "Autor",
                               "Firma",
                               "Riched",
                               "versteckt",
                               "0102ff",
                               "HYPERLINK",
                               "red255"}) {
        EXPECT_EQ(text.find(hidden), std::string::npos) << hidden << " in " << text;
    }
    EXPECT_NE(text.find("Verweis"), std::string::npos) << "a field shows its result";
    EXPECT_NE(text.find("Sichtbar"), std::string::npos);
    EXPECT_EQ(count(text, "<p "), 1u) << "the hidden \\par makes no paragraph";
    EXPECT_NE(html(R"({\rtf1 a\bin3 }}}b})").find(">ab<"), std::string::npos) << "binary data is skipped exactly";
}

TEST(RtfText, PlainTextAndNothing)
{
    EXPECT_EQ(rtfToHtml(""), "");
    EXPECT_EQ(rtfToHtml(" \r\n"), "");
    EXPECT_EQ(rtfToHtml("{\\rtf1 }"), "");
    const auto plain = html("Zeile \xE4<1>\r\nZeile 2\r\n");
    EXPECT_NE(plain.find(">Zeile ä&lt;1&gt;</p>"), std::string::npos) << plain;
    EXPECT_NE(plain.find(">Zeile 2</p>"), std::string::npos);
    EXPECT_EQ(count(plain, "<p "), 2u);
}

TEST(RtfText, BrokenInputGivesWhatCanBeRead)
{
    std::string deep = "{\\rtf1 ";
    deep += std::string(100000, '{') + "tief";
    const std::string words = "{\\rtf1 \\" + std::string(100000, 'x') + "123456789012345678901234567890 y}";
    for (const std::string& input : {
             std::string("{\\rtf1"),
             std::string("{\\rtf1 \\"),
             std::string("{\\rtf1 \\'"),
             std::string("{\\rtf1 \\'4"),
             std::string("{\\rtf1 \\'zz x"),
             std::string("{\\rtf1 \\u"),
             std::string("{\\rtf1 \\u-"),
             std::string("{\\rtf1 \\u99999999999999999999999 x}"),
             std::string("{\\rtf1 \\u-99999999999999999999999 x}"),
             std::string("{\\rtf1 \\u-10179"),
             std::string("{\\rtf1 \\u-10179?\\u-10179?x\\u-8704?}"),
             std::string("{\\rtf1 \\bin999999999999999 abc}"),
             std::string("{\\rtf1 \\bin-5 abc}"),
             std::string("{\\rtf1 \\uc99999999\\u8364 abc}"),
             std::string("{\\rtf1 \\fs999999999 x\\fs-3 y}"),
             std::string("{\\rtf1 x}}}}}}}}}}}}}}}} y {{{{ z"),
             std::string("{\\rtf1 {\\*"),
             std::string("{\\rtf1 \0\0\0 x\0}", 14),
             deep,
             words,
         }) {
        html(input);
    }
    EXPECT_NE(html(deep).find("tief"), std::string::npos);
    EXPECT_NE(html(words).find("y"), std::string::npos);
    EXPECT_NE(html("{\\rtf1 \\'zz x}")
                  .find("\xEF\xBF\xBD"
                        "zz x"),
              std::string::npos)
        << "a broken escape stands for one unknown character";

    // Formats set beyond the deepest group kept end with the groups that hold them.
    const auto nested = html("{\\rtf1 " + std::string(300, '{') + "\\b tief" + std::string(300, '}') + " danach}");
    EXPECT_NE(nested.find("<b>tief</b>"), std::string::npos);
    EXPECT_NE(nested.find(" danach"), std::string::npos);
    EXPECT_EQ(count(nested, "<b>"), 1u);
}

// Random input built from the characters RTF gives meaning to, and the shipped help files cut and altered at random
// places; a fixed seed, so a failure repeats.
TEST(RtfText, RandomAndDamagedInput)
{
    std::mt19937 random(20260203);
    const std::string alphabet = "{}\\\\\\''*09-8uucbinparlinetabfonttblpnx \r\n\xE4\x80";
    for (int round = 0; round < 3000; ++round) {
        std::string input = "{\\rtf1 ";
        const auto length = std::uniform_int_distribution<int>(0, 400)(random);
        for (int i = 0; i < length; ++i) {
            input += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(random)];
        }
        html(input);
    }
    const auto file = base::readWholeFile(std::string(test_paths::RKSV_HELP_DIR) + "/StatusbelegS.rtf");
    ASSERT_TRUE(file);
    for (int round = 0; round < 1000; ++round) {
        std::string damaged = *file;
        for (int change = 0; change < 8; ++change) {
            const auto at = std::uniform_int_distribution<std::size_t>(0, damaged.size() - 1)(random);
            switch (round % 3) {
            case 0:
                damaged.erase(at, std::uniform_int_distribution<std::size_t>(1, 20)(random));
                break;
            case 1:
                damaged[at] = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(random));
                break;
            default:
                damaged.insert(at, 1, "{}\\'"[round % 4]);
            }
            if (damaged.empty()) {
                damaged = "{";
            }
        }
        html(damaged);
        html(damaged.substr(0, damaged.size() / 2));
    }
}

// The help files as shipped: RTF of the Windows code page written with escapes only, CR LF line ends, and German
// text the reader understands.
TEST(RtfText, TheHelpFilesOfTheStatusReceipts)
{
    const struct
    {
        const char* file;
        const char* heading;
        const char* phrase;
    } files[] = {
        {"Statusbeleg.rtf", "Statusbelege", "Registrierkassensicherheitsverordnung"},
        {"StatusbelegA.rtf", "Startbeleg", "„BMF Belegcheck“"},
        {"StatusbelegM.rtf", "Monatsbeleg", "Umsatzzählers"},
        {"StatusbelegJ.rtf", "Jahresbeleg", "15. Februar"},
        {"StatusbelegS.rtf", "Sammelbeleg", "„Sicherheitseinrichtung ausgefallen“"},
        {"StatusbelegE.rtf", "Schlussbeleg", "Außerbetriebnahme"},
    };
    for (const auto& help : files) {
        SCOPED_TRACE(help.file);
        const auto bytes = base::readWholeFile(std::string(test_paths::RKSV_HELP_DIR) + "/" + help.file);
        ASSERT_TRUE(bytes);
        EXPECT_TRUE(bytes->starts_with("{\\rtf1\\ansi\\ansicpg1252"));
        for (std::size_t i = 0; i < bytes->size(); ++i) {
            const auto c = static_cast<unsigned char>((*bytes)[i]);
            ASSERT_LT(c, 0x80) << "at " << i;
            if (c == '\n') {
                ASSERT_TRUE(i > 0 && (*bytes)[i - 1] == '\r') << "a bare LF at " << i;
            }
        }
        EXPECT_TRUE(bytes->ends_with("}\r\n"));
        const auto text = html(*bytes);
        EXPECT_NE(text.find(std::string("<b>") + help.heading + "</b>"), std::string::npos);
        EXPECT_NE(text.find(help.phrase), std::string::npos);
        EXPECT_EQ(text.find('\\'), std::string::npos) << "no RTF left over";
        EXPECT_EQ(text.find("Arial"), std::string::npos);
    }
}

} // namespace
