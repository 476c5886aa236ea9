// The answer viewer: the indentation of XML, and the window with its copy button, close key and help key.
#include "widgets/DlgXmlAnzeige.h"

#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

namespace {

// <e><e>…</e></e>, `depth` elements nested in one another.
QString nested(int depth)
{
    return QStringLiteral("<e>").repeated(depth) + QStringLiteral("</e>").repeated(depth);
}

// The same, indented by two blanks a level; the innermost element is empty.
QString indented(int depth)
{
    QStringList lines;
    for (int level = 0; level + 1 < depth; ++level) {
        lines << QString(2 * level, QLatin1Char(' ')) + QStringLiteral("<e>");
    }
    lines << QString(2 * (depth - 1), QLatin1Char(' ')) + QStringLiteral("<e/>");
    for (int level = depth - 2; level >= 0; --level) {
        lines << QString(2 * level, QLatin1Char(' ')) + QStringLiteral("</e>");
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

class DlgXmlAnzeigeTest : public QObject
{
    Q_OBJECT

private slots:
    void indentsWellFormedXmlAndKeepsTheRest_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("shown");
        QTest::newRow("nested") << "<a><b><c>1</c></b><d/></a>"
                                << "<a>\n  <b>\n    <c>1</c>\n  </b>\n  <d/>\n</a>";
        // Prefixes and namespace declarations stay as they came; the old line breaks give way to the indentation.
        QTest::newRow("prefixes") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<s:E xmlns:s=\"urn:s\">\n"
                                     "<s:B><r:x xmlns:r=\"urn:r\" r:k=\"v\">Ä &amp; ö</r:x></s:B></s:E>"
                                  << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<s:E xmlns:s=\"urn:s\">\n  <s:B>\n"
                                     "    <r:x xmlns:r=\"urn:r\" r:k=\"v\">Ä &amp; ö</r:x>\n  </s:B>\n</s:E>";
        QTest::newRow("malformed") << "<a><b></a>"
                                   << "<a><b></a>";
        QTest::newRow("text") << "Keine Rueckmeldung"
                              << "Keine Rueckmeldung";
        QTest::newRow("empty") << ""
                               << "";
        // Hostile answers: each shown as it came, in time and memory linear in its length.
        QTest::newRow("16 000 levels") << nested(16000) << nested(16000);
        QTest::newRow("one level too deep")
            << nested(widgets::MAX_INDENTED_DEPTH + 1) << nested(widgets::MAX_INDENTED_DEPTH + 1);
        const QString big =
            QStringLiteral("<a>") + QString(widgets::MAX_INDENTED_SIZE, QLatin1Char('x')) + QStringLiteral("</a>");
        QTest::newRow("longer than indented") << big << big;
        QTest::newRow("deepest indented")
            << nested(widgets::MAX_INDENTED_DEPTH) << indented(widgets::MAX_INDENTED_DEPTH);
    }

    void indentsWellFormedXmlAndKeepsTheRest()
    {
        QFETCH(QString, xml);
        QFETCH(QString, shown);
        QCOMPARE(widgets::indentXml(xml), shown);
    }

    // The window opens at once on an answer nested too deep to indent and shows all of it as it came.
    void showsATooDeepAnswerAsItCame()
    {
        testsupport::ProgramStateGuard guard;
        testsupport::ScriptedDialogs dialogs;
        widgets::DlgXmlAnzeige dialog(QStringLiteral("Antwort"), nested(16000), nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.text(), nested(16000));
        testsupport::savePng(&dialog, QStringLiteral("dlgXmlAnzeige-too-deep"));
        QApplication::clipboard()->clear();
        dialog.copyAll();
        QCOMPARE(QApplication::clipboard()->text(), nested(16000));
    }

    void copiesAllAndClosesWithEscape()
    {
        testsupport::ProgramStateGuard guard;
        testsupport::ScriptedDialogs dialogs;
        widgets::DlgXmlAnzeige dialog(QStringLiteral("Antwort"), QStringLiteral("<a><b>x</b></a>"), nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* text = dialog.findChild<QPlainTextEdit*>(QStringLiteral("txtXml"));
        QVERIFY(text->isReadOnly());
        QVERIFY(text->font().fixedPitch() || QFontInfo(text->font()).fixedPitch());
        QApplication::clipboard()->clear();
        QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("pshKopieren")), Qt::LeftButton);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("<a>\n  <b>x</b>\n</a>"));
        // Ctrl+C copies what is selected.
        text->setFocus();
        text->moveCursor(QTextCursor::Start);
        text->moveCursor(QTextCursor::EndOfLine, QTextCursor::KeepAnchor);
        QTest::keyClick(text, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("<a>"));
        QTest::keyClick(&dialog, Qt::Key_F1);
        QCOMPARE(dialogs.help().size(), std::size_t{1});
        QVERIFY(dialogs.help()[0].ends_with("Quorvex.CHM#Senden.htm#rueckmeldung"));
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(DlgXmlAnzeigeTest)
#include "DlgXmlAnzeigeTest.moc"
