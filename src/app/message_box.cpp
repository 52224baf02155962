#include "app/message_box.h"

#include <QMessageBox>
#include <QPushButton>

const char kApplicationTitle[] = "Ombrel - Vesktor";

namespace {

MessageBoxHandler &replacementHandler()
{
    static MessageBoxHandler handler;
    return handler;
}

MessageAnswer showRealMessageBox(QWidget *parent, const MessageRequest &request)
{
    QMessageBox box(
        request.icon == MessageIcon::Critical ? QMessageBox::Critical : QMessageBox::Question,
        QString::fromLatin1(kApplicationTitle), request.text, QMessageBox::NoButton, parent);
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
