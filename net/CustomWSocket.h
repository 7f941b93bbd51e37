// TCustomWSocket: the asynchronous TCP (and UDP) socket at the bottom of the socket class chain,
// with its send queue of TBuffer blocks. Applications use TWSocket (net/WSocket.h, the manual of the
// whole chain); this header documents the operations in detail.
//
// Threads: a socket belongs to the thread that created it. All its notifications arrive as messages
// in that thread's event loop (platform/EventLoop.h) and every event handler runs there, one
// message at a time. Nothing here is locked.
#pragma once

#include "net/Component.h"
#include "net/WSocketBinding.h"
#include "platform/EventLoop.h"
#include "platform/Wait.h"
#include "platform/Winsock.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/SocketTypes.h"

namespace quenlo {

// ---------------------------------------------------------------------------------------------
// Enumerations

enum TSocketState : std::uint8_t {
    wsInvalidState = 0,  // never set by the layer
    wsOpened = 1,        // handle created, not yet bound or connecting
    wsBound = 2,         // bound to a local address (server side)
    wsConnecting = 3,    // non-blocking connect issued, outcome pending
    wsConnected = 4,     // connection established (also: datagram socket ready)
    wsAccepting = 5,     // never set by the layer
    wsListening = 6,     // listening (server side)
    wsClosed = 7,        // no connection; the initial state
};
// "wsConnected" and so on; "?" for a value outside the enumeration.
const char* to_string(TSocketState state) noexcept;

enum TSocketSendFlags : int {
    wsSendNormal = 0,  // flags 0 passed to send
    wsSendUrgent = 1,  // out-of-band data
};

enum TSocketLingerOnOff : int {
    wsLingerOff = 0,
    wsLingerOn = 1,
    wsLingerNoSet = 2,  // leave the system default alone
};

// Message numbers handled by DispatchNotification.
constexpr unsigned WM_SOCKET_EVENT = platform::WM_USER + 1;     // 0x401: wParam socket, lParam bits|error<<16
constexpr unsigned WM_HOSTBYNAME_DONE = platform::WM_USER + 2;  // 0x402: wParam lookup request
constexpr unsigned WM_HOSTBYADDR_DONE = platform::WM_USER + 3;  // 0x403: wParam lookup request

// A notification as the dispatch sees it; Result is what the window procedure returns.
struct TMessage {
    unsigned Msg = 0;
    platform::WPARAM WParam = 0;
    platform::LPARAM LParam = 0;
    platform::LRESULT Result = 0;
};

// ---------------------------------------------------------------------------------------------
// TBuffer: one block of the send queue. Bytes are appended at WritePos and handed to the system
// from ReadPos; the block is never compacted, but once everything written has been removed both
// positions return to 0 and the whole block is free again.
// Invariant: 0 <= ReadPos <= WritePos <= Capacity.

class TBuffer {
public:
    // Capacity 0 or less gives 1514.
    explicit TBuffer(int capacity);

    // Copies as many of len bytes as fit after WritePos; returns the count (0 when full or len <= 0).
    int Write(const void* source, int len);
    // The waiting bytes: sets len to their number and returns their address; nullptr and 0 when none.
    const char* Peek(int& len) const noexcept;
    // Drops up to len waiting bytes from the front; returns the count.
    int Remove(int len) noexcept;

    int Capacity() const noexcept { return capacity_; }
    int WritePos() const noexcept { return writePos_; }
    int ReadPos() const noexcept { return readPos_; }

private:
    std::unique_ptr<char[]> data_;
    int capacity_;
    int writePos_ = 0;
    int readPos_ = 0;
};

// ---------------------------------------------------------------------------------------------
// TCustomWSocket

class TCustomWSocket : public TComponent {
public:
    // Event types. Error is a Windows Sockets error number (platform/Winsock.h), 0 for success.
    using TDnsLookupDone = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TSessionConnected = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TDataAvailable = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TDataSent = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TSessionClosed = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TSessionAvailable = std::function<void(TCustomWSocket& sender, std::uint16_t error)>;
    using TChangeState =
        std::function<void(TCustomWSocket& sender, TSocketState oldState, TSocketState newState)>;
    using TNotifyEvent = std::function<void(TCustomWSocket& sender)>;
    using TBgExceptionEvent =
        std::function<void(TCustomWSocket& sender, const std::exception& e, bool& canClose)>;

    // Creates the notification target on the calling thread and counts the socket in
    // SocketInstanceCount. The socket starts closed with every setting at its default.
    explicit TCustomWSocket(TComponent* owner = nullptr);
    // Cancels a pending lookup and closes an open connection without firing any event, then
    // releases the notification target. Safe from inside one of this socket's own handlers.
    ~TCustomWSocket() override;

    // ----- Events (see net/WSocket.h for when each fires and what a handler may do) -----
    TDnsLookupDone OnDnsLookupDone;
    TSessionConnected OnSessionConnected;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSessionClosed OnSessionClosed;
    TSessionAvailable OnSessionAvailable;
    TChangeState OnChangeState;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

    // ----- Properties -----
    // Texts are stored trimmed; the setters refuse while State() is not wsClosed with
    // "Cannot change Addr if not closed" (Port, Proto likewise). Setting the same text again on an
    // assigned property does nothing.
    const std::string& Addr() const noexcept { return addrText_; }
    void SetAddr(const std::string& value);
    const std::string& Port() const noexcept { return portText_; }
    virtual void SetPort(const std::string& value);
    const std::string& Proto() const noexcept { return protoText_; }
    virtual void SetProto(const std::string& value);
    // Stored untrimmed; refused outside wsClosed with "Cannot change LocalPort if not closed".
    // After a bind it holds the port the system chose.
    const std::string& LocalPort() const noexcept { return localPortText_; }
    void SetLocalPort(const std::string& value);
    // Further numeric addresses (DnsResultList, say) a stream Connect tries in turn after Addr's,
    // when an attempt is refused or has not completed within ConnectAttemptTimeout. The last
    // address has no such limit: the caller's own time-out ends it. Put back to none by
    // ResetDefaults, so they serve one connection. Refused like Addr outside wsClosed.
    void SetFallbackAddrs(std::vector<std::string> addresses);
    static constexpr std::chrono::milliseconds kDefaultConnectAttemptTimeout{4000};
    std::chrono::milliseconds ConnectAttemptTimeout() const noexcept { return attemptTimeout_; }
    void SetConnectAttemptTimeout(std::chrono::milliseconds value) noexcept { attemptTimeout_ = value; }

    // Dotted or IPv6 address / decimal port of the peer while wsConnected, else "error".
    virtual std::string PeerAddr();
    virtual std::string PeerPort();

    // Results of the last lookup: the first address (the host name after a reverse lookup), and all
    // addresses of a forward lookup by name, IPv6 and IPv4 in the order to try them (empty for a
    // numeric address). IPv6 addresses are written without brackets.
    const std::string& DnsResult() const noexcept { return dnsResult_; }
    const std::vector<std::string>& DnsResultList() const noexcept { return dnsResultList_; }

    TSocketState State() const noexcept { return state_; }
    // Bytes returned by Receive and ReceiveFrom since the connection started.
    int ReadCount() const noexcept { return readCount_; }
    // Bytes a Receive would return now. When the system cannot tell (no handle, for one) it is
    // ReportSocketError "ioctlSocket" and -1.
    virtual int RcvdCount();
    // Last Windows Sockets error number seen by an operation of this socket.
    int LastError() const noexcept { return lastError_; }

    // Selects how PumpMessages works: false processes every pending message of the application
    // (toolkit included); true only the calling thread's own queue (DrainThreadMessages).
    bool MultiThreaded() const noexcept { return multiThreaded_; }
    void SetMultiThreaded(bool value) noexcept { multiThreaded_ = value; }
    // A quit message was consumed by DrainThreadMessages.
    bool ThreadTerminated() const noexcept { return threadTerminated_; }

    // Stored and published only; default 60.
    int FlushTimeout() const noexcept { return flushTimeout_; }
    void SetFlushTimeout(int value) noexcept { flushTimeout_ = value; }

    // Passed to every send. Any other value is refused with "Invalid SendFlags".
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags value);

    // Applied when a stream connection is set up (and by Abort). The default (on, 0 s) makes a
    // close reset the connection at once instead of lingering. LingerTimeout is at most 65535.
    TSocketLingerOnOff LingerOnOff() const noexcept { return lingerOnOff_; }
    void SetLingerOnOff(TSocketLingerOnOff value) noexcept { lingerOnOff_ = value; }
    int LingerTimeout() const noexcept { return lingerTimeout_; }
    void SetLingerTimeout(int value) noexcept;

    // The send queue has drained (also true when nothing was queued since the last close).
    bool AllSent() const noexcept { return allSent_; }
    // OnSessionClosed has already fired for the current connection.
    bool ClosedNotified() const noexcept { return closedNotified_; }
    // The system handle, INVALID_SOCKET when there is none.
    platform::ws::SOCKET HSocket() const noexcept { return hSocket_; }
    // The notification target that receives lookups' answers (and the line layer's messages).
    platform::HWND Handle() const noexcept { return window_; }
    // The send queue, oldest block first (for inspection).
    const std::deque<TBuffer>& SendQueue() const noexcept { return sendQueue_; }
    // Handle returned by the last Accept.
    platform::ws::SOCKET AcceptedHandle() const noexcept { return acceptedHandle_; }

    // ----- Name lookup -----
    // Starts a forward lookup. A dotted address, or an IPv6 one (in brackets or not), completes
    // before this returns: DnsResult is its canonical form (IPv6 without brackets), DnsResultList
    // empty, OnDnsLookupDone(0). A name is resolved in the
    // background and OnDnsLookupDone(error) fires later from the event loop (11001 unknown host).
    // A lookup still pending is cancelled silently first. An empty name: ReportError
    // "DNS lookup: invalid host name." then OnDnsLookupDone(10022) (reached only with OnError).
    virtual void DnsLookup(const std::string& hostName);
    // Background lookup of the name of a dotted address: DnsResult is the host name and
    // DnsResultList holds that one name. Only the first 255 characters of the text are used.
    // An answer without a name (or, for DnsLookup, without an address) ends with 11004.
    virtual void ReverseLookup(const std::string& hostAddr);
    // Cancels a pending lookup and fires OnDnsLookupDone(10004) (not while being destroyed);
    // nothing when none is pending.
    virtual void CancelLookup();

    // ----- Connection -----
    // Validates (refusals in this order: "Connect: Socket already in use", "Connect: No Port
    // Specified", "Connect: No IP Address Specified", "Connect: No Protocol Specified"), resolves
    // Proto, Port, LocalPort and Addr (a host name blocks here, for all its addresses; failures
    // "connect: " + message), creates the socket and starts a non-blocking connect: OnChangeState
    // reports wsOpened and wsConnecting before it returns. The outcome comes as
    // OnSessionConnected(error); a stream connection first tries the further addresses (see
    // SetFallbackAddrs), and only the last one's failure is reported. A datagram
    // socket (Proto "udp") is ready at once: wsConnected and OnSessionConnected(0) inside Connect.
    virtual void Connect();
    // Graceful close: shutdown for sending, close the handle, wsClosed, OnSessionClosed(0) if not
    // yet fired for this connection, then ResetDefaults. Nothing on a closed socket.
    virtual void Close();
    // Immediate close: cancels a pending lookup (OnDnsLookupDone(10004)), drops the queued data,
    // and closes without the shutdown step.
    virtual void Abort();
    // Returns when the send queue has drained, the handle is gone, or a quit ends the wait (the
    // quit rule of platform/Wait.h; MultiThreaded consumes it into ThreadTerminated). Sleeps in
    // the event loop meanwhile, dispatching whatever arrives, so handlers of this and other
    // sockets run inside; it never spins.
    virtual void Flush();
    // Returns when the connection has closed, or at a quit as Flush does. Arriving data reaches
    // OnDataAvailable as usual; sleeps in the event loop like Flush.
    virtual void WaitUntilClosed();
    // Server side: binds to Addr:Port (use "0.0.0.0" for any address) and listens; a datagram
    // socket becomes wsConnected instead. An IPv6 Addr ("::1", "::" for any) listens on IPv6; a
    // name with IPv4 and IPv6 addresses listens on its first IPv4 one. Datagrams are IPv4 only.
    virtual void Listen();
    // Accepts a waiting connection of a listening socket; returns its handle (INVALID_SOCKET after
    // an error). Hand it to another socket with Dup.
    virtual platform::ws::SOCKET Accept();
    // Adopts an accepted handle as this socket's connection (closing a current one first).
    virtual void Dup(platform::ws::SOCKET newHandle);
    // Calls the system shutdown (0 receive, 1 send, 2 both) when a handle exists.
    virtual void Shutdown(int how);
    // Lets every send leave at once instead of waiting for the previous segment's acknowledgement
    // (TCP_NODELAY). Best effort: a connection that refuses it is only slower. Nothing when closed.
    void SendWithoutDelay() noexcept;
    // Suspends / resumes this socket's notifications.
    virtual void Pause();
    virtual void Resume();

    // ----- Data -----
    // Reads up to bufferSize bytes: the count read, 0 when the peer has closed, -1 on error with
    // LastError set (10035 when nothing is waiting). A non-negative result adds to ReadCount.
    virtual int Receive(void* buffer, int bufferSize);
    // Everything waiting now as a text; empty on error or when nothing waits. Not counted in
    // ReadCount.
    virtual std::string ReceiveText();
    // Datagram receive with the sender's address; counts in ReadCount like Receive.
    virtual int ReceiveFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen);
    // Queues len bytes (always all of them) and starts sending; returns len (0 for len <= 0).
    // On a socket that is not wsConnected: ReportSocketError "Send" with 10057 (which also ends a
    // connection attempt) and -1. OnDataSent never fires inside Send: when everything went out at
    // once, a write notification is posted so that OnDataSent(0) follows from the event loop.
    virtual int Send(const void* data, int len);
    // Datagram send straight to the system with the send flags.
    virtual int SendTo(const sockaddr_in& dest, int destLen, const void* data, int len);
    // Send of the text's bytes.
    virtual int SendText(const std::string& str);

    // ----- Queries -----
    // The system's getpeername result while wsConnected, else -1.
    virtual int GetPeerName(sockaddr_in& name, int nameLen);
    // The local port as decimal text in wsBound, wsConnected and wsListening; else "error".
    virtual std::string GetLocalPortText();
    // The system's getsockname result; -1 without a handle.
    virtual int GetSockName(sockaddr_in& name, int& nameLen);

    // ----- Message pumping -----
    // One pass of message processing: DrainThreadMessages when MultiThreaded, else every pending
    // message of the application. Handlers of this and other sockets may run inside.
    virtual void PumpMessages();
    // Dispatches every message of the calling thread's queue and returns when it is empty; a quit
    // message sets ThreadTerminated and is consumed.
    void DrainThreadMessages();

protected:
    // ----- Overridable steps of the chain -----
    // Handles WM_SOCKET_EVENT, WM_HOSTBYNAME_DONE and WM_HOSTBYADDR_DONE; anything else is left
    // with Result 0. Exceptions (std::exception) escaping a handler go to HandleEventException.
    virtual void DispatchNotification(TMessage& msg);
    // Puts the per-connection settings back to their defaults (runs in the constructor and at the
    // end of every close).
    virtual void ResetDefaults();
    // The close steps shared by Close and Abort; error is passed to OnSessionClosed.
    virtual void DoClose(bool shut, std::uint16_t error);
    // Binds to 0.0.0.0 and the local port number, then reads the chosen port back into LocalPort.
    virtual void BindLocal();
    // One piece of the send queue to the system (send, or sendto for datagram sockets).
    virtual int RealSend(const void* data, int len);
    // OnError when assigned, else throws ESocketException(text).
    virtual void ReportError(const std::string& text);
    // An exception escaped a handler during dispatch: OnBgException, then Abort unless cleared.
    virtual void HandleEventException(const std::exception& e);

    // Triggers: fire the event. TriggerDataAvailable returns whether a handler is assigned.
    virtual bool TriggerDataAvailable(std::uint16_t error);
    virtual void TriggerSessionAvailable(std::uint16_t error);
    virtual void TriggerSessionConnected(std::uint16_t error);
    virtual void TriggerSessionClosed(std::uint16_t error);
    virtual void TriggerDataSent(std::uint16_t error);
    virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
    virtual void TriggerDnsLookupDone(std::uint16_t error);
    virtual void TriggerError();

    // The raw receive that every read of the layer goes through (the SOCKS and line layers see it).
    virtual int DoRecv(void* buffer, int bufferSize, int flags);
    virtual int DoRecvFrom(void* buffer, int bufferSize, sockaddr_in& from, int& fromLen);

    // ----- Helpers for the layers above -----
    // Stores the state and fires OnChangeState(old, new).
    void SetState(TSocketState newState);
    // Offers waiting bytes to OnDataAvailable until none are left (drains them when no handler).
    void DeliverReceivedData(std::uint16_t error);
    // "Error N in function F" + CRLF + text; closes the handle for 10054/10057; then ReportError.
    void ReportSocketError(const std::string& functionName);
    void ReportSocketError(const std::string& functionName, int error);
    // Hands queued bytes to the system until the queue drains or the system is full.
    void TryToSend();
    void ApplyLinger();
    // Appends bytes to the send queue / frees every block of it.
    void QueueSendData(const void* data, int len);
    void FreeSendQueue() noexcept;
    // Every wait of the socket: platform::WaitUntil(done, deadline), where done() must report true
    // once this socket is destroyed. It ends at once when ThreadTerminated is already set; with
    // MultiThreaded a quit that ends it is consumed and sets ThreadTerminated, otherwise it stays
    // pending for the loop outside.
    platform::WaitEnd WaitFor(const std::function<bool()>& done,
                              platform::WaitClock::time_point deadline = platform::kNoDeadline);
    // Remote address record used by connect, bind (Listen) and sendto; network order.
    sockaddr_in& RemoteRecord() noexcept { return remote_; }
    // The addresses a stream Connect tries, in order (the port is RemoteRecord's); marks the
    // address resolved.
    void SetRemoteAddresses(std::vector<platform::ws::IpAddress> addresses);
    int ProtocolNumber() const noexcept { return protoNumber_; }
    int SocketType() const noexcept { return socketType_; }
    bool PortResolved() const noexcept { return portResolved_; }
    void SetPortResolved(bool value) noexcept { portResolved_ = value; }
    bool AddrResolved() const noexcept { return addrResolved_; }
    void SetAddrResolved(bool value) noexcept { addrResolved_ = value; }
    void SetLastError(int error) noexcept { lastError_ = error; }

private:
    // The shared rule of the Addr, Port and Proto setters: the same text while assigned changes
    // nothing; otherwise, while closed, store it trimmed and mark it (un)assigned and unresolved.
    void AssignConnectionText(const std::string& value, std::string& text, bool& assigned, bool& resolved,
                              const char* refusal);
    void DispatchSocketEvent(const TMessage& msg);
    void DispatchLookupDone(const TMessage& msg, bool reverse);
    void HandleCloseBit(std::uint16_t error);
    // Protocol, port and every address of Addr, for Connect (connecting: also the local port, and
    // the fallback addresses after Addr's) and for Listen. Throws as the WSocketResolve functions.
    void ResolveEndpoint(bool connecting);
    // The address Listen binds: Addr's first IPv4 address, else (stream sockets) its first IPv6.
    platform::ws::IpAddress ListenAddress() const;
    // Creates the socket for the current address and starts connecting it; the first attempt
    // reports wsOpened and wsConnecting, later ones stay in wsConnecting.
    void OpenAttempt(bool first);
    bool SetStreamOptions();
    // Gives up the current attempt for the next address; false when there is none.
    bool TryNextAddress();
    void HandleAttemptTimer();
    void StartLookup(const std::string& text, bool reverse);
    void RefuseLookup();
    void DropPendingLookup() noexcept;
    void CloseSocketHandle() noexcept;
    // Makes the coming close of handle immediate (a reset), whatever the linger setting.
    static void HardenClose(platform::ws::SOCKET handle) noexcept;
    void BeginConnection();
    void DestroyEventTarget() noexcept;
    // DrainThreadMessages, returning how many messages it took.
    std::size_t DrainThreadQueue();
    bool RegisterNotifications(long events);
    platform::LRESULT WindowProc(unsigned message, platform::WPARAM wParam, platform::LPARAM lParam);

    platform::ws::SOCKET hSocket_ = platform::ws::INVALID_SOCKET;
    platform::ws::SOCKET acceptedHandle_ = platform::ws::INVALID_SOCKET;
    platform::HWND window_ = 0;
    // Socket events of the current handle go to their own target, created with the handle and
    // destroyed with it, so events still queued for a closed handle can never reach a later
    // connection that the system gave the same descriptor number.
    platform::HWND eventTarget_ = 0;
    // Counts connections set up (Connect, Listen, Dup): a handler that starts a new connection
    // from inside a close is detected by the change.
    std::uint64_t generation_ = 0;

    // The connection current when it is taken. A handler may destroy the socket, or close it and
    // start another; from then on nothing of the old connection may be touched.
    class TConnectionMark {
    public:
        explicit TConnectionMark(const TCustomWSocket& socket)
            : socket_(socket), alive_(socket.LivenessToken()), generation_(socket.generation_) {}
        bool SocketAlive() const noexcept { return !alive_.expired(); }
        // Not destroyed, and no other connection set up since.
        bool Current() const noexcept { return SocketAlive() && socket_.generation_ == generation_; }
        // ... and its handle still open.
        bool Open() const noexcept { return Current() && socket_.hSocket_ != platform::ws::INVALID_SOCKET; }

    private:
        const TCustomWSocket& socket_;
        TLivenessToken alive_;
        std::uint64_t generation_;
    };

    std::deque<TBuffer> sendQueue_;
    int sendBlockSize_ = 1514;
    int sendFlags_ = 0;
    int lastError_ = 0;

    platform::ws::HANDLE lookupRequest_ = 0;
    std::string dnsResult_;
    std::vector<std::string> dnsResultList_;

    std::string addrText_;
    bool addrAssigned_ = false;
    bool addrResolved_ = false;
    int addressFamily_ = AF_INET;
    std::string protoText_ = "tcp";
    int protoNumber_ = 6;
    bool protoAssigned_ = true;
    bool protoResolved_ = false;
    std::string portText_;
    bool portAssigned_ = false;
    bool portResolved_ = false;
    std::uint16_t portNumber_ = 0;
    std::string localPortText_ = "0";
    bool localPortResolved_ = false;
    std::uint16_t localPortNumber_ = 0;
    int socketType_ = SOCK_STREAM;
    TSocketLingerOnOff lingerOnOff_ = wsLingerOn;
    int lingerTimeout_ = 0;
    bool allSent_ = true;
    int readCount_ = 0;
    // Bytes the system reported waiting in DeliverReceivedData minus those read since.
    unsigned long knownWaiting_ = 0;
    bool paused_ = false;
    bool closedNotified_ = false;
    int flushTimeout_ = 60;
    bool multiThreaded_ = false;
    TSocketState state_ = wsClosed;
    bool threadTerminated_ = false;
    sockaddr_in remote_{};
    std::vector<platform::ws::IpAddress> remoteAddresses_;
    std::size_t attempt_ = 0;
    std::vector<std::string> fallbackAddrs_;
    std::chrono::milliseconds attemptTimeout_ = kDefaultConnectAttemptTimeout;
};

}  // namespace quenlo
