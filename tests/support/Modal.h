#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <map>

namespace testsupport {

//! Runs `action` on the next modal dialog that opens (the call that opens it comes after this one). The action
//! must close the dialog; when none opens within five seconds nothing happens and the test's own checks fail.
void onNextModal(std::function<void(QWidget*)> action);

//! Saves the widget as a PNG under the build's screenshot folder and returns the file's path.
QString savePng(QWidget* widget, const QString& name);

//! The mnemonic letters (the character after a single '&', upper case) of the window's shown labels, buttons,
//! group titles and menu-bar titles, each with the object names (or texts) of the widgets that carry it. A letter
//! with more than one entry is a clash: Alt and that letter reaches only one of them.
std::map<QChar, QStringList> mnemonicsOf(QWidget* window);

//! The pairs of shown children of `parent` whose rectangles overlap ("a/b"); empty when none do.
QStringList overlappingChildren(const QWidget* parent);

} // namespace testsupport
