#pragma once

#include <QMainWindow>

namespace app::gui {

//! The main window. Closing it ends the program.
class DtaMain : public QMainWindow
{
    Q_OBJECT

public:
    explicit DtaMain(QWidget* parent = nullptr);

    //! Sets TestFlag from the selected company and the caption by the kind of transmission.
    void SetCaption();

private:
    void PostInit();

    int m_selected = 0;
};

} // namespace app::gui
