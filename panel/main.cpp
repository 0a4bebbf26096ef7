#include <QApplication>
#include <QColor>
#include <QPalette>

#include "mocap.hpp"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    mocap window;
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, QColor(255, 255, 255));
    window.setPalette(palette);
    window.show();
    return app.exec();
}
