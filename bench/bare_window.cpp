// The floor for start-up and memory: a Qt Widgets window with one button and
// nothing else, built with the same compiler flags as the program.
#include <QApplication>
#include <QPushButton>
#include <QWidget>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    auto *button = new QPushButton(QStringLiteral("Button"), &window);
    button->move(20, 20);
    window.resize(200, 80);
    window.show();
    return app.exec();
}
