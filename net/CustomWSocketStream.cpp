// TCustomWSocket: the byte stream (delivery of received data, receiving, the send queue).
#include "net/CustomWSocket.h"
#include "net/CustomWSocketDetail.h"

#include <algorithm>
#include <cstring>

#include "platform/SocketTypes.h"

namespace quenlo {

namespace ws = platform::ws;
using namespace wsocket_detail;

namespace {

// Errors after which the connection is gone: a send that meets one ends the session.
bool IsConnectionLost(int error)
{
    switch (error) {
    case ws::WSAECONNRESET:
    case ws::WSAENOTSOCK:
    case ws::WSAENOTCONN:
    case ws::WSAEINVAL:
    case ws::WSAECONNABORTED:
        return true;
    default:
        return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TBuffer

TBuffer::TBuffer(int capacity)
    : capacity_(capacity > 0 ? capacity : 1514)
{
    data_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(capacity_));
}

int TBuffer::Write(const void* source, int len)
{
    int room = capacity_ - writePos_;
    if (room <= 0 || len <= 0)
        return 0;
    int count = std::min(len, room);
    std::memcpy(data_.get() + writePos_, source, static_cast<std::size_t>(count));
    writePos_ += count;
    return count;
}

const char* TBuffer::Peek(int& len) const noexcept
{
    int waiting = writePos_ - readPos_;
    if (waiting <= 0) {
        len = 0;
        return nullptr;
    }
    len = waiting;
    return data_.get() + readPos_;
}

int TBuffer::Remove(int len) noexcept
{
    int waiting = writePos_ - readPos_;
    if (waiting <= 0 || len <= 0)
        return 0;
    int count = std::min(len, waiting);
    readPos_ += count;
    if (readPos_ == writePos_)
        readPos_ = writePos_ = 0;
    return count;
}

void TCustomWSocket::DeliverReceivedData(std::uint16_t error)
{
    const TConnectionMark connection(*this);
    knownWaiting_ = 0;
    for (;;) {
        lastError_ = 0;
        try {
            bool assigned = TriggerDataAvailable(error);
            if (!connection.Current())
                return;  // destroyed, or the handler started another connection
            if (!assigned) {
                // Nobody reads: drain and discard, so the connection does not stall.
                char scratch[1024];
                if (DoRecv(scratch, sizeof(scratch), 0) == ws::SOCKET_ERROR) {
                    lastError_ = ws::WSAGetLastError();
                    if (lastError_ == ws::WSAEWOULDBLOCK) {
                        lastError_ = 0;
                        break;
                    }
                }
            }
            // Paused means no delivery until Resume, even with bytes still waiting.
            if (lastError_ != 0 || hSocket_ == ws::INVALID_SOCKET || paused_)
                break;
            // Bytes counted by the last query and not read since are still there: no need to ask
            // the system again until they are used up (one query per several reads when data
            // streams in).
            if (knownWaiting_ > 0)
                continue;
            unsigned long count = 0;
            if (ws::ioctlsocket_FIONREAD(hSocket_, &count) == ws::SOCKET_ERROR) {
                lastError_ = ws::WSAGetLastError();
                break;
            }
            knownWaiting_ = count;
            if (count == 0)
                break;
        } catch (...) {
            // Exceptions of OnDataAvailable handlers end the delivery and go no further.
            if (!connection.SocketAlive())
                return;
            break;
        }
    }
}

void TCustomWSocket::Pause()
{
    paused_ = true;
    if (hSocket_ != ws::INVALID_SOCKET)
        ws::WSAAsyncSelect(hSocket_, eventTarget_, 0, 0);
}

void TCustomWSocket::Resume()
{
    paused_ = false;
    if (hSocket_ != ws::INVALID_SOCKET)
        ws::WSAAsyncSelect(hSocket_, eventTarget_, WM_SOCKET_EVENT, kSessionEvents);
}

// ---------------------------------------------------------------------------------------------
// Receiving

int TCustomWSocket::DoRecv(void* buffer, int bufferSize, int flags)
{
    int result = ws::recv(hSocket_, buffer, bufferSize, flags);
    if (result > 0 && !(flags & MSG_PEEK))
        knownWaiting_ = knownWaiting_ > static_cast<unsigned long>(result) ? knownWaiting_ - result : 0;
    else if (result <= 0)
        knownWaiting_ = 0;
    return result;
}

int TCustomWSocket::DoRecvFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen)
{
    socklen_t len = fromLen > 0 ? static_cast<socklen_t>(fromLen) : 0;
    int result = ws::recvfrom(hSocket_, buffer, bufferSize, 0, reinterpret_cast<sockaddr*>(&from), &len);
    fromLen = static_cast<int>(len);
    return result;
}

int TCustomWSocket::Receive(void* buffer, int bufferSize)
{
    int result = DoRecv(buffer, bufferSize, 0);
    if (result >= 0)
        readCount_ += result;
    else
        lastError_ = ws::WSAGetLastError();
    return result;
}

std::string TCustomWSocket::ReceiveText()
{
    if (hSocket_ == ws::INVALID_SOCKET)
        return {};
    unsigned long count = 0;
    if (ws::ioctlsocket_FIONREAD(hSocket_, &count) == ws::SOCKET_ERROR || count == 0)
        return {};
    std::string text(std::min<unsigned long>(count, 0x7FFFFFFF), '\0');
    int n = DoRecv(text.data(), static_cast<int>(text.size()), 0);
    if (n <= 0)
        return {};
    text.resize(static_cast<std::size_t>(n));
    return text;
}

int TCustomWSocket::ReceiveFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen)
{
    int result = DoRecvFrom(buffer, bufferSize, from, fromLen);
    if (result >= 0)
        readCount_ += result;
    else
        lastError_ = ws::WSAGetLastError();
    return result;
}

// ---------------------------------------------------------------------------------------------
// Sending

void TCustomWSocket::QueueSendData(const void* data, int len)
{
    if (len <= 0)
        return;
    if (sendQueue_.empty())
        sendQueue_.emplace_back(sendBlockSize_);
    const char* bytes = static_cast<const char*>(data);
    int written = sendQueue_.back().Write(bytes, len);
    while (written < len) {
        sendQueue_.emplace_back(sendBlockSize_);
        written += sendQueue_.back().Write(bytes + written, len - written);
    }
}

void TCustomWSocket::FreeSendQueue() noexcept
{
    sendQueue_.clear();
}

int TCustomWSocket::RealSend(const void* data, int len)
{
    if (socketType_ == SOCK_DGRAM)
        return ws::sendto(hSocket_, data, len, sendFlags_, reinterpret_cast<const sockaddr*>(&remote_),
                          sizeof(remote_));
    return ws::send(hSocket_, data, len, sendFlags_);
}

void TCustomWSocket::TryToSend()
{
    if (hSocket_ == ws::INVALID_SOCKET)
        return;
    if (sendQueue_.empty()) {
        // Nothing queued is everything sent (keeps Flush from waiting for a drain that cannot come).
        allSent_ = true;
        return;
    }
    auto alive = LivenessToken();
    for (;;) {
        TBuffer& block = sendQueue_.front();
        int waiting = 0;
        const char* bytes = block.Peek(waiting);
        if (waiting <= 0) {
            if (sendQueue_.size() > 1) {
                sendQueue_.pop_front();
                continue;
            }
            allSent_ = true;  // the emptied block stays for reuse
            return;
        }
        int sent = RealSend(bytes, waiting);
        if (sent == 0)
            return;
        if (sent < 0) {
            int error = ws::WSAGetLastError();
            if (error == ws::WSAEWOULDBLOCK)
                return;  // the rest goes on the next write notification
            if (IsConnectionLost(error)) {
                const bool alreadyNotified = closedNotified_;
                closedNotified_ = true;  // so that Close does not report the end itself
                Close();
                if (alive.expired())
                    return;
                if (!alreadyNotified)
                    TriggerSessionClosed(static_cast<std::uint16_t>(error));
                return;
            }
            ws::WSASetLastError(error);
            ReportSocketError("TryToSend failed");
            return;
        }
        // A partial send is not a refusal, and only a refusal (10035) brings a later write
        // notification: keep going until the system refuses or the queue is empty, so the rest
        // is never left waiting for a notification that will not come.
        block.Remove(sent);
    }
}

int TCustomWSocket::Send(const void* data, int len)
{
    if (state_ != wsConnected) {
        ws::WSASetLastError(ws::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    allSent_ = false;
    int result = 0;
    if (len > 0) {
        QueueSendData(data, len);
        result = len;
    }
    auto alive = LivenessToken();
    TryToSend();
    if (alive.expired())
        return result;
    if (allSent_ && eventTarget_ != 0 && hSocket_ != ws::INVALID_SOCKET) {
        // OnDataSent must come from the event loop, never from inside Send.
        platform::PostMessage(eventTarget_, WM_SOCKET_EVENT, static_cast<platform::WPARAM>(hSocket_),
                              ws::WSAMAKESELECTREPLY(ws::FD_WRITE, 0));
    }
    return result;
}

int TCustomWSocket::SendText(const std::string& str)
{
    return Send(str.data(), static_cast<int>(std::min<std::size_t>(str.size(), 0x7FFFFFFF)));
}

int TCustomWSocket::SendTo(const sockaddr_in& dest, int destLen, const void* data, int len)
{
    return ws::sendto(hSocket_, data, len, sendFlags_, reinterpret_cast<const sockaddr*>(&dest),
                      static_cast<socklen_t>(destLen));
}

}  // namespace quenlo
