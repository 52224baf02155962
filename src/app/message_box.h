#pragma once

#include <QString>
#include <functional>

class QWidget;

// The program's modal message boxes, all titled "Ombrel - Vesktor", first button the default.
// Every box goes through MsgBox so that tests can answer it from a script.
enum class MessageButtons { Ok, YesNo };
enum class MessageIcon { Critical, Question, Information };
enum class MessageAnswer { Ok, Yes, No };

struct MessageRequest {
    QString text;
    MessageButtons buttons;
    MessageIcon icon;
};

using MessageBoxHandler = std::function<MessageAnswer(QWidget *parent, const MessageRequest &)>;

MessageAnswer MsgBox(QWidget *parent, const QString &text, MessageButtons buttons,
                     MessageIcon icon);

// Replaces the real message box; an empty handler puts the real one back.
void setMessageBoxHandler(MessageBoxHandler handler);

// Asks where to save a file, starting from suggestedName in the home folder and offering the
// files that filter names (a file dialog's filter, "PEM certificate (*.pem *.crt)"); empty when
// the user cancels. Goes through a replaceable handler, like MsgBox, so that tests can answer it.
using SaveFileHandler =
    std::function<QString(QWidget *parent, const QString &caption, const QString &suggestedName)>;

QString SaveFileName(QWidget *parent, const QString &caption, const QString &suggestedName,
                     const QString &filter);

// Replaces the real file dialog; an empty handler puts the real one back.
void setSaveFileHandler(SaveFileHandler handler);

extern const char kApplicationTitle[];
