// The yardstick for the start-up benchmark: the least a Qt Widgets program does to show a main window. With an
// argument the window shows it as one line of text: the least a window with text does (fonts, shaping).
#include <QApplication>
#include <QLabel>
#include <QMainWindow>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Minimal Qt"));
    if (argc > 1) {
        window.setCentralWidget(new QLabel(QString::fromLocal8Bit(argv[1])));
    }
    window.resize(600, 200);
    window.show();
    return QApplication::exec();
}
