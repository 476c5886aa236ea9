#pragma once

#include <QDialog>

class QLabel;

namespace app::gui {

/**
 * The About box `dlgAbout`, 172 × 65 dialog units: the program icon top left, the program's name in bold, a line
 * on what the program is for, and `txtVersion` with the program version and the build identifier. It has no
 * buttons; the window's close box (or Esc) closes it.
 */
class DlgAbout : public QDialog
{
    Q_OBJECT

public:
    explicit DlgAbout(QWidget* owner);

    //! Runs the box modally, owned by the window given at construction, until the user closes it.
    void Show();

private:
    //! Sets the text of `txtVersion`: "Version: V" + program version + " (" + build identifier + ")".
    void PostInit();

    QLabel* m_txtVersion;
};

} // namespace app::gui
