#include "app/gui/Application.h"

#include "app/gui/DtaMain.h"
#include "base/ErrorLog.h"
#include "base/Files.h"
#include "base/Installation.h"
#include "base/Program.h"
#include "widgets/DesktopLook.h"
#include "widgets/QtDialogs.h"

#include <QIcon>
#include <QImageReader>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QTranslator>

#include <cstdlib>
#include <string_view>

namespace app::gui {
void fixProcessSettings(QApplication& application)
{
    // German number text ("," decimals, "." thousands) for everything Qt formats; dates are formatted by the
    // program's own date functions.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    // The library's built-in texts (button captions …) in German; a missing module is ignored.
    auto* translator = new QTranslator(&application);
    if (translator->load(QLocale(QLocale::German),
                         QStringLiteral("qtbase"),
                         QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(translator);
    }
    base::program().DefaultDir = base::currentDirectory();
}

bool needsXDisplay()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    return !platform || !*platform || std::string_view(platform).starts_with("xcb");
}

Application::Application(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Vexa-Quorvex"));
    setStyle(new widgets::DesktopStyle);
    // The window icon from pictures of its sizes: an SVG icon would load the SVG icon engine and render every size
    // the window manager asks for while the first window appears, a good part of the start-up time.
    // Told the format and kept from guessing, Qt reads the PNGs itself instead of asking every image format
    // plugin first (SVG, JPEG, GIF, ICO), which it would load for that.
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        QImageReader reader(QStringLiteral(":/AppIcon-%1.png").arg(size), "png");
        reader.setAutoDetectImageFormat(false);
        icon.addPixmap(QPixmap::fromImage(reader.read()));
    }
    setWindowIcon(icon);
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        base::reportUnexpected(error);
    } catch (...) {
        base::reportUnexpected("Unbekannter Fehler");
    }
    return false;
}

int Application::run()
{
    static widgets::QtDialogs qtDialogs;
    base::setDialogs(&qtDialogs);
    try {
        fixProcessSettings(*this);
        if (base::ChkWinList()) {
            return 1;
        }
        const auto loaded = base::loadInstallation(base::program().DefaultDir);
        if (!loaded.installation) {
            base::dialogs().ErrorBox(loaded.error);
            return 1;
        }
        base::applyInstallation(*loaded.installation);

        DtaMain window;
        if (m_mainWindowSetup) {
            m_mainWindowSetup(window);
        }
        window.show();
        // After show, so that a missing-login message stands over the visible window.
        window.PostInit();
        return exec();
    } catch (const std::exception& error) {
        base::reportUnexpected(error);
    }
    return 1;
}

} // namespace app::gui
