#pragma once

#include <QObject>
#include <vector>

#include "net/winsock.h"

// A control array of sockets: element 0 always exists; elements above 0 are created and
// removed at run time. Events of every element are re-raised with the element's index.
// Handlers look elements up by index at every event; a removed element is gone for good (its
// object is deleted once the current event has finished).
class WinsockArray : public QObject {
    Q_OBJECT
public:
    explicit WinsockArray(QObject *parent = nullptr);

    // The element, or nullptr when it does not exist.
    Winsock *operator()(int index) const;
    bool exists(int index) const { return (*this)(index) != nullptr; }
    // Creates element index; false when it exists already or the index is out of range.
    bool Load(int index);
    // Closes and removes element index; false for element 0 and for a missing element.
    bool Unload(int index);
    int UBound() const { return int(m_elements.size()) - 1; }
    int Count() const;

    // Indexes are signed 16-bit.
    static constexpr int kMaxIndex = 32767;

signals:
    void ConnectEvent(int Index);
    void DataArrival(int Index, qint64 bytesTotal);
    void SendComplete(int Index);
    void CloseEvent(int Index);
    void Error(int Index, qint16 Number, const QString &Description);

private:
    std::vector<Winsock *> m_elements;
};
