// Fuzzes the response readers: the header read, both walks and the watch's reader over the same
// bytes.
#include "ipp/Ipp.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);

    quenlo::IppResponseStream stream(body);
    const quenlo::IppResponseHeader header = quenlo::ReadResponseHeader(stream);
    if (stream.Position() > 8 || stream.Position() > size)
        __builtin_trap();
    (void)header;

    for (int limit : {quenlo::kIppJobWalkDelimiterLimit, quenlo::kIppPrinterWalkDelimiterLimit}) {
        std::size_t events = 0;
        std::uint32_t sink = 0;
        quenlo::WalkResponse(
            body, limit,
            [&](const quenlo::IppAttribute& a) {
                ++events;
                // Touch every byte handed out, so a view outside the body or scratch space is caught.
                for (char c : a.name)
                    sink += static_cast<unsigned char>(c);
                for (char c : a.text)
                    sink += static_cast<unsigned char>(c);
                if (a.name.size() > 65535 || a.text.size() > 65535)
                    __builtin_trap();
            },
            [&](int tag) {
                ++events;
                if (tag > limit)
                    __builtin_trap();
            });
        // Every turn of the walk consumes at least one byte.
        if (events > size)
            __builtin_trap();
        (void)sink;
    }

    // The watch's reader: every event group counts at most once.
    const quenlo::SubscriptionAnswer answer = quenlo::ReadSubscriptionAnswer(body, "/printers/p");
    if (answer.events < 0 || static_cast<std::size_t>(answer.events) > size)
        __builtin_trap();
    return 0;
}
