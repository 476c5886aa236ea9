#include "tests/support/Modal.h"

#include "tests/support/TestPaths.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>

#include <memory>

namespace testsupport {

void onNextModal(std::function<void(QWidget*)> action)
{
    auto* timer = new QTimer(qApp);
    auto remaining = std::make_shared<int>(500);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, remaining, action = std::move(action)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            action(modal);
        } else if (--*remaining <= 0) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
}

QString savePng(QWidget* widget, const QString& name)
{
    const QString dir = QString::fromUtf8(test_paths::SCREENSHOT_DIR);
    QDir().mkpath(dir);
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    widget->grab().save(path);
    return path;
}

} // namespace testsupport
