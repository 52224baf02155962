#include "app/message_box.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>

const char kApplicationTitle[] = "Ombrel - Vesktor";

namespace {

MessageBoxHandler &replacementHandler()
{
    static MessageBoxHandler handler;
    return handler;
}

SaveFileHandler &replacementSaveFileHandler()
{
    static SaveFileHandler handler;
    return handler;
}

QMessageBox::Icon shownIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Critical:
        return QMessageBox::Critical;
    case MessageIcon::Question:
        return QMessageBox::Question;
    case MessageIcon::Information:
        return QMessageBox::Information;
    }
    return QMessageBox::NoIcon;
}

MessageAnswer showRealMessageBox(QWidget *parent, const MessageRequest &request)
{
    QMessageBox box(shownIcon(request.icon), QString::fromLatin1(kApplicationTitle), request.text,
                    QMessageBox::NoButton, parent);
    if (request.buttons == MessageButtons::Ok) {
        box.setDefaultButton(box.addButton(QMessageBox::Ok));
        box.exec();
        return MessageAnswer::Ok;
    }
    QPushButton *yes = box.addButton(QMessageBox::Yes);
    box.addButton(QMessageBox::No);
    box.setDefaultButton(yes);
    box.exec();
    return box.clickedButton() == static_cast<QAbstractButton *>(yes) ? MessageAnswer::Yes
                                                                      : MessageAnswer::No;
}

} // namespace

MessageAnswer MsgBox(QWidget *parent, const QString &text, MessageButtons buttons, MessageIcon icon)
{
    const MessageRequest request{text, buttons, icon};
    if (replacementHandler())
        return replacementHandler()(parent, request);
    return showRealMessageBox(parent, request);
}

void setMessageBoxHandler(MessageBoxHandler handler)
{
    replacementHandler() = std::move(handler);
}

SaveChoice SaveFileName(QWidget *parent, const QString &caption, const QString &suggestedName,
                        const QStringList &filters)
{
    if (replacementSaveFileHandler())
        return replacementSaveFileHandler()(parent, caption, suggestedName, filters);
    QString selected = filters.value(0);
    SaveChoice choice;
    choice.fileName =
        QFileDialog::getSaveFileName(parent, caption, QDir::home().filePath(suggestedName),
                                     filters.join(QLatin1String(";;")), &selected);
    choice.filter = std::max(0, int(filters.indexOf(selected)));
    return choice;
}

void setSaveFileHandler(SaveFileHandler handler)
{
    replacementSaveFileHandler() = std::move(handler);
}
