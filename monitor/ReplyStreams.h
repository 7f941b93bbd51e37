// The receive streams of the refresh: where HttpCli1 puts the answers while they arrive.
//
// The probe's page is only asked whether it says "no printers", so ProbePageScan answers that as
// the bytes arrive and keeps a few of them, whatever the page's size. The IPP answers are walked
// once they are complete, so ReplyBody gathers them in one buffer, sized up front from the length
// the server announces, and lends it to the walk where it lies; or they are walked as they come,
// by WalkedReply, which keeps only what an unfinished attribute has brought so far.
//
// Both accept every byte written to them (a write never fails), so the client's request runs to
// its normal end. Use each for one request.
#pragma once

#include "ipp/IppResponse.h"
#include "net/HttpProt.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenlo {

// A page read as text: its bytes up to the first zero byte, ASCII capitals folded to small letters.
// SaysNoPrinters is true once that text contains "no printers"; what follows the first zero byte is
// never looked at.
class ProbePageScan final : public std::streambuf {
public:
    bool SaysNoPrinters() const noexcept { return found_; }

protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override;
    int_type overflow(int_type c) override;

private:
    void Scan(const char* data, std::size_t size);

    bool found_ = false;
    bool ended_ = false;  // a zero byte was seen: the text is complete
    // The folded end of the text so far, one byte shorter than the words, so that words split
    // between two writes are still found.
    std::string tail_;
};

// An answer body gathered in one buffer. `announcedLength` is asked once, when the first room is
// needed, for the length the server announced (negative: none); that much is allocated at once,
// so a body of the announced length is never copied to grow. A larger announcement than
// kMaxReserve is not trusted for the up-front size; the buffer then grows as the bytes come.
// HttpCli1 receives the body straight into it (THttpReceiveTarget), so the bytes are written once.
class ReplyBody final : public THttpReceiveTarget {
public:
    static constexpr std::size_t kMaxReserve = std::size_t{64} << 20;

    explicit ReplyBody(std::function<long long()> announcedLength = nullptr)
        : announcedLength_(std::move(announcedLength))
    {
    }

    // The bytes received so far, to be walked where they lie.
    std::string_view Bytes() const noexcept { return {data_.get(), size_}; }
    std::size_t Capacity() const noexcept { return capacity_; }
    // Frees the bytes (the walk is done with them).
    void Release() noexcept;

    std::span<char> ReceiveRoom(std::size_t wanted) override;
    void ReceiveDone(std::size_t n) override;

protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override;
    int_type overflow(int_type c) override;

private:
    void MakeRoom(std::size_t more);

    std::function<long long()> announcedLength_;
    bool reserved_ = false;
    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// An answer walked as it arrives (IppWalker), so the body is never kept whole: only the bytes of
// an attribute not yet complete stay between two reads, in a buffer made once. Finish walks what
// is left when the body has ended; the walk's handlers have then seen the whole answer.
// HttpCli1 receives the body straight into the buffer (THttpReceiveTarget).
class WalkedReply final : public THttpReceiveTarget {
public:
    explicit WalkedReply(IppWalker& walker) : walker_(walker) {}

    void Finish();

    std::span<char> ReceiveRoom(std::size_t wanted) override;
    void ReceiveDone(std::size_t n) override;

protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override;
    int_type overflow(int_type c) override;

private:
    void Walk();

    IppWalker& walker_;
    // Made at the first read, not zero-filled: only the pages the reads fill are touched.
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;  // bytes in buffer_ not walked yet, from its start
};

}  // namespace quenlo
