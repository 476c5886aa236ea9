#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

namespace widgets {

/**
 * The viewer of an answer from FinanzOnline: the XML indented, read-only in a fixed-width font, selectable (Ctrl+C
 * copies the selection), "Kopieren" copies the whole text, "Schließen" or Esc closes. F1 opens the help page on the
 * answer.
 */
class DlgXmlAnzeige : public QDialog
{
    Q_OBJECT

public:
    DlgXmlAnzeige(const QString& caption, const QString& xml, QWidget* owner);

    //! The text as shown.
    [[nodiscard]] QString text() const;
    //! Puts the whole text on the clipboard.
    void copyAll() const;

private:
    QPlainTextEdit* m_txtXml;
    QPushButton* m_pshKopieren;
    QPushButton* m_pshSchliessen;
};

//! The deepest nesting of elements indentXml indents; FinanzOnline's answers nest about ten levels.
inline constexpr int MAX_INDENTED_DEPTH = 100;
//! The longest text (in UTF-16 units) indentXml indents.
inline constexpr qsizetype MAX_INDENTED_SIZE = qsizetype{8} * 1024 * 1024;

//! Well-formed XML indented by two spaces per level, its prefixes, attributes and text kept; any other text as it
//! came. Whitespace between elements is replaced by the indentation. XML nested deeper than MAX_INDENTED_DEPTH or
//! longer than MAX_INDENTED_SIZE is returned as it came: time and memory stay linear in the text's length.
QString indentXml(const QString& xml);

} // namespace widgets
