#include "Controller.h"

#include <QApplication>
#include <QMainWindow>

int ApplicationMain(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("USB Image Writer"));
    window.show();
    return app.exec();
}
