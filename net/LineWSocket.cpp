#include "net/LineWSocket.h"

namespace quenlo {

TCustomLineWSocket::TCustomLineWSocket(TComponent* owner)
    : TCustomSocksWSocket(owner)
{
}

void TCustomLineWSocket::SetLineMode(bool value)
{
    lineMode_ = value;
}

int TCustomLineWSocket::RcvdCount()
{
    return TCustomSocksWSocket::RcvdCount();
}

void TCustomLineWSocket::DispatchNotification(TMessage& msg)
{
    TCustomSocksWSocket::DispatchNotification(msg);
}

int TCustomLineWSocket::DoRecv(void* buffer, int bufferSize, int flags)
{
    return TCustomSocksWSocket::DoRecv(buffer, bufferSize, flags);
}

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t error)
{
    return TCustomSocksWSocket::TriggerDataAvailable(error);
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t error)
{
    TCustomSocksWSocket::TriggerSessionClosed(error);
}

void TCustomLineWSocket::EditLine(int& /*len*/)
{
}

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* owner)
    : TCustomLineWSocket(owner)
{
}

}  // namespace quenlo
