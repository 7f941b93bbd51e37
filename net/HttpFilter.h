// The layers of one HTTP connection. The client talks to the top layer only, and each layer to
// the one below it only through THttpFilter, so a proxy kind or another encryption is one layer
// more, not one more flag of the client's:
//
//     socket end (or the offline end of tests) -> [proxy's CONNECT tunnel] -> [TLS] -> [...] -> client
//
// The end reaches the peer (lookup, connect, close) and reports what happens there to the chain's
// listener. The layers above it open in turn once the connection is up (the tunnel asks the
// proxy, TLS shakes hands), each taking the connection's bytes while it opens, then carry the
// exchange's bytes. A layer may be destroyed by what its listener does: a call to the listener is
// the last thing a layer does before it returns.
#pragma once

#include "net/ErrorCodes.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quenlo {

class TWSocket;

// A layer that could not open, or broke.
struct THttpFilterFailure {
    std::string text;
    std::uint16_t code = HttpError::TlsFailed.number;
    // The server speaks no TLS and the request may go to it plain instead.
    bool repeatPlain = false;
};

// What the chain tells its owner.
class THttpChainListener {
public:
    virtual void ChainLookupDone(std::uint16_t error) = 0;
    virtual void ChainConnected(std::uint16_t error) = 0;
    virtual void ChainOpened() = 0;                     // every layer is open: the request may go
    virtual void ChainReadable() = 0;                   // bytes (or the peer's end) wait
    virtual void ChainSent() = 0;                       // what was sent has left
    virtual void ChainClosed(std::uint16_t error) = 0;  // the connection has ended
    virtual void ChainProgress() = 0;                   // an opening layer got an answer
    virtual void ChainFailed(const THttpFilterFailure& failure) = 0;

protected:
    ~THttpChainListener() = default;
};

class THttpFilter {
public:
    // Receive's result when no byte is waiting.
    static constexpr int kNothingWaiting = -2;

    THttpFilter(THttpFilter* below, THttpChainListener& listener) : below_(below), listener_(listener) {}
    virtual ~THttpFilter() = default;
    THttpFilter(const THttpFilter&) = delete;
    THttpFilter& operator=(const THttpFilter&) = delete;

    // The exchange's bytes. Send: len, or -1; it raises what the socket raises, and a layer that
    // breaks reports it to the listener. Receive: the count, 0 at the peer's end, kNothingWaiting,
    // or -1.
    virtual long Send(const char* data, std::size_t len) { return below_->Send(data, len); }
    virtual int Receive(void* buffer, int size) { return below_->Receive(buffer, size); }
    // Between two requests: true while the connection has brought neither bytes nor its end.
    virtual bool Quiet() { return below_->Quiet(); }
    // The peer has marked the end of its stream itself (TLS close_notify).
    virtual bool EndMarked() const { return below_->EndMarked(); }
    // The connection's close is the peer's own end of the stream, not one anybody in the path may
    // fake (true unless encrypted: then only the peer's close_notify tells).
    virtual bool CloseIsTheEnd() const { return below_->CloseIsTheEnd(); }
    // The exchange's bytes are encrypted on the way.
    virtual bool Encrypted() const { return below_->Encrypted(); }
    // The layer's segments leave without waiting for the acknowledgement of the one before.
    virtual void SendPromptly() { below_->SendPromptly(); }

    // ---- Opening (the chain calls these) ----
    bool IsOpen() const noexcept { return open_; }
    virtual void StartOpening() { Opened(); }
    // Bytes came, or the peer's end, while this layer opens.
    virtual void ContinueOpening() {}
    // What the layer waited for in vain for `idle`, and what the connection's close means while
    // it opens.
    virtual std::string StalledText(std::chrono::milliseconds idle) const;
    virtual THttpFilterFailure ClosedWhileOpening() const;

protected:
    // The layer is open: the next one opens (which may end in the listener's hands).
    void Opened();
    THttpFilter& Below() const noexcept { return *below_; }
    THttpChainListener& Listener() const noexcept { return listener_; }

private:
    friend class THttpChain;
    THttpFilter* below_;
    THttpChainListener& listener_;
    std::function<void()> next_;
    bool open_ = false;
};

// The bottom of a chain: it reaches the peer.
class THttpEnd : public THttpFilter {
public:
    explicit THttpEnd(THttpChainListener& listener) : THttpFilter(nullptr, listener) {}
    // ChainLookupDone follows, perhaps at once; it raises for a name it cannot look up at all.
    virtual void Lookup(const std::string& host) = 0;
    // To the looked-up host; ChainConnected follows. Raises for what the socket refuses at once,
    // LastError then says why (0: nothing the system said).
    virtual void Connect(const std::string& port, std::chrono::milliseconds attemptTimeout) = 0;
    virtual std::size_t Addresses() const = 0;
    virtual int LastError() const = 0;
    virtual bool Connected() const = 0;
    // Closes the connection; ChainClosed follows (at once when it was closed already).
    virtual void Close() = 0;
    // Ends the lookup and the connection without reporting anything.
    virtual void Stop() = 0;
    // Sent is reported for what leaves; without it the sender goes on at once.
    virtual bool ReportsSent() const = 0;
    // Encryption can go on this connection.
    virtual bool CanEncrypt() const = 0;

    bool EndMarked() const override { return false; }
    bool CloseIsTheEnd() const override { return true; }
    bool Encrypted() const override { return false; }
    void SendPromptly() override {}
};

// The client's socket as a chain's end.
class TSocketEnd final : public THttpEnd {
public:
    TSocketEnd(TWSocket& socket, THttpChainListener& listener);
    ~TSocketEnd() override;

    long Send(const char* data, std::size_t len) override;
    int Receive(void* buffer, int size) override;
    bool Quiet() override;
    void SendPromptly() override;
    void Lookup(const std::string& host) override;
    void Connect(const std::string& port, std::chrono::milliseconds attemptTimeout) override;
    std::size_t Addresses() const override;
    int LastError() const override;
    bool Connected() const override;
    void Close() override;
    void Stop() override;
    bool ReportsSent() const override { return true; }
    bool CanEncrypt() const override { return true; }

private:
    TWSocket& socket_;
    std::uint64_t closeReports_ = 0;
};

// No network: what is sent is kept in `sent`, the received bytes and the close come from the
// test that drives the client; lookup and connect succeed at once.
class TOfflineEnd final : public THttpEnd {
public:
    TOfflineEnd(std::string& sent, THttpChainListener& listener) : THttpEnd(listener), sent_(sent) {}

    long Send(const char* data, std::size_t len) override
    {
        sent_.append(data, len);
        return static_cast<long>(len);
    }
    int Receive(void*, int) override { return kNothingWaiting; }
    bool Quiet() override { return true; }
    void Lookup(const std::string&) override;
    void Connect(const std::string&, std::chrono::milliseconds) override;
    std::size_t Addresses() const override { return 1; }
    int LastError() const override { return 0; }
    bool Connected() const override { return true; }
    void Close() override;
    void Stop() override {}
    bool ReportsSent() const override { return false; }
    bool CanEncrypt() const override { return false; }

private:
    std::string& sent_;
};

// Adds a layer above `below` that reports to `listener`.
using THttpFilterFactory = std::function<std::unique_ptr<THttpFilter>(THttpFilter& below, THttpChainListener& listener)>;

// What a connection is made of above its end: the proxy's CONNECT tunnel and TLS, and whether
// TLS may give way to plain when the server speaks none.
struct THttpTransport {
    bool tls = false;
    bool plainAllowed = false;
    bool tunnel = false;
};

// An end and the layers above it, with the transport the layers are built for.
class THttpChain {
public:
    ~THttpChain() { Clear(); }
    void Clear();
    void SetEnd(std::unique_ptr<THttpEnd> end);
    THttpEnd* End() const noexcept { return end_.get(); }
    const THttpTransport& Transport() const noexcept { return transport_; }
    void SetTransport(const THttpTransport& transport) noexcept { transport_ = transport; }
    // Layers go from the end up; the end stays.
    void DropLayers();
    void Add(const THttpFilterFactory& make, THttpChainListener& listener);
    THttpFilter& Top() const noexcept;
    // Opens the layers in turn; ChainOpened follows once every one is open, or ChainFailed.
    void Open();
    // The lowest layer still opening; nullptr when all are open.
    THttpFilter* Opening() const noexcept;
    // Readable: the opening layer takes the bytes; false when they are the exchange's.
    bool TakeReadable();

private:
    void OpenNext();

    std::unique_ptr<THttpEnd> end_;
    std::vector<std::unique_ptr<THttpFilter>> layers_;
    THttpTransport transport_;
    THttpChainListener* listener_ = nullptr;
};

}  // namespace quenlo
