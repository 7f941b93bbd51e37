// The receive streams of the refresh: where HttpCli1 writes the answers while they arrive.
//
// The probe's page is only asked whether it says "no printers", so ProbePageScan answers that as
// the bytes arrive and keeps a few of them, whatever the page's size. The IPP answers are walked
// once they are complete, so ReplyBody gathers them in one string, sized up front from the length
// the server announces, and lends it to the walk where it lies.
//
// Both accept every byte written to them (a write never fails), so the client's request runs to
// its normal end. Use each for one request.
#pragma once

#include <cstddef>
#include <functional>
#include <streambuf>
#include <string>
#include <utility>

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

// An answer body gathered in one string. `announcedLength` is asked once, at the first write, for
// the length the server announced (negative: none); that much is reserved at once, so a body of
// the announced length is never copied to grow. A larger announcement than kMaxReserve is not
// trusted for the up-front size; the string then grows as the bytes come.
class ReplyBody final : public std::streambuf {
public:
    static constexpr std::size_t kMaxReserve = std::size_t{64} << 20;

    explicit ReplyBody(std::function<long long()> announcedLength = nullptr)
        : announcedLength_(std::move(announcedLength))
    {
    }

    // The bytes received so far; the caller may walk them in place or take them.
    std::string& Bytes() noexcept { return bytes_; }
    // Frees the bytes (the walk is done with them).
    void Release() { std::string().swap(bytes_); }

protected:
    std::streamsize xsputn(const char* data, std::streamsize size) override;
    int_type overflow(int_type c) override;

private:
    void ReserveOnce(std::size_t first);

    std::function<long long()> announcedLength_;
    bool reserved_ = false;
    std::string bytes_;
};

}  // namespace quenlo
