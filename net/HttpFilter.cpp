#include "net/HttpFilter.h"

#include "net/WSocket.h"
#include "platform/Winsock.h"

namespace quenlo {

// ---- A layer ----------------------------------------------------------------------------------

std::string THttpFilter::StalledText(std::chrono::milliseconds) const { return {}; }

THttpFilterFailure THttpFilter::ClosedWhileOpening() const
{
    return {"the connection closed while it was being set up"};
}

void THttpFilter::Opened()
{
    open_ = true;
    if (next_)
        next_();
}

// ---- The socket's end ---------------------------------------------------------------------------

TSocketEnd::TSocketEnd(TWSocket& socket, THttpChainListener& listener) : THttpEnd(listener), socket_(socket)
{
    socket_.OnDnsLookupDone = [this](TCustomWSocket&, std::uint16_t e) { Listener().ChainLookupDone(e); };
    socket_.OnSessionConnected = [this](TCustomWSocket&, std::uint16_t e) { Listener().ChainConnected(e); };
    socket_.OnDataAvailable = [this](TCustomWSocket&, std::uint16_t) { Listener().ChainReadable(); };
    socket_.OnDataSent = [this](TCustomWSocket&, std::uint16_t) { Listener().ChainSent(); };
    socket_.OnSessionClosed = [this](TCustomWSocket&, std::uint16_t e) {
        ++closeReports_;
        Listener().ChainClosed(e);
    };
}

// The socket fires nothing while it is destroyed; its handlers go anyway, so that nothing can
// reach this end once it is gone.
TSocketEnd::~TSocketEnd()
{
    socket_.OnDnsLookupDone = nullptr;
    socket_.OnSessionConnected = nullptr;
    socket_.OnDataAvailable = nullptr;
    socket_.OnDataSent = nullptr;
    socket_.OnSessionClosed = nullptr;
}

long TSocketEnd::Send(const char* data, std::size_t len) { return socket_.Send(data, static_cast<int>(len)); }

int TSocketEnd::Receive(void* buffer, int size)
{
    const int n = socket_.Receive(buffer, size);
    if (n >= 0)
        return n;
    return socket_.LastError() == platform::ws::WSAEWOULDBLOCK ? kNothingWaiting : -1;
}

bool TSocketEnd::Quiet()
{
    char scratch[1024];
    return Receive(scratch, sizeof scratch) == kNothingWaiting;
}

void TSocketEnd::SendPromptly() { socket_.SendWithoutDelay(); }

void TSocketEnd::Lookup(const std::string& host) { socket_.DnsLookup(host); }

void TSocketEnd::Connect(const std::string& port, std::chrono::milliseconds attemptTimeout)
{
    socket_.SetAddr(socket_.DnsResult());
    // A name's further addresses are tried in turn when its first does not answer.
    const std::vector<std::string>& every = socket_.DnsResultList();
    socket_.SetFallbackAddrs(every.size() > 1 ? std::vector<std::string>(every.begin() + 1, every.end())
                                              : std::vector<std::string>());
    socket_.SetConnectAttemptTimeout(attemptTimeout);
    socket_.SetPort(port);
    socket_.SetProto("tcp");
    socket_.Connect();
}

std::size_t TSocketEnd::Addresses() const { return socket_.DnsResultList().size(); }
int TSocketEnd::LastError() const { return socket_.LastError(); }
bool TSocketEnd::Connected() const { return socket_.State() == wsConnected; }

void TSocketEnd::Close()
{
    const std::uint64_t reportsBefore = closeReports_;
    try {
        socket_.Close();
    } catch (const std::exception&) {
        // A close that fails still ends the connection for us.
    }
    // A socket that was already closed (or never connected) reports nothing: report it here.
    if (closeReports_ == reportsBefore && socket_.State() == wsClosed)
        Listener().ChainClosed(0);
}

void TSocketEnd::Stop()
{
    try {
        socket_.CancelLookup();
    } catch (const std::exception&) {
    }
    try {
        socket_.Abort();
    } catch (const std::exception&) {
    }
}

// ---- The offline end ----------------------------------------------------------------------------

void TOfflineEnd::Lookup(const std::string&) { Listener().ChainLookupDone(0); }

void TOfflineEnd::Connect(const std::string&, std::chrono::milliseconds)
{
    sent_.clear();
    Listener().ChainConnected(0);
}

void TOfflineEnd::Close() { Listener().ChainClosed(0); }

// ---- The chain ----------------------------------------------------------------------------------

void THttpChain::Clear()
{
    DropLayers();
    end_.reset();
    transport_ = {};
}

void THttpChain::SetEnd(std::unique_ptr<THttpEnd> end)
{
    Clear();
    end_ = std::move(end);
    end_->open_ = true;
}

void THttpChain::DropLayers()
{
    while (!layers_.empty())
        layers_.pop_back();
}

void THttpChain::Add(const THttpFilterFactory& make, THttpChainListener& listener)
{
    layers_.push_back(make(Top(), listener));
    layers_.back()->next_ = [this] { OpenNext(); };
}

THttpFilter& THttpChain::Top() const noexcept
{
    return layers_.empty() ? static_cast<THttpFilter&>(*end_) : *layers_.back();
}

void THttpChain::Open() { OpenNext(); }

void THttpChain::OpenNext()
{
    if (THttpFilter* layer = Opening()) {
        layer->StartOpening();
        return;
    }
    end_->Listener().ChainOpened();
}

THttpFilter* THttpChain::Opening() const noexcept
{
    for (const auto& layer : layers_)
        if (!layer->IsOpen())
            return layer.get();
    return nullptr;
}

bool THttpChain::TakeReadable()
{
    THttpFilter* layer = Opening();
    if (layer == nullptr)
        return false;
    layer->ContinueOpening();
    return true;
}

}  // namespace quenlo
