#include "widgets/DlgXmlAnzeige.h"

#include "widgets/DtaHilfe.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace widgets {

QString indentXml(const QString& xml)
{
    // The indentation grows with the depth on every line; within these bounds the indented text stays a small
    // multiple of the answer, beyond them the answer is shown as it came.
    if (xml.size() > MAX_INDENTED_SIZE) {
        return xml;
    }
    QString out;
    int depth = 0;
    QXmlStreamReader reader(xml);
    QXmlStreamWriter writer(&out);
    writer.setAutoFormatting(true);
    writer.setAutoFormattingIndent(2);
    // Names are written as they came (prefix and all): the writer's own namespace handling would rename prefixes.
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (++depth > MAX_INDENTED_DEPTH) {
                return xml;
            }
            writer.writeStartElement(reader.qualifiedName().toString());
            for (const auto& declaration : reader.namespaceDeclarations()) {
                const QString prefix = declaration.prefix().toString();
                writer.writeAttribute(prefix.isEmpty() ? QStringLiteral("xmlns") : QStringLiteral("xmlns:") + prefix,
                                      declaration.namespaceUri().toString());
            }
            for (const auto& attribute : reader.attributes()) {
                writer.writeAttribute(attribute.qualifiedName().toString(), attribute.value().toString());
            }
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            writer.writeEndElement();
            break;
        case QXmlStreamReader::Characters:
            if (reader.isCDATA()) {
                writer.writeCDATA(reader.text().toString());
            } else if (!reader.isWhitespace()) {
                writer.writeCharacters(reader.text().toString());
            }
            break;
        case QXmlStreamReader::Comment:
            writer.writeComment(reader.text().toString());
            break;
        case QXmlStreamReader::ProcessingInstruction:
            writer.writeProcessingInstruction(reader.processingInstructionTarget().toString(),
                                              reader.processingInstructionData().toString());
            break;
        case QXmlStreamReader::DTD:
            writer.writeDTD(reader.text().toString());
            break;
        case QXmlStreamReader::EntityReference:
            writer.writeEntityReference(reader.name().toString());
            break;
        case QXmlStreamReader::EndDocument:
            writer.writeEndDocument();
            break;
        default:
            break;
        }
    }
    if (reader.hasError()) {
        return xml;
    }
    // The declaration as it came, with its encoding, which the writer would not repeat.
    const QString start = xml.trimmed();
    if (start.startsWith(QStringLiteral("<?xml"))) {
        return start.left(start.indexOf(QStringLiteral("?>")) + 2) + QLatin1Char('\n') + out.trimmed();
    }
    return out.trimmed();
}

DlgXmlAnzeige::DlgXmlAnzeige(const QString& caption, const QString& xml, QWidget* owner)
    : QDialog(owner)
{
    setObjectName(QStringLiteral("dlgXmlAnzeige"));
    setWindowTitle(caption);
    m_txtXml = new QPlainTextEdit(this);
    m_txtXml->setObjectName(QStringLiteral("txtXml"));
    m_txtXml->setReadOnly(true);
    m_txtXml->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_txtXml->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_txtXml->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_txtXml->setPlainText(indentXml(xml));

    m_pshKopieren = new QPushButton(QStringLiteral("&Kopieren"), this);
    m_pshKopieren->setObjectName(QStringLiteral("pshKopieren"));
    m_pshKopieren->setAutoDefault(false);
    m_pshSchliessen = new QPushButton(QString::fromUtf8("&Schließen"), this);
    m_pshSchliessen->setObjectName(QStringLiteral("pshSchliessen"));
    m_pshSchliessen->setDefault(true);
    connect(m_pshKopieren, &QPushButton::clicked, this, &DlgXmlAnzeige::copyAll);
    connect(m_pshSchliessen, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_pshKopieren);
    buttons->addStretch(1);
    buttons->addWidget(m_pshSchliessen);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_txtXml, 1);
    layout->addLayout(buttons);
    resize(760, 560);
    m_txtXml->setFocus();
    installHelpKey(this, "Senden.htm#rueckmeldung");
}

QString DlgXmlAnzeige::text() const
{
    return m_txtXml->toPlainText();
}

void DlgXmlAnzeige::copyAll() const
{
    QGuiApplication::clipboard()->setText(text());
}

} // namespace widgets
