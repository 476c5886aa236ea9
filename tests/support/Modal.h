#pragma once

#include <QString>
#include <QWidget>

#include <functional>

namespace testsupport {

//! Runs `action` on the next modal dialog that opens (the call that opens it comes after this one). The action
//! must close the dialog; when none opens within five seconds nothing happens and the test's own checks fail.
void onNextModal(std::function<void(QWidget*)> action);

//! Saves the widget as a PNG under the build's screenshot folder and returns the file's path.
QString savePng(QWidget* widget, const QString& name);

} // namespace testsupport
