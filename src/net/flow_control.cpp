#include "net/flow_control.h"

#include "net/winsock.h"

void passOn(Winsock &from, Winsock &to, const QByteArray &piece)
{
    to.SendData(piece);
    if (to.BytesQueued() > kQueueHighWaterBytes)
        from.PauseReceiving();
}

void resumeAfterDrain(Winsock *from)
{
    if (from)
        from->ResumeReceiving();
}
