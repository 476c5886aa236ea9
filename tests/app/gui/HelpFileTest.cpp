// The compiled help file Quorvex.CHM as the build leaves it: a valid CHM whose default topic is the contents page,
// holding every page of the project, with working links and German text that reaches the reader intact.

#include "tests/support/Modal.h"
#include "tests/support/TestPaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTextDocument>

#include <memory>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 le32(const QByteArray& data, qsizetype at)
{
    quint32 value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(data.at(at + i));
    }
    return value;
}

quint16 le16(const QByteArray& data, qsizetype at)
{
    return static_cast<quint16>(static_cast<unsigned char>(data.at(at))
                                | (static_cast<unsigned char>(data.at(at + 1)) << 8));
}

// The entries of one section of the project file, in file order.
QStringList projectSection(const QString& section)
{
    QStringList entries;
    bool inside = false;
    const QString text =
        QString::fromLatin1(readAll(QString::fromUtf8(test_paths::HELP_SOURCE_DIR) + QStringLiteral("/Quorvex.hhp")));
    for (QString line : text.split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inside = line.compare(QLatin1Char('[') + section + QLatin1Char(']'), Qt::CaseInsensitive) == 0;
        } else if (inside && !line.isEmpty()) {
            entries << line;
        }
    }
    return entries;
}

QStringList pagesOfTheProject()
{
    return projectSection(QStringLiteral("FILES")).filter(QRegularExpression(QStringLiteral("\\.htm$")));
}

// The link targets of a page or sitemap: href attributes and the "Local" parameters of the table of contents.
QStringList linksIn(const QString& text)
{
    QStringList links;
    static const QRegularExpression href(QStringLiteral("href=\"([^\"]*)\""),
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression local(QStringLiteral("<param name=\"Local\" value=\"([^\"]*)\""),
                                          QRegularExpression::CaseInsensitiveOption);
    for (const auto* pattern : {&href, &local}) {
        auto it = pattern->globalMatch(text);
        while (it.hasNext()) {
            links << it.next().captured(1);
        }
    }
    return links;
}

QString plainTextOf(const QString& html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

} // namespace

class HelpFileTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString chm = QString::fromUtf8(test_paths::HELP_FILE);
        QVERIFY2(QFile::exists(chm), qPrintable(QStringLiteral("the build has not made ") + chm));
        m_chm = readAll(chm);
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        QProcess chmls;
        chmls.start(QString::fromUtf8(test_paths::CHMLS), {QStringLiteral("extractall"), chm, m_dir->path()});
        QVERIFY(chmls.waitForFinished(30000));
        QCOMPARE(chmls.exitCode(), 0);
        chmls.start(QString::fromUtf8(test_paths::CHMLS), {QStringLiteral("list"), QStringLiteral("-n"), chm});
        QVERIFY(chmls.waitForFinished(30000));
        for (const QByteArray& line : chmls.readAllStandardOutput().split('\n')) {
            if (line.startsWith('/')) {
                m_listed.insert(QString::fromLatin1(line.trimmed()));
            }
        }
    }

    void isACompiledHelpFile()
    {
        QVERIFY(m_chm.size() > 0x60);
        QCOMPARE(m_chm.left(4), QByteArray("ITSF"));
        QCOMPARE(le32(m_chm, 4), quint32{3});
        // The header's own length and the file's directory section lie inside the file.
        QVERIFY(le32(m_chm, 8) <= m_chm.size());
        QVERIFY(!m_listed.isEmpty());
    }

    // Every page and project file listed by the project is in the help file, and nothing is missing from it.
    void holdsEveryFileOfTheProject()
    {
        QStringList expected = projectSection(QStringLiteral("FILES"));
        expected << QStringLiteral("Quorvex.hhc") << QStringLiteral("Quorvex.hhk");
        QVERIFY(expected.size() >= 8);
        for (const QString& name : expected) {
            QVERIFY2(m_listed.contains(QLatin1Char('/') + name), qPrintable(name));
            QVERIFY2(QFile::exists(m_dir->filePath(name)), qPrintable(name));
        }
    }

    // The help viewer opens the file at its default topic: the contents page, topic "HelpContents".
    void defaultTopicIsHelpContents()
    {
        QVERIFY(m_listed.contains(QStringLiteral("/HelpContents.htm")));
        const QByteArray system = readAll(m_dir->filePath(QStringLiteral("#SYSTEM")));
        QVERIFY(system.size() > 8);
        // #SYSTEM: a version, then records of code, length and data; code 2 is the default topic, 3 the title.
        QMap<quint16, QByteArray> records;
        for (qsizetype at = 4; at + 4 <= system.size();) {
            const quint16 code = le16(system, at);
            const quint16 length = le16(system, at + 2);
            QVERIFY(at + 4 + length <= system.size());
            records[code] = system.mid(at + 4, length);
            at += 4 + length;
        }
        QCOMPARE(records.value(2).split('\0').first(), QByteArray("HelpContents.htm"));
        QVERIFY(records.value(3).startsWith("Vexa-Quorvex: FON WebClient"));
    }

    // chmcmd writes the absolute path of its working folder into the file for [ALIAS] entries; nothing of the
    // build machine belongs in a file that is shipped.
    void carriesNoPathOfTheBuildMachine()
    {
        QVERIFY(!m_chm.contains(QByteArray(test_paths::BUILD_DIR)));
        QVERIFY(!m_chm.contains(QByteArray(test_paths::HELP_SOURCE_DIR)));
    }

    void contentsPageLeadsToEveryPage()
    {
        const QString contents = QString::fromLatin1(readAll(m_dir->filePath(QStringLiteral("HelpContents.htm"))));
        QStringList targets;
        for (const QString& link : linksIn(contents)) {
            targets << link.section(QLatin1Char('#'), 0, 0);
        }
        for (const QString& page : pagesOfTheProject()) {
            if (page != QStringLiteral("HelpContents.htm")) {
                QVERIFY2(targets.contains(page), qPrintable(page));
            }
        }
    }

    // Links of the pages, the table of contents and the index lead to a file in the help file and, with a
    // fragment, to an anchor of that name on the page.
    void everyLinkLeadsSomewhere()
    {
        QStringList sources = pagesOfTheProject();
        sources << QStringLiteral("Quorvex.hhc") << QStringLiteral("Quorvex.hhk");
        int checked = 0;
        for (const QString& source : sources) {
            const QString text = QString::fromLatin1(readAll(m_dir->filePath(source)));
            for (const QString& link : linksIn(text)) {
                QVERIFY2(!link.contains(QLatin1Char(':')), qPrintable(source + QStringLiteral(": ") + link));
                const QString file = link.section(QLatin1Char('#'), 0, 0);
                const QString anchor = link.section(QLatin1Char('#'), 1);
                const QString target = file.isEmpty() ? source : file;
                QVERIFY2(m_listed.contains(QLatin1Char('/') + target),
                         qPrintable(source + QStringLiteral(": ") + link));
                if (!anchor.isEmpty()) {
                    const QString page = QString::fromLatin1(readAll(m_dir->filePath(target)));
                    QVERIFY2(page.contains(QStringLiteral("name=\"%1\"").arg(anchor)),
                             qPrintable(source + QStringLiteral(": ") + link));
                }
                ++checked;
            }
        }
        QVERIFY(checked > 30);
    }

    void everyPageIsInTheTableOfContents()
    {
        const QString toc = QString::fromLatin1(readAll(m_dir->filePath(QStringLiteral("Quorvex.hhc"))));
        QStringList files;
        for (const QString& link : linksIn(toc)) {
            files << link.section(QLatin1Char('#'), 0, 0);
        }
        for (const QString& page : pagesOfTheProject()) {
            QVERIFY2(files.contains(page), qPrintable(page));
        }
    }

    // Umlauts reach the reader: the pages are plain ASCII with named characters, which every viewer decodes; the
    // titles go into the file's topic list undecoded and so hold none. The table of contents and the index hold
    // their umlauts as Windows-1252 bytes, as they declare, because viewers drop named characters there.
    void germanTextRendersIntact()
    {
        for (const QString& page : pagesOfTheProject()) {
            const QByteArray bytes = readAll(m_dir->filePath(page));
            for (const char c : bytes) {
                QVERIFY2(static_cast<unsigned char>(c) < 0x80, qPrintable(page));
            }
            const QString html = QString::fromLatin1(bytes);
            const auto title = QRegularExpression(QStringLiteral("<title>([^<]*)</title>")).match(html);
            QVERIFY2(title.hasMatch() && !title.captured(1).contains(QLatin1Char('&')), qPrintable(page));
            const QString text = plainTextOf(html);
            QVERIFY2(!text.contains(QRegularExpression(QStringLiteral("&[a-zA-Z]+;"))), qPrintable(page));
            QVERIFY2(!text.contains(QChar::ReplacementCharacter), qPrintable(page));
            QVERIFY2(!text.contains(QString::fromUtf8("Ã")), qPrintable(page));
            QVERIFY2(text.contains(QRegularExpression(QString::fromUtf8("[äöüÄÖÜß]"))), qPrintable(page));
        }
        const QString contents =
            plainTextOf(QString::fromLatin1(readAll(m_dir->filePath(QStringLiteral("HelpContents.htm")))));
        QVERIFY(contents.contains(QString::fromUtf8("Überblick")));
        QVERIFY(contents.contains(QString::fromUtf8("Test- und Produktivübertragung")));

        for (const QString& sitemap : {QStringLiteral("Quorvex.hhc"), QStringLiteral("Quorvex.hhk")}) {
            const QByteArray bytes = readAll(m_dir->filePath(sitemap));
            QVERIFY2(bytes.contains("charset=windows-1252"), qPrintable(sitemap));
            // Qt decodes no Windows-1252 without ICU; for the German letters it agrees with Latin-1.
            auto decode = QStringDecoder(QStringDecoder::Latin1);
            const QString text = decode(bytes);
            const QRegularExpression name(QStringLiteral("<param name=\"Name\" value=\"([^\"]*)\""));
            int names = 0;
            for (auto it = name.globalMatch(text); it.hasNext(); ++names) {
                const QString value = it.next().captured(1);
                QVERIFY2(!value.contains(QLatin1Char('&')), qPrintable(sitemap + QStringLiteral(": ") + value));
            }
            QVERIFY(names >= 10);
        }
        const QString toc = QString::fromLatin1(readAll(m_dir->filePath(QStringLiteral("Quorvex.hhc"))));
        QVERIFY(toc.contains(QString::fromUtf8("value=\"Überblick\"")));
    }

    // A look at some pages as a reader sees them (screenshots for review).
    void pagesRender()
    {
        for (const QString& page : {QStringLiteral("HelpContents.htm"),
                                    QStringLiteral("Meldungen.htm"),
                                    QStringLiteral("Senden.htm"),
                                    QStringLiteral("DepPruefen.htm")}) {
            QTextBrowser browser;
            browser.setSearchPaths({m_dir->path()});
            browser.resize(640, 900);
            browser.setSource(QUrl::fromLocalFile(m_dir->filePath(page)));
            browser.show();
            QVERIFY(QTest::qWaitForWindowExposed(&browser));
            QVERIFY(browser.toPlainText().contains(QString::fromUtf8("ü")));
            testsupport::savePng(&browser, QStringLiteral("help-") + page.section(QLatin1Char('.'), 0, 0));
        }
    }

private:
    QByteArray m_chm;
    QSet<QString> m_listed;
    std::unique_ptr<QTemporaryDir> m_dir;
};

QTEST_MAIN(HelpFileTest)
#include "HelpFileTest.moc"
