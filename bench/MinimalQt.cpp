// The yardstick for the start-up benchmark: the least a Qt Widgets program does to show a main window.
#include <QApplication>
#include <QMainWindow>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Minimal Qt"));
    window.resize(600, 200);
    window.show();
    return QApplication::exec();
}
