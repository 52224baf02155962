#include "app/list_box.h"

#include <QPlainTextEdit>

QPlainTextEdit *newListBox(const QString &objectName, QWidget *parent)
{
    auto *box = new QPlainTextEdit(parent);
    box->setObjectName(objectName);
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    box->setTabChangesFocus(true);
    return box;
}

QString listBoxText(const QPlainTextEdit *box)
{
    QString text = box->toPlainText();
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return text;
}

void setListBoxText(QPlainTextEdit *box, const QString &crlfText)
{
    QString text = crlfText;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    box->setPlainText(text);
}
