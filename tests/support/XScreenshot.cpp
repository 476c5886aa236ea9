#include "tests/support/TestPaths.h"
#include "tests/support/X11Session.h"

#include <QDir>
#include <QImage>

#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace testsupport {

bool saveWindowPng(const std::string& display, unsigned window, const std::string& name)
{
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> c(xcb_connect(display.c_str(), nullptr),
                                                                   &xcb_disconnect);
    if (xcb_connection_has_error(c.get())) {
        return false;
    }
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> geometry(
        xcb_get_geometry_reply(c.get(), xcb_get_geometry(c.get(), window), nullptr), &std::free);
    if (!geometry || geometry->depth != 24) {
        return false;
    }
    std::unique_ptr<xcb_get_image_reply_t, decltype(&std::free)> image(
        xcb_get_image_reply(
            c.get(),
            xcb_get_image(c.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, 0, geometry->width, geometry->height, ~0u),
            nullptr),
        &std::free);
    if (!image) {
        return false;
    }
    // Depth 24 arrives as 32 bits a pixel, blue-green-red-unused: Qt's RGB32 on a little-endian machine.
    const QImage picture(
        xcb_get_image_data(image.get()), geometry->width, geometry->height, geometry->width * 4, QImage::Format_RGB32);
    const QString dir = QString::fromUtf8(test_paths::SCREENSHOT_DIR);
    QDir().mkpath(dir);
    return picture.copy().save(dir + QLatin1Char('/') + QString::fromStdString(name) + QStringLiteral(".png"));
}

} // namespace testsupport
