#include "net/LineWSocket.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace quenlo {

namespace ws = platform::ws;

namespace {

constexpr char kBackspace = 8;
constexpr char kTab = 9;
constexpr int kTabWidth = 8;
constexpr int kWaitTimedOut = 12001;

}  // namespace

// ---------------------------------------------------------------------------------------------
// TCustomLineWSocket

TCustomLineWSocket::TCustomLineWSocket(TComponent* owner)
    : TCustomSocksWSocket(owner)
{
}

void TCustomLineWSocket::SetLineMode(bool value)
{
    if (value == lineMode_)
        return;
    lineMode_ = value;
    if (value)
        searchFrom_ = 0;  // waiting bytes were never searched for lines
    else
        offeredLineLength_ = 0;  // the rest of an offered line is ordinary data from now on
    if (bufferedCount_ > 0 || offeredLineLength_ > 0)
        PostRedeliver();
}

void TCustomLineWSocket::SetLineEnd(const std::string& value)
{
    if (value == lineEnd_)
        return;
    lineEnd_ = value;
    searchFrom_ = 0;
    if (!Cutting())
        offeredLineLength_ = 0;
    if (bufferedCount_ > 0)
        PostRedeliver();
}

void TCustomLineWSocket::PostRedeliver()
{
    if (Handle() != 0)
        platform::PostMessage(Handle(), WM_LINE_REDELIVER, 0, 0);
}

// ---------------------------------------------------------------------------------------------
// The line buffer

void TCustomLineWSocket::EnsureCapacity(int needed)
{
    if (lineBufferSize_ >= needed)
        return;
    // Exactly what is waiting plus one byte: a line never costs more memory than its bytes.
    auto grown = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(needed));
    if (bufferedCount_ > 0)
        std::memcpy(grown.get(), Held(), static_cast<std::size_t>(bufferedCount_));
    lineBuffer_ = std::move(grown);
    lineBufferSize_ = needed;
    head_ = 0;
}

void TCustomLineWSocket::Consume(int count) noexcept
{
    head_ += count;
    bufferedCount_ -= count;
    searchFrom_ = std::max(0, searchFrom_ - count);
    if (bufferedCount_ <= 0) {
        bufferedCount_ = 0;
        head_ = 0;
    }
}

void TCustomLineWSocket::FreeLineBuffer() noexcept
{
    lineBuffer_.reset();
    lineBufferSize_ = 0;
    head_ = 0;
    bufferedCount_ = 0;
    offeredLineLength_ = 0;
    searchFrom_ = 0;
    ++bufferEpoch_;
}

int TCustomLineWSocket::ReadIntoLineBuffer()
{
    if (SocksLeftover() <= 0 && HSocket() == ws::INVALID_SOCKET)
        return 0;
    const int count = TCustomSocksWSocket::RcvdCount();
    if (count <= 0)
        return 0;
    if (head_ > 0 && bufferedCount_ > 0)
        std::memmove(lineBuffer_.get(), Held(), static_cast<std::size_t>(bufferedCount_));
    head_ = 0;
    EnsureCapacity(bufferedCount_ + count + 1);

    // Straight from the connection (and counted in ReadCount), even while a line is offered.
    readingRaw_ = true;
    int n = 0;
    try {
        n = TCustomSocksWSocket::Receive(Held() + bufferedCount_, count);
    } catch (...) {
        readingRaw_ = false;
        throw;
    }
    readingRaw_ = false;
    if (n <= 0)
        return 0;

    int low = bufferedCount_;
    if (lineEdit_) {
        EditLine(n);
        low = bufferedCount_;
    } else if (lineEcho_) {
        try {
            Send(Held() + bufferedCount_, n);
        } catch (const std::exception&) {
            // A failed echo ends the connection; its close notification reports it.
        }
    }
    // A terminator may have started in the bytes already waiting.
    const int overlap = static_cast<int>(lineEnd_.size()) - 1;
    searchFrom_ = std::min(searchFrom_, std::max(0, low - overlap));
    bufferedCount_ += n;
    return n;
}

void TCustomLineWSocket::EditLine(int& len)
{
    char* buffer = Held();
    const int start = bufferedCount_;
    // Bytes of a line being offered are not ours to erase.
    const int floor = offeredLineLength_;
    int out = start;
    int low = start;
    bool edited = false;
    std::string edit;  // the edited text from the front of the buffer, once there is an edit
    std::string echo;

    for (int i = start; i < start + len; ++i) {
        const char c = buffer[i];
        if ((c == kBackspace || c == kTab) && !edited) {
            edited = true;
            edit.assign(buffer, static_cast<std::size_t>(out));
        }
        if (c == kBackspace) {
            if (out > floor) {
                if (lineEcho_)
                    echo += "\b \b";
                --out;
                low = std::min(low, out);
                edit.resize(static_cast<std::size_t>(out));
            }
        } else if (c == kTab) {
            do {
                edit += ' ';
                ++out;
                if (lineEcho_)
                    echo += ' ';
            } while ((out - floor) % kTabWidth != 0);
        } else {
            if (lineEcho_)
                echo += c;
            if (edited)
                edit += c;
            ++out;
        }
    }

    if (edited) {
        EnsureCapacity(out + 1);
        std::memcpy(Held() + low, edit.data() + low, static_cast<std::size_t>(out - low));
        bufferedCount_ = low;
        len = out - low;
    }
    if (!echo.empty()) {
        try {
            SendText(echo);
        } catch (const std::exception&) {
        }
    }
}

int TCustomLineWSocket::FindLineEnd()
{
    const int endLength = static_cast<int>(lineEnd_.size());
    const int last = bufferedCount_ - endLength;  // the last offset where a terminator fits
    if (last < 0)
        return -1;
    const char* held = Held();
    const char first = lineEnd_[0];
    int i = searchFrom_;
    while (i <= last) {
        const void* hit = std::memchr(held + i, first, static_cast<std::size_t>(last - i + 1));
        if (hit == nullptr)
            break;
        i = static_cast<int>(static_cast<const char*>(hit) - held);
        if (std::memcmp(held + i, lineEnd_.data(), static_cast<std::size_t>(endLength)) == 0)
            return i;
        ++i;
    }
    searchFrom_ = last + 1;
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Delivery

bool TCustomLineWSocket::TriggerDataAvailable(std::uint16_t error)
{
    // The proxy's bytes during a SOCKS negotiation are not lines.
    if (!Cutting() || SocksNegotiating())
        return TCustomSocksWSocket::TriggerDataAvailable(error);
    ReadIntoLineBuffer();
    // A handler that pumps messages while a line is offered gets here again: the new bytes are
    // kept, and the delivery running below it offers them in order.
    if (!delivering_)
        DeliverLines();
    return true;
}

namespace {

// Clears a flag of the socket when the scope ends, unless the socket is gone by then.
struct TClearOnExit {
    bool& flag;
    TLivenessToken alive;
    ~TClearOnExit()
    {
        if (!alive.expired())
            flag = false;
    }
};

}  // namespace

void TCustomLineWSocket::DeliverLines()
{
    auto alive = LivenessToken();
    const std::uint64_t epoch = bufferEpoch_;
    delivering_ = true;
    const TClearOnExit reset{delivering_, alive};

    while (Cutting()) {
        if (offeredLineLength_ <= 0) {
            const int at = FindLineEnd();
            if (at < 0)
                return;  // the rest waits for more data
            offeredLineLength_ = at + static_cast<int>(lineEnd_.size());
        }
        // Reads of the handler shorten the offer (DoRecv); switching line mode off ends it.
        while (Cutting() && offeredLineLength_ > 0) {
            const bool assigned = TCustomSocksWSocket::TriggerDataAvailable(0);
            if (alive.expired() || bufferEpoch_ != epoch)
                return;  // destroyed or closed by the handler
            if (!assigned) {
                Consume(offeredLineLength_);  // nobody reads lines: dropped
                offeredLineLength_ = 0;
            }
        }
    }
}

void TCustomLineWSocket::Redeliver()
{
    auto alive = LivenessToken();
    const std::uint64_t epoch = bufferEpoch_;
    // With line mode off the waiting bytes go to OnDataAvailable until they are read; a handler
    // that reads none keeps them (RcvdCount counts them) rather than being called forever.
    while (bufferedCount_ > 0 && !Cutting()) {
        const int before = bufferedCount_;
        const bool assigned = TCustomSocksWSocket::TriggerDataAvailable(0);
        if (alive.expired() || bufferEpoch_ != epoch)
            return;
        if (!assigned) {
            Consume(bufferedCount_);
            return;
        }
        if (bufferedCount_ == before && !Cutting())
            return;
    }
    // With line mode on they are searched for lines as if they had just arrived; nothing is read
    // from the connection, so a buffer without a complete line is left alone, never spun on.
    if (Cutting() && bufferedCount_ > 0 && !delivering_ && !SocksNegotiating())
        DeliverLines();
}

void TCustomLineWSocket::OfferRestAtClose()
{
    if (bufferedCount_ <= 0 || offeringRest_)
        return;
    auto alive = LivenessToken();
    const std::uint64_t epoch = bufferEpoch_;
    offeringRest_ = true;
    const TClearOnExit reset{offeringRest_, alive};

    // Nothing more will arrive: a handler that takes nothing ends the offers.
    while (bufferedCount_ > 0) {
        const int before = bufferedCount_;
        const bool cutting = Cutting();
        offeredLineLength_ = cutting ? bufferedCount_ : 0;
        bool assigned = false;
        bool raised = false;
        try {
            assigned = TCustomSocksWSocket::TriggerDataAvailable(0);
        } catch (...) {
            // Data handlers' exceptions are swallowed; here the rest would stay and make every
            // later close (the automatic abort too) offer it and raise again: it is dropped.
            raised = true;
        }
        if (alive.expired() || bufferEpoch_ != epoch)
            return;
        if (raised || !assigned) {
            Consume(bufferedCount_);
            break;
        }
        if (bufferedCount_ == before && Cutting() == cutting)
            break;
    }
    offeredLineLength_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Receiving

bool TCustomLineWSocket::HoldsReadableBytes() const noexcept
{
    return offeredLineLength_ > 0 || (bufferedCount_ > 0 && !Cutting());
}

int TCustomLineWSocket::ReadHeld(void* buffer, int bufferSize)
{
    if (bufferSize <= 0)
        return 0;
    // An offered line is read no further than its end; otherwise every waiting byte is raw data.
    const int available = offeredLineLength_ > 0 ? offeredLineLength_ : bufferedCount_;
    const int count = std::min(bufferSize, available);
    std::memcpy(buffer, Held(), static_cast<std::size_t>(count));
    Consume(count);
    if (offeredLineLength_ > 0)
        offeredLineLength_ -= count;
    return count;
}

int TCustomLineWSocket::DoRecv(void* buffer, int bufferSize, int flags)
{
    // A zero-length read is a question to the connection (closed or not), answered below.
    if (!readingRaw_ && bufferSize > 0 && HoldsReadableBytes())
        return ReadHeld(buffer, bufferSize);
    return TCustomSocksWSocket::DoRecv(buffer, bufferSize, flags);
}

int TCustomLineWSocket::Receive(void* buffer, int bufferSize)
{
    // Held bytes were counted in ReadCount when they came off the connection.
    if (!readingRaw_ && bufferSize > 0 && HoldsReadableBytes())
        return ReadHeld(buffer, bufferSize);
    return TCustomSocksWSocket::Receive(buffer, bufferSize);
}

std::string TCustomLineWSocket::ReceiveText()
{
    if (!HoldsReadableBytes())
        return TCustomSocksWSocket::ReceiveText();
    const int count = offeredLineLength_ > 0 ? offeredLineLength_ : bufferedCount_;
    std::string text(static_cast<std::size_t>(count), '\0');
    ReadHeld(text.data(), count);
    return text;
}

int TCustomLineWSocket::RcvdCount()
{
    if (Cutting())
        return offeredLineLength_;
    if (bufferedCount_ > 0)
        return bufferedCount_;
    return TCustomSocksWSocket::RcvdCount();
}

// ---------------------------------------------------------------------------------------------
// Notifications and closing

void TCustomLineWSocket::DispatchNotification(TMessage& msg)
{
    if (msg.Msg != WM_LINE_REDELIVER) {
        TCustomSocksWSocket::DispatchNotification(msg);
        return;
    }
    auto alive = LivenessToken();
    try {
        Redeliver();
    } catch (const std::exception& e) {
        if (!alive.expired())
            HandleEventException(e);
    }
}

void TCustomLineWSocket::TriggerSessionClosed(std::uint16_t error)
{
    auto alive = LivenessToken();
    OfferRestAtClose();
    if (alive.expired())
        return;
    FreeLineBuffer();
    TCustomSocksWSocket::TriggerSessionClosed(error);
}

void TCustomLineWSocket::DoClose(bool shut, std::uint16_t error)
{
    // When OnSessionClosed will not fire (no handler, or already fired), the rest is offered
    // here, so that it never depends on the application handling the close.
    if (bufferedCount_ > 0 && HSocket() != ws::INVALID_SOCKET && State() != wsClosed && !Destroying() &&
        (!OnSessionClosed || ClosedNotified())) {
        auto alive = LivenessToken();
        OfferRestAtClose();
        if (alive.expired())
            return;
    }
    TCustomSocksWSocket::DoClose(shut, error);
}

void TCustomLineWSocket::ResetDefaults()
{
    TCustomSocksWSocket::ResetDefaults();
    FreeLineBuffer();
}

void TCustomLineWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState)
{
    // A new connection never sees bytes of the previous one, however that one ended.
    if (oldState == wsClosed && newState != wsClosed)
        FreeLineBuffer();
    TCustomSocksWSocket::TriggerChangeState(oldState, newState);
}

// ---------------------------------------------------------------------------------------------
// TCustomSyncWSocket

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* owner)
    : TCustomLineWSocket(owner)
{
}

int TCustomSyncWSocket::RunAndWait(const TSyncProc& proc, bool& done)
{
    done = false;
    auto alive = LivenessToken();
    if (proc)
        proc();
    if (alive.expired())
        return done ? 0 : kWaitTimedOut;
    return WaitForFlag(done);
}

int TCustomSyncWSocket::WaitForFlag(bool& done)
{
    auto alive = LivenessToken();
    const auto deadline = platform::DeadlineAfter(std::chrono::milliseconds(waitTimeout_));
    const platform::WaitEnd end = WaitFor([&] { return done || alive.expired(); }, deadline);
    // `done` outlives the socket; nothing else may be touched once the socket is gone.
    return end == platform::WaitEnd::Done && done ? 0 : kWaitTimedOut;
}

}  // namespace quenlo
