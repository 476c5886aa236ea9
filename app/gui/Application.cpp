#include "app/gui/Application.h"

#include "app/gui/DtaMain.h"
#include "base/ErrorLog.h"
#include "base/Files.h"
#include "base/Installation.h"
#include "base/Program.h"
#include "base/StringUtil.h"
#include "widgets/DesktopLook.h"
#include "widgets/QtDialogs.h"

#include <QIcon>
#include <QImage>
#include <QLibraryInfo>
#include <QLocale>
#include <QPixmap>
#include <QResource>
#include <QSysInfo>
#include <QTranslator>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <png.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

constexpr const char* BUS_VARIABLE = "DBUS_SESSION_BUS_ADDRESS";

bool executable(const std::string& path)
{
    struct stat info
    {
    };
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

bool SessionBusShortcut::busObtainable(const std::string& bindir)
{
    // libdbus's order: the named address, the runtime folder's socket (ours), then dbus-launch, which it runs
    // from its own folder or else from the search path.
    const char* named = std::getenv(BUS_VARIABLE);
    if (named && *named) {
        return true;
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        struct stat info
        {
        };
        const std::string socket = std::string(runtime) + "/bus";
        if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && info.st_uid == ::geteuid()) {
            return true;
        }
    }
    if (executable(bindir + "/dbus-launch")) {
        return true;
    }
    // With no search path, execvp looks where the C library says. An empty entry (also the last) is the current
    // folder: the added separator keeps the last entry, empty or not.
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/bin:/usr/bin";
    const auto dirs = base::String2Array(path + ":", ":");
    return std::any_of(dirs.begin(), dirs.end(), [](const std::string& dir) {
        return executable((dir.empty() ? "." : dir) + "/dbus-launch");
    });
}

SessionBusShortcut::SessionBusShortcut(const std::string& bindir)
{
    // Any address libdbus cannot open ends its search without a fork; this one says why.
    m_active = !busObtainable(bindir) && ::setenv(BUS_VARIABLE, "disabled:", 1) == 0;
}

namespace {

//! A PNG picture of the program's resources, read by libpng: Qt's image reader first looks through its image
//! format plugins, which costs more than the window icon's five small pictures themselves.
QImage pngPicture(const QString& name)
{
    const QByteArray data = QResource(name).uncompressedData();
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, data.constData(), static_cast<std::size_t>(data.size()))) {
        return {};
    }
    // QImage::Format_ARGB32 holds each pixel as one 32-bit 0xAARRGGBB.
    png.format = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? PNG_FORMAT_BGRA : PNG_FORMAT_ARGB;
    QImage picture(static_cast<int>(png.width), static_cast<int>(png.height), QImage::Format_ARGB32);
    if (picture.isNull()
        || !png_image_finish_read(
            &png, nullptr, picture.bits(), static_cast<png_int_32>(picture.bytesPerLine()), nullptr)) {
        png_image_free(&png);
        return {};
    }
    return picture;
}

} // namespace

Application::Application(int& argc, char** argv)
    : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("Vexa-Quorvex"));
    setStyle(new widgets::DesktopStyle);
    // The window icon from pictures of its sizes: an SVG icon would load the SVG icon engine and render every size
    // the window manager asks for while the first window appears, a good part of the start-up time.
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        icon.addPixmap(QPixmap::fromImage(pngPicture(QStringLiteral(":/AppIcon-%1.png").arg(size))));
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
        if (m_openWindowTitles ? base::ChkWinList(*m_openWindowTitles) : base::ChkWinList()) {
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
