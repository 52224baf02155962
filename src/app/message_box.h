#pragma once

#include <QString>
#include <QStringList>
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
// kinds of file that filters name (a file dialog's filters, "PEM certificate (*.pem *.crt)"),
// the first selected. Goes through a replaceable handler, like MsgBox, so that tests can answer
// it.
struct SaveChoice {
    QString fileName; // empty when the user cancels
    int filter = 0;   // the index in filters of the kind selected
};
using SaveFileHandler =
    std::function<SaveChoice(QWidget *parent, const QString &caption, const QString &suggestedName,
                             const QStringList &filters)>;

SaveChoice SaveFileName(QWidget *parent, const QString &caption, const QString &suggestedName,
                        const QStringList &filters);

// Replaces the real file dialog; an empty handler puts the real one back.
void setSaveFileHandler(SaveFileHandler handler);

extern const char kApplicationTitle[];
