// TWSocket: Quenlo's asynchronous TCP socket. This header is the manual of the whole class chain
//
//     TWSocket -> TCustomSyncWSocket -> TCustomLineWSocket -> TCustomSocksWSocket -> TCustomWSocket
//
// (net/LineWSocket.h, net/SocksWSocket.h, net/CustomWSocket.h hold the classes; TWSocket adds
// nothing). Include this header, not the others.
//
// ---------------------------------------------------------------------------------------------
// Model
//
// One TWSocket serves many connections in turn. It belongs to the thread that created it: all its
// notifications (lookup finished, connected, data arrived, data sent, closed) are messages in that
// thread's event loop (platform/EventLoop.h), and every event handler runs from there, one message
// at a time. Nothing blocks except a Connect to a host *name* (synchronous resolution) and the
// waiting loops the caller drives (Flush, WaitUntilClosed). Nothing is locked.
//
// A client exchange, as the events arrive:
//
//     sock.DnsLookup("printer.example");          // returns at once
//       OnDnsLookupDone(0)                        // DnsResult() holds the first address
//         sock.SetAddr(sock.DnsResult()); sock.SetPort("631"); sock.SetProto("tcp");
//         sock.Connect();                         // OnChangeState: wsClosed->wsOpened->wsConnecting
//       OnChangeState(wsConnecting, wsConnected)
//       OnSessionConnected(0)                     //   -> sock.Send(request...)
//       OnDataSent(0)                             // first write notification, then after each drain
//       OnDataAvailable(0) ...                    //   -> sock.Receive(buf, size) until -1/10035
//       OnSessionClosed(0)                        // the server closed; State() still wsConnected
//       OnChangeState(wsConnected, wsClosed)      // then every per-connection setting is reset
//
// After any close, ResetDefaults has run: Addr and Port keep their texts but are unassigned (set
// them again before the next Connect), and Proto ("tcp"), LocalPort ("0"), LingerOnOff (on),
// LingerTimeout (0) and FlushTimeout (60) are back to their defaults.
//
// ---------------------------------------------------------------------------------------------
// Errors
//
// Refusals and failed system calls of an operation you call are reported through ReportError:
// an ESocketException (net/WSocketBinding.h) thrown to you, or, when OnError is assigned, an
// OnError call after which the operation returns normally (LastError() tells the number; the text
// is lost). Texts of failed system calls read "Error <n> in function <name>" CR LF
// WSocketErrorText(n), e.g. "Error 10061 in function Connect\r\nConnection refused".
// Failures that happen later arrive as the error argument of the next event: a failed lookup is
// OnDnsLookupDone(11001), a refused connect OnSessionConnected(10061) then OnSessionClosed(0), a
// reset connection OnSessionClosed(10054).
//
// ---------------------------------------------------------------------------------------------
// Events (std::function members; each handler receives the socket first)
//
// OnDnsLookupDone(sender, error)   A lookup ended: 0, a resolver error (11001 host not found,
//     11002 temporary failure), or 10004 when CancelLookup cancelled it. For a dotted address it
//     fires inside DnsLookup. The handler may call Connect, DnsLookup again, or destroy the socket.
// OnSessionConnected(sender, error)   A connect completed. State() is wsConnected even when error
//     is non-zero; with an error the socket is closed right after the handler returns (unless the
//     handler already closed it), firing OnSessionClosed(0). The handler may Send, Close, Abort or
//     destroy the socket.
// OnDataAvailable(sender, error)   Received bytes are waiting. Fires again and again while bytes
//     remain, so read them with Receive (a handler that reads nothing is called again at once
//     while bytes wait). Exceptions thrown by this handler are swallowed. The handler may Close,
//     Abort or destroy the socket.
// OnDataSent(sender, error)   The send queue has drained: after every Send whose data all went
//     out (always later, from the event loop, never inside Send), and once at the first write
//     notification after a connect even if nothing was sent.
// OnSessionClosed(sender, error)   The connection ended, for any reason, exactly once per
//     connection, and never while the socket is being destroyed. error is 0 for an orderly close
//     (ours or the peer's), else the reset/abort number. Bytes that arrived before the peer closed
//     are offered to OnDataAvailable first; during a peer close State() is still wsConnected here.
//     The handler may destroy the socket, or set Addr/Port again and Connect anew.
// OnSessionAvailable(sender, error)   A listening socket has a connection to Accept.
// OnChangeState(sender, oldState, newState)   Every state change, after the new state is stored.
//
// No event fires while the socket is being destroyed (its owner may be half torn down).
// OnError(sender)   When assigned, replaces the ESocketException of every refusal and failure.
// OnBgException(sender, e, canClose)   An exception (std::exception) escaped one of the handlers
//     above during dispatch (OnDataAvailable excepted). canClose starts true; leave it true and
//     the connection is aborted, set it false to keep the connection. Anything this handler throws
//     is swallowed. Without a handler the connection is aborted.
// OnLineTooLong(sender), OnSocksConnected, OnSocksError, OnSocksAuthState: see the layers' headers.
//
// Re-entrancy: every handler may close, restart or destroy the socket that called it. The
// dispatch checks a liveness token after each handler and touches nothing of a destroyed socket;
// a connection started inside a handler is never touched by the rest of the old one's close, and
// notifications still queued for a closed connection never reach the next one.
// PumpMessages, Flush and WaitUntilClosed process messages, so handlers of this and other sockets
// may run inside them.
//
// ---------------------------------------------------------------------------------------------
// Operations (details in net/CustomWSocket.h)
//
//   DnsLookup(name), ReverseLookup(addr), CancelLookup()
//   SetAddr, SetPort, SetProto, SetLocalPort   (wsClosed only: "Cannot change Addr if not closed")
//   Connect(), Close(), Abort(), Shutdown(how), Flush(), WaitUntilClosed()
//   Send(data, len), SendText(str), SendTo(...), Receive(buf, size), ReceiveText(), ReceiveFrom(...)
//   Listen(), Accept(), Dup(handle), Pause(), Resume()
//   PeerAddr(), PeerPort(), GetPeerName(...), GetLocalPortText(), RcvdCount()
//   PumpMessages(), DrainThreadMessages()
//   MultiThreaded, SendFlags, LingerOnOff, LingerTimeout, FlushTimeout, ReadCount, LastError, State
#pragma once

#include "net/CustomWSocket.h"
#include "net/LineWSocket.h"
#include "net/SocksWSocket.h"
#include "net/WSocketBinding.h"

namespace quenlo {

class TWSocket : public TCustomSyncWSocket {
public:
    explicit TWSocket(TComponent* owner = nullptr) : TCustomSyncWSocket(owner) {}
};

}  // namespace quenlo
