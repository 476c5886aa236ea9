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

//! Well-formed XML indented by two spaces per level, its prefixes, attributes and text kept; any other text as it
//! came. Whitespace between elements is replaced by the indentation.
QString indentXml(const QString& xml);

} // namespace widgets
