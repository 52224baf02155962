#include <QApplication>
#include <QIcon>

#include "app/main_window.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/vesktor.png")));
    // Lets Wayland compositors match the window to the installed menu entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("vesktor"));
    Form1 window;
    QObject::connect(&window, &Form1::programEnded, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return app.exec();
}
