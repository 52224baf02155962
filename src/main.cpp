#include <QApplication>

#include "app/main_window.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Form1 window;
    QObject::connect(&window, &Form1::programEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return app.exec();
}
