#include "monitor/ReplyStreams.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace quenlo {

namespace {

constexpr std::string_view kNoPrinters = "no printers";
// The folded text is looked at in slices of this size, so a huge single write costs no more
// memory than a small one.
constexpr std::size_t kScanSlice = 4096;

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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
        std::transform(data + done, data + done + n, window + kept, FoldAscii);
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
    ReserveOnce(static_cast<std::size_t>(size));
    bytes_.append(data, static_cast<std::size_t>(size));
    return size;
}

ReplyBody::int_type ReplyBody::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    ReserveOnce(1);
    bytes_.push_back(traits_type::to_char_type(c));
    return c;
}

void ReplyBody::ReserveOnce(std::size_t first)
{
    if (reserved_)
        return;
    reserved_ = true;
    const long long announced = announcedLength_ ? announcedLength_() : -1;
    std::size_t size = first;
    if (announced > 0 && static_cast<unsigned long long>(announced) <= kMaxReserve)
        size = std::max(size, static_cast<std::size_t>(announced));
    bytes_.reserve(size);
}

}  // namespace quenlo
