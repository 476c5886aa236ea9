#pragma once

#include <string>
#include <string_view>

namespace rksv::gui {

/**
 * The rich text (the HTML subset of Qt's text widgets, UTF-8) of an RTF document as help files hold it: paragraphs
 * (\par), line breaks (\line), tabs, bold, italic, underline, font sizes (\fs), Windows-1252 bytes and \'hh escapes,
 * Unicode characters (\uN, skipping their fallback as \ucN says) and the escaped "{", "}" and "\". Font, colour and
 * style tables, document information, pictures and every "\*" destination are left out; fonts and colours are not
 * applied. Text that does not begin with "{\rtf" is taken as plain Windows-1252 text, one paragraph a line.
 *
 * Never fails: broken input (unbalanced braces, cut-off escapes, absurd numbers, deep nesting) gives whatever text
 * could be read, in time and memory linear in the input. "" when there is no text.
 */
std::string rtfToHtml(std::string_view rtf);

} // namespace rksv::gui
