#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QPlainTextEdit;
class QWidget;

// A multi-line settings box: one entry per line, no wrapping, both scroll bars.
QPlainTextEdit *newListBox(const QString &objectName, QWidget *parent);

// The box's text with its lines joined by CR LF, the form the header rules cut into entries.
QString listBoxText(const QPlainTextEdit *box);
void setListBoxText(QPlainTextEdit *box, const QString &crlfText);

// The entries of a list box, cut at every CR LF as the header rules read them. The box is read
// again only after its text has changed, so that a request costs no walk over the document.
class ListBoxEntries : public QObject {
public:
    // Owned by the box it reads.
    explicit ListBoxEntries(QPlainTextEdit *box);
    const QList<QByteArray> &entries();

private:
    QPlainTextEdit *m_box;
    QList<QByteArray> m_entries;
    bool m_isStale = true;
};
