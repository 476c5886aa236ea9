#include "tests/support/Modal.h"

#include "tests/support/TestPaths.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
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

std::map<QChar, QStringList> mnemonicsOf(QWidget* window)
{
    std::map<QChar, QStringList> found;
    const auto add = [&found](const QString& text, const QString& who) {
        if (const QKeySequence key = QKeySequence::mnemonic(text); !key.isEmpty()) {
            found[QChar(static_cast<char16_t>(key[0].key()))] << (who.isEmpty() ? text : who);
        }
    };
    for (QWidget* widget : window->findChildren<QWidget*>()) {
        if (!widget->isVisibleTo(window)) {
            continue;
        }
        if (const auto* label = qobject_cast<QLabel*>(widget); label && label->buddy()) {
            add(label->text(), label->buddy()->objectName());
        } else if (const auto* button = qobject_cast<QAbstractButton*>(widget)) {
            add(button->text(), button->objectName());
        } else if (const auto* group = qobject_cast<QGroupBox*>(widget)) {
            add(group->title(), group->objectName());
        }
    }
    if (auto* main = qobject_cast<QMainWindow*>(window); main && main->menuWidget()) {
        for (const QAction* action : main->menuBar()->actions()) {
            add(action->text(), action->menu() ? action->menu()->objectName() : QString());
        }
    }
    return found;
}

QStringList overlappingChildren(const QWidget* parent)
{
    QStringList found;
    const auto children = parent->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (qsizetype i = 0; i < children.size(); ++i) {
        for (qsizetype j = i + 1; j < children.size(); ++j) {
            const QWidget* a = children[i];
            const QWidget* b = children[j];
            if (a->isVisibleTo(parent) && b->isVisibleTo(parent) && a->geometry().intersects(b->geometry())) {
                found << a->objectName() + QLatin1Char('/') + b->objectName();
            }
        }
    }
    return found;
}

} // namespace testsupport
