#include "monitor/ReplyStreams.h"

#include "platform/Text.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace quenlo {

namespace {

constexpr std::string_view kNoPrinters = "no printers";
// The folded text is looked at in slices of this size, so a huge single write costs no more
// memory than a small one.
constexpr std::size_t kScanSlice = 4096;

}  // namespace

std::streamsize ProbePageScan::xsputn(const char* data, std::streamsize size)
{
    if (size > 0)
        Scan(data, static_cast<std::size_t>(size));
    return size;
}

ProbePageScan::int_type ProbePageScan::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    Scan(&byte, 1);
    return c;
}

void ProbePageScan::Scan(const char* data, std::size_t size)
{
    if (found_ || ended_)
        return;
    if (const void* zero = std::memchr(data, '\0', size)) {
        size = static_cast<std::size_t>(static_cast<const char*>(zero) - data);
        ended_ = true;
    }
    char window[kNoPrinters.size() - 1 + kScanSlice];
    for (std::size_t done = 0; done < size && !found_; done += kScanSlice) {
        const std::size_t n = std::min(kScanSlice, size - done);
        const std::size_t kept = tail_.size();
        tail_.copy(window, kept);
        std::transform(data + done, data + done + n, window + kept,
                       [](char c) { return platform::AsciiLower(c); });
        const std::string_view text(window, kept + n);
        found_ = text.find(kNoPrinters) != std::string_view::npos;
        const std::size_t keep = std::min(text.size(), kNoPrinters.size() - 1);
        tail_.assign(text.substr(text.size() - keep));
    }
}

std::streamsize ReplyBody::xsputn(const char* data, std::streamsize size)
{
    if (size <= 0)
        return 0;
    const auto n = static_cast<std::size_t>(size);
    MakeRoom(n);
    std::memcpy(data_.get() + size_, data, n);
    size_ += n;
    return size;
}

ReplyBody::int_type ReplyBody::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    MakeRoom(1);
    data_[size_++] = traits_type::to_char_type(c);
    return c;
}

std::span<char> ReplyBody::ReceiveRoom(std::size_t wanted)
{
    MakeRoom(std::max<std::size_t>(wanted, 1));
    return {data_.get() + size_, capacity_ - size_};
}

void ReplyBody::ReceiveDone(std::size_t n) { size_ += std::min(n, capacity_ - size_); }

void ReplyBody::Release() noexcept
{
    data_.reset();
    size_ = 0;
    capacity_ = 0;
}

// The first room is the announced length (when it is trusted); later ones double, so a body
// without an announcement is copied O(log n) times, not once per write.
void ReplyBody::MakeRoom(std::size_t more)
{
    if (capacity_ - size_ >= more)
        return;
    std::size_t capacity = std::max(size_ + more, capacity_ * 2);
    if (!reserved_) {
        reserved_ = true;
        const long long announced = announcedLength_ ? announcedLength_() : -1;
        if (announced > 0 && static_cast<unsigned long long>(announced) <= kMaxReserve)
            capacity = std::max(capacity, static_cast<std::size_t>(announced));
    }
    // Not zero-filled: every byte is written by the receive before it is read.
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ > 0)
        std::memcpy(grown.get(), data_.get(), size_);
    data_ = std::move(grown);
    capacity_ = capacity;
}

namespace {

// Room for one read of the client's block size next to the longest attribute left unfinished
// (tag, two lengths and two 65,535-byte texts), so the buffer never grows for an answer.
constexpr std::size_t kWalkBuffer = THttpCli::kBodyBlockSize + 1 + 2 * (2 + 65535);

}  // namespace

std::span<char> WalkedReply::ReceiveRoom(std::size_t wanted)
{
    wanted = std::max<std::size_t>(wanted, 1);
    if (capacity_ < size_ + wanted) {
        const std::size_t capacity = std::max(kWalkBuffer, size_ + wanted);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (size_ > 0)
            std::memcpy(grown.get(), buffer_.get(), size_);
        buffer_ = std::move(grown);
        capacity_ = capacity;
    }
    // No more than asked for: the room past it is kept for an attribute left unfinished, and a
    // larger read would touch pages of it that a walk of the usual answer never needs.
    return {buffer_.get() + size_, wanted};
}

void WalkedReply::ReceiveDone(std::size_t n)
{
    size_ += std::min(n, capacity_ - size_);
    Walk();
}

std::streamsize WalkedReply::xsputn(const char* data, std::streamsize size)
{
    if (size <= 0)
        return 0;
    const auto n = static_cast<std::size_t>(size);
    std::memcpy(ReceiveRoom(n).data(), data, n);
    ReceiveDone(n);
    return size;
}

WalkedReply::int_type WalkedReply::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    *ReceiveRoom(1).data() = traits_type::to_char_type(c);
    ReceiveDone(1);
    return c;
}

// What the walk leaves (part of one attribute) moves to the front for the next read to follow.
void WalkedReply::Walk()
{
    const std::size_t used = walker_.Walk({buffer_.get(), size_});
    if (used == 0)
        return;
    std::memmove(buffer_.get(), buffer_.get() + used, size_ - used);
    size_ -= used;
}

void WalkedReply::Finish()
{
    walker_.Finish({buffer_.get(), size_});
    size_ = 0;
    buffer_.reset();
    capacity_ = 0;
}

}  // namespace quenlo
