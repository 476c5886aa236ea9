// The answer viewer: the indentation of XML, and the window with its copy button, close key and help key.
#include "widgets/DlgXmlAnzeige.h"

#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

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
    }

    void indentsWellFormedXmlAndKeepsTheRest()
    {
        QFETCH(QString, xml);
        QFETCH(QString, shown);
        QCOMPARE(widgets::indentXml(xml), shown);
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
