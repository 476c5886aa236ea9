#include "app/gui/Application.h"

#include "app/gui/DtaMain.h"
#include "base/ErrorLog.h"
#include "base/Program.h"
#include "tests/support/Modal.h"
#include "tests/support/ProgramStateGuard.h"
#include "tests/support/ScriptedDialogs.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestPaths.h"
#include "widgets/DialogUnits.h"

#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

// Not in an unnamed namespace, so that its name shows in the logged call stack.
class Thrower : public QObject
{
public:
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User) {
            throw base::PlatformError("ODBC: Verbindung zur Datenbank verloren");
        }
        return QObject::event(e);
    }
};

class ApplicationTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<testsupport::TempDir>();
        m_state = std::make_unique<testsupport::ProgramStateGuard>();
        m_state->startIn(m_dir->path());
        m_dialogs = std::make_unique<testsupport::ScriptedDialogs>();
    }
    void cleanup()
    {
        m_dialogs.reset();
        m_state.reset();
        m_dir.reset();
    }

    // A failure that reaches the event loop is logged and shown, and the loop goes on.
    void failureInAnEventIsLoggedAndTheLoopGoesOn()
    {
        Thrower thrower;
        QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
        bool later = false;
        QTimer::singleShot(0, this, [&later] { later = true; });
        QTRY_VERIFY(later);
        QCOMPARE(m_dialogs->shown().size(), size_t{1});
        QCOMPARE(m_dialogs->shown()[0].kind, std::string("ErrorBox"));
        const auto log = testsupport::readBytes(m_dir->file("ERROR.LOG"));
        QVERIFY(log.find("ODBC: Verbindung zur Datenbank verloren") != std::string::npos);
        QVERIFY(log.find("Thrower::event") != std::string::npos);
    }

    void failureInAButtonHandlerIsCaughtToo()
    {
        QPushButton button(QStringLiteral("Senden"));
        int clicks = 0;
        connect(&button, &QPushButton::clicked, this, [&clicks] {
            ++clicks;
            throw std::runtime_error("Komponente nicht erreichbar");
        });
        button.show();
        QTest::mouseClick(&button, Qt::LeftButton);
        QTest::mouseClick(&button, Qt::LeftButton);
        QCOMPARE(clicks, 2);
        QCOMPARE(m_dialogs->shown().size(), size_t{2});
        QVERIFY(m_dialogs->shown()[1].text.find("Komponente nicht erreichbar") != std::string::npos);
    }

    void captionFollowsTestFlagAndMarkerFile()
    {
        base::program().CompanyList = {{"Hauptkasse", "01", "N", ""}};
        {
            app::gui::DtaMain window;
            QCOMPARE(window.windowTitle(), QStringLiteral("Vexa-Quorvex: FON WebClient (Produktivübertragung)"));
            QCOMPARE(base::program().TestFlag, std::string("N"));
            QCOMPARE(window.objectName(), QStringLiteral("dtaMain"));
            // 125 units for nine operations, ten more for each of the two status queries, and more when the
            // style's group title needs it
            const auto du = widgets::DialogUnits(window.font()).size(399, 145);
            QVERIFY(window.centralWidget()->height() >= du.height());
            QVERIFY(window.centralWidget()->width() >= du.width());
        }
        testsupport::writeBytes(m_dir->file("DOTEST"), "");
        {
            app::gui::DtaMain window;
            QCOMPARE(window.windowTitle(), QStringLiteral("Vexa-Quorvex: FON WebClient (Testübertragung)"));
        }
        ::unlink(m_dir->file("DOTEST").c_str());
        base::program().CompanyList = {{"Filiale", "02", "J", ""}};
        app::gui::DtaMain window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Vexa-Quorvex: FON WebClient (Testübertragung)"));
        window.show();
        testsupport::savePng(&window, QStringLiteral("dtaMain"));
        const QPixmap icon = window.windowIcon().pixmap(64, 64);
        QVERIFY(!icon.isNull());
        // The program reads its icon's PNGs itself; Qt's reader reads the same colours.
        const auto argb = [](const QImage& image) { return image.convertToFormat(QImage::Format_ARGB32); };
        QCOMPARE(argb(icon.toImage()), argb(QImage(QStringLiteral(":/AppIcon-64.png"))));
        QCOMPARE(argb(window.windowIcon().pixmap(16, 16).toImage()), argb(QImage(QStringLiteral(":/AppIcon-16.png"))));
        icon.save(QString::fromUtf8(test_paths::SCREENSHOT_DIR) + QStringLiteral("/AppIcon.png"));
    }

    // libdbus forks for dbus-launch only where no bus is named, none listens in the runtime folder and dbus-launch
    // is on its own folder or the search path; only then is it told "disabled:".
    void theSessionBusShortcutTakesOnlyWhereNoBusCanBeHad()
    {
        const testsupport::TempDir runtime, path, empty;
        const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string socketPath = runtime.file("bus");
        std::copy(socketPath.begin(), socketPath.end(), address.sun_path);
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        testsupport::writeBytes(path.file("dbus-launch"), "#!/bin/sh\n");
        const char* names[] = {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "PATH"};
        std::vector<std::optional<QByteArray>> saved;
        for (const char* name : names) {
            saved.push_back(qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt);
        }
        struct Case
        {
            const char* named; // nullptr: not set
            std::string runtimeDir, searchPath, bindir;
            mode_t launcherMode;
            bool obtainable;
        } const cases[] = {
            {"unix:path=/run/user/1000/bus", empty.path(), empty.path(), empty.path(), 0755, true},
            {nullptr, runtime.path(), empty.path(), empty.path(), 0755, true},
            {"", empty.path(), empty.path() + ":" + path.path(), empty.path(), 0755, true},
            {nullptr, empty.path(), empty.path(), path.path(), 0755, true},
            {nullptr, empty.path(), path.path(), empty.path(), 0644, false},
            {"", empty.path(), empty.path(), empty.path(), 0755, false},
        };
        for (const auto& c : cases) {
            ::chmod(path.file("dbus-launch").c_str(), c.launcherMode);
            c.named ? qputenv("DBUS_SESSION_BUS_ADDRESS", c.named) : qunsetenv("DBUS_SESSION_BUS_ADDRESS");
            qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(c.runtimeDir));
            qputenv("PATH", QByteArray::fromStdString(c.searchPath));
            QCOMPARE(app::gui::SessionBusShortcut::busObtainable(c.bindir), c.obtainable);
            {
                const app::gui::SessionBusShortcut shortcut(c.bindir);
                QCOMPARE(shortcut.active(), !c.obtainable);
            }
            // Decided once, before any thread: the environment stays so for the run.
            QCOMPARE(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"), c.named != nullptr || !c.obtainable);
            QCOMPARE(qgetenv("DBUS_SESSION_BUS_ADDRESS"),
                     QByteArray(c.obtainable ? (c.named ? c.named : "") : "disabled:"));
        }
        ::close(listener);
        for (std::size_t i = 0; i < saved.size(); ++i) {
            saved[i] ? qputenv(names[i], *saved[i]) : qunsetenv(names[i]);
        }
    }

private:
    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<testsupport::ProgramStateGuard> m_state;
    std::unique_ptr<testsupport::ScriptedDialogs> m_dialogs;
};

int main(int argc, char** argv)
{
    app::gui::Application application(argc, argv);
    ApplicationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "ApplicationTest.moc"
