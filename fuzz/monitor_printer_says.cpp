// Fuzzes what the watch reads of a printer's answer: its state reasons and supplies (marker-*
// lists of any lengths, printer-supply texts of any shape), and the alerts and texts made of them.
#include "ipp/Ipp.h"
#include "monitor/PrinterSays.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    quenlo::PrinterSaysReader reader;
    quenlo::WalkResponse(body, quenlo::kIppPrinterWalkDelimiterLimit,
                         [&](const quenlo::IppAttribute& a) { reader.Apply(a); }, {});
    const quenlo::PrinterSays says = reader.Result();
    // Every reason and supply came from at least one attribute, so from at least one byte.
    if (says.reasons.size() + says.supplies.size() > size)
        __builtin_trap();
    std::size_t length = 0;
    for (const quenlo::PrinterAlert& alert : quenlo::AlertsOf(says))
        length += alert.text.size() + alert.key.size();
    for (const quenlo::Supply& supply : says.supplies)
        length += quenlo::SupplyText(supply).size();
    (void)length;
    return 0;
}
