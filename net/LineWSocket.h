// TCustomLineWSocket and TCustomSyncWSocket: the receive-side layers of the socket chain. The line
// layer can cut the received byte stream into lines before offering it to OnDataAvailable; the
// sync layer adds a loop that waits until a flag is set. With LineMode off (the only use in
// Quenlo) every operation passes straight through to the layers below.
//
// ---------------------------------------------------------------------------------------------
// Line mode
//
// With LineMode on and a non-empty LineEnd, received bytes are collected in the socket's line
// buffer and each complete line, terminator included, is offered to OnDataAvailable on its own:
//
//     sock.SetLineMode(true);                       // LineEnd is CR LF by default
//     sock.OnDataAvailable = [](TCustomWSocket& s, std::uint16_t) {
//         std::string line = s.ReceiveText();       // one whole line, e.g. "HELLO\r\n"
//     };
//
// - During an offer RcvdCount() is what is left of the line, and Receive(buf, size) never reads
//   past the line's end: a handler may take a line in pieces, and is called again until the line
//   is consumed. A handler that neither reads nor leaves line mode is called again and again.
// - A terminator split across two reads is found. Bytes without a terminator wait for more data;
//   there is no limit on a line's length (the buffer grows to what is waiting plus one byte, and
//   OnLineTooLong is never fired).
// - Without an OnDataAvailable handler complete lines are dropped.
// - When the connection closes, the unterminated rest is offered as a last line (before
//   OnSessionClosed), then the buffer is freed; without a handler it is dropped. A handler that
//   reads nothing of that last line is not called again.
// - LineEcho sends every received byte back to the peer. LineEdit applies editing to received
//   bytes before lines are cut: backspace (8) removes the previous byte (also one of an earlier
//   read still waiting in the buffer, never one of a line being offered) and echoes
//   backspace-blank-backspace; tab (9) becomes blanks up to the next multiple of 8 of the
//   waiting text's length (at least one blank).
// - Switching LineMode (from anywhere, typically inside OnDataAvailable) keeps every byte, in
//   order. Turned off in the middle of a line, the rest of that line and everything after it are
//   what the next Receive calls return (RcvdCount counts them), offered again through
//   OnDataAvailable from the event loop. Turned on over bytes already waiting, those bytes are
//   searched for lines from the event loop as if they had just arrived. Changing LineEnd over
//   waiting bytes searches them again the same way.
// - Exceptions thrown by an OnDataAvailable handler during line delivery end that delivery; the
//   bytes stay and are offered again with the next data.
//
// ---------------------------------------------------------------------------------------------
// Waiting
//
// WaitForFlag(done) processes this thread's events until `done` is true (0), WaitTimeout
// milliseconds have passed (12001; 0 waits without limit), or the program is ending: a quit message
// was posted to this thread (12001; the quit stays pending for the outer loop) or, with
// MultiThreaded, ThreadTerminated is set. It sleeps between events and never spins. `done` is
// normally set by one of this socket's handlers; it must outlive the call. When the socket is
// destroyed inside the wait, WaitForFlag returns 0 if `done` was set, else 12001, and touches
// nothing else.
#pragma once

#include "net/SocksWSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quenlo {

// Posted to the socket's own notification target when LineMode or LineEnd changes over waiting
// bytes, so that they are offered again from the event loop.
constexpr unsigned WM_LINE_REDELIVER = platform::WM_USER + 0x14;  // 0x414

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(TComponent* owner = nullptr);

    // Published; never fired.
    TNotifyEvent OnLineTooLong;

    // ----- Properties -----
    // Cut the received stream into lines before offering it to OnDataAvailable (default off).
    bool LineMode() const noexcept { return lineMode_; }
    virtual void SetLineMode(bool value);
    // The line terminator, any length (default CR LF). Empty: no cutting, even in line mode.
    const std::string& LineEnd() const noexcept { return lineEnd_; }
    void SetLineEnd(const std::string& value);
    // Echo received bytes back to the peer (default off).
    bool LineEcho() const noexcept { return lineEcho_; }
    void SetLineEcho(bool value) noexcept { lineEcho_ = value; }
    // Apply backspace and tab editing to received bytes (default off).
    bool LineEdit() const noexcept { return lineEdit_; }
    void SetLineEdit(bool value) noexcept { lineEdit_ = value; }

    // Bytes held in the line buffer (an offered line included).
    int BufferedCount() const noexcept { return bufferedCount_; }
    // Length of the line being offered to OnDataAvailable (terminator included; what is left of
    // it once partly read), 0 when none.
    int OfferedLineLength() const noexcept { return offeredLineLength_; }

    // ----- Receiving -----
    // In line mode: what is left of the offered line (0 outside an offer). Otherwise the bytes
    // left in the line buffer from line mode when there are any, else the layers below.
    int RcvdCount() override;
    // Everything a Receive would return now, as a text (the rest of the offered line in line
    // mode). Not counted in ReadCount.
    std::string ReceiveText() override;
    // Reads up to bufferSize bytes: in line mode from the offered line only; otherwise bytes left
    // in the line buffer first, then the connection. Bytes count in ReadCount once, when they
    // come off the connection.
    int Receive(void* buffer, int bufferSize) override;

protected:
    void DispatchNotification(TMessage& msg) override;
    void ResetDefaults() override;
    void DoClose(bool shut, std::uint16_t error) override;
    int DoRecv(void* buffer, int bufferSize, int flags) override;
    bool TriggerDataAvailable(std::uint16_t error) override;
    void TriggerSessionClosed(std::uint16_t error) override;
    void TriggerChangeState(TSocketState oldState, TSocketState newState) override;
    // Applies backspace and tab editing to the len newest bytes of the line buffer; may rewrite
    // earlier waiting bytes (a backspace) and change BufferedCount and len.
    virtual void EditLine(int& len);

private:
    bool Cutting() const noexcept { return lineMode_ && !lineEnd_.empty(); }
    char* Held() noexcept { return lineBuffer_.get() + head_; }
    // Reads what the connection has (after the layers below) into the line buffer, then edits and
    // echoes it. Returns the number of new bytes kept (0 when none).
    int ReadIntoLineBuffer();
    void EnsureCapacity(int needed);
    // Offers the complete lines of the buffer, one by one, while line mode stays on.
    void DeliverLines();
    // Searches from searchFrom_; the offset of the first terminator, or -1.
    int FindLineEnd();
    // Whether a read is served from the line buffer: an offered line, or bytes left from line
    // mode.
    bool HoldsReadableBytes() const noexcept;
    int ReadHeld(void* buffer, int bufferSize);
    // The close rule: the rest offered as a last line (or as raw bytes with line mode off).
    void OfferRestAtClose();
    void Redeliver();
    void FreeLineBuffer() noexcept;
    void PostRedeliver();
    // Drops `count` bytes from the front of the held bytes.
    void Consume(int count) noexcept;

    bool lineMode_ = false;
    std::string lineEnd_ = "\r\n";
    bool lineEcho_ = false;
    bool lineEdit_ = false;

    // The held bytes are lineBuffer_[head_, head_ + bufferedCount_); consuming a line advances
    // head_ rather than moving the rest, and the bytes go back to the front once per read.
    std::unique_ptr<char[]> lineBuffer_;
    int lineBufferSize_ = 0;
    int head_ = 0;
    int bufferedCount_ = 0;
    int offeredLineLength_ = 0;
    // Held bytes before this offset have been searched and hold no terminator start.
    int searchFrom_ = 0;
    // Changes whenever the buffer is freed, so a delivery loop notices a close under it.
    std::uint64_t bufferEpoch_ = 0;
    bool delivering_ = false;    // DeliverLines is running further up the stack
    bool offeringRest_ = false;  // OfferRestAtClose is running further up the stack
    bool readingRaw_ = false;    // reads bypass the line buffer (filling it)
};

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    using TSyncProc = std::function<void()>;

    explicit TCustomSyncWSocket(TComponent* owner = nullptr);

    // Time limit of the waiting operations in milliseconds; 0 (the default) waits without limit.
    int WaitTimeout() const noexcept { return waitTimeout_; }
    void SetWaitTimeout(int value) noexcept { waitTimeout_ = value; }

    // Clears `done`, calls proc when it is assigned (it starts the work whose handlers will set
    // `done`), then WaitForFlag(done).
    virtual int RunAndWait(const TSyncProc& proc, bool& done);
    // Waits as described in the header comment: 0 when done, 12001 on time-out or program end.
    virtual int WaitForFlag(bool& done);

private:
    int waitTimeout_ = 0;
};

}  // namespace quenlo
