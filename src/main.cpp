#include <QApplication>
#include <QIcon>

#include "app/main_window.h"

int main(int argc, char *argv[])
{
    // Qt's own poll-based event loop instead of GLib's. GLib wakes its loop with a write to a
    // descriptor each time a socket starts or stops being watched, which the proxy does several
    // times for every request: a fifth of its system calls. Nothing in the program needs GLib's
    // loop. Only Qt reads the variable, when QApplication is made; a value set from outside
    // (an empty one keeps GLib) is left alone.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
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
