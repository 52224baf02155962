#include "net/winsock_array.h"

WinsockArray::WinsockArray(QObject *parent) : QObject(parent)
{
    Load(0);
}

Winsock *WinsockArray::operator()(int index) const
{
    if (index < 0 || index >= int(m_elements.size()))
        return nullptr;
    return m_elements[size_t(index)];
}

bool WinsockArray::Load(int index)
{
    if (index < 0 || index > kMaxIndex || exists(index))
        return false;
    if (index >= int(m_elements.size()))
        m_elements.resize(size_t(index) + 1, nullptr);
    auto *element = new Winsock(this);
    m_elements[size_t(index)] = element;
    connect(element, &Winsock::ConnectEvent, this, [this, index] { emit ConnectEvent(index); });
    connect(element, &Winsock::DataArrival, this,
            [this, index](qint64 bytesTotal) { emit DataArrival(index, bytesTotal); });
    connect(element, &Winsock::SendComplete, this, [this, index] { emit SendComplete(index); });
    connect(element, &Winsock::CloseEvent, this, [this, index] { emit CloseEvent(index); });
    connect(element, &Winsock::Error, this,
            [this, index](qint16 number, const QString &description) {
                emit Error(index, number, description);
            });
    return true;
}

bool WinsockArray::Unload(int index)
{
    Winsock *element = (*this)(index);
    if (index == 0 || !element)
        return false;
    element->disconnect(this);
    element->Close();
    // The element may be the one whose event is being handled right now.
    element->deleteLater();
    m_elements[size_t(index)] = nullptr;
    while (!m_elements.empty() && m_elements.back() == nullptr)
        m_elements.pop_back();
    return true;
}

int WinsockArray::Count() const
{
    int count = 0;
    for (const Winsock *element : m_elements)
        count += element ? 1 : 0;
    return count;
}
