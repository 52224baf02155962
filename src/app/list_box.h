#pragma once

#include <QString>

class QPlainTextEdit;
class QWidget;

// A multi-line settings box: one entry per line, no wrapping, both scroll bars.
QPlainTextEdit *newListBox(const QString &objectName, QWidget *parent);

// The box's text with its lines joined by CR LF, the form the header rules cut into entries.
QString listBoxText(const QPlainTextEdit *box);
void setListBoxText(QPlainTextEdit *box, const QString &crlfText);
