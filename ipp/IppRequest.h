// Writing IPP request bodies: plain appenders that build the binary encoding in an IppMessage, and
// the complete requests that the monitor sends.
//
// A request is always written in this order:
//
//   WriteIppHeader(msg, op)                     empties msg, then the 8-byte header
//   BeginOperationAttributes(msg)               0x01
//   AddStringAttribute(msg, 0x47, "attributes-charset", "utf-8")
//   AddStringAttribute(msg, 0x48, "attributes-natural-language", "en-us")
//   ... further attributes, in the order they should appear ...
//   EndAttributes(msg)                          0x03
//
// The appenders do not check that order. Integers are written big-endian; strings are written as
// the bytes the caller holds (no transcoding, terminator or padding).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

// One IPP request or response body: a growable byte string that may hold zero bytes anywhere.
using IppMessage = std::string;

// Raised by the attribute writers for a name or value that does not fit the 16-bit length field
// of the encoding (more than 65535 bytes). The message is left exactly as it was before the call,
// so nothing with a wrong length is ever written.
class EIppException : public std::length_error {
public:
    explicit EIppException(const std::string& message) : std::length_error(message) {}
};

// Operation codes that the monitor sends (operation-id; also used as the request-id).
enum IppOperation : int {
    kIppCancelJob = 0x0008,
    kIppGetJobAttributes = 0x0009,
    kIppGetJobs = 0x000A,
    kIppGetPrinterAttributes = 0x000B,
    kIppHoldJob = 0x000C,
    kIppReleaseJob = 0x000D,
    kIppRestartJob = 0x000E,
    kIppPausePrinter = 0x0010,
    kIppResumePrinter = 0x0011,
    kIppPurgeJobs = 0x0012,
    kIppSetJobAttributes = 0x0014,
    kIppCupsGetPrinters = 0x4002,  // a CUPS server's list of its queues, printers and classes
    kIppCupsAcceptJobs = 0x4008,
    kIppCupsRejectJobs = 0x4009,
    kIppCupsMoveJob = 0x400D,
};

// Value tags used in the requests.
enum IppValueTag : std::uint8_t {
    kIppTagInteger = 0x21,
    kIppTagTextWithoutLanguage = 0x41,
    kIppTagNameWithoutLanguage = 0x42,
    kIppTagKeyword = 0x44,
    kIppTagUri = 0x45,
    kIppTagCharset = 0x47,
    kIppTagNaturalLanguage = 0x48,
};

// Group delimiter tags.
enum IppGroupTag : std::uint8_t {
    kIppTagOperationAttributes = 0x01,
    kIppTagJobAttributes = 0x02,
    kIppTagEndOfAttributes = 0x03,
    kIppTagPrinterAttributes = 0x04,
    kIppTagUnsupportedAttributes = 0x05,
};

// The longest name or value that the 16-bit length field can describe.
inline constexpr std::size_t kIppMaxStringLength = 0xFFFF;

// --- Plain appenders -------------------------------------------------------------------------
// Each appends to the end of `msg`; none of them fails other than by running out of memory.

// Appends one byte; a zero byte is appended like any other.
void AppendByte(IppMessage& msg, std::uint8_t b);
// Appends v, high byte first.
void AppendShort(IppMessage& msg, std::uint16_t v);
// Appends v as 32-bit two's complement, most significant byte first (-1 is FF FF FF FF).
void AppendInt(IppMessage& msg, std::int32_t v);
// Appends the bytes of s, without a length or terminator; an empty s appends nothing.
void AppendString(IppMessage& msg, std::string_view s);

// --- Request structure -----------------------------------------------------------------------

// Empties msg, then writes the request header:
//   version-number   2 bytes   1.1 for Hold-Job, Release-Job and Set-Job-Attributes (an operation
//                              IPP/1.0 does not have), 1.0 for every other operation
//   operation-id     2 bytes   op, big-endian
//   request-id       4 bytes   op again, big-endian (every request of one operation has the same id)
void WriteIppHeader(IppMessage& msg, int op);
// Appends the operation-attributes group tag 0x01.
void BeginOperationAttributes(IppMessage& msg);
// Appends the end-of-attributes tag 0x03.
void EndAttributes(IppMessage& msg);

// Appends one single-valued attribute with a string value:
//   value-tag   1 byte
//   name        2-byte length, then the bytes
//   value       2-byte length, then the bytes (an empty value is the length 00 00 and nothing else)
// Throws EIppException, and leaves msg unchanged, when name or value is longer than 65535 bytes.
void AddStringAttribute(IppMessage& msg, std::uint8_t tag, std::string_view name, std::string_view value);
// One keyword attribute with several values: the later values carry an empty name.
void AddKeywords(IppMessage& msg, std::string_view name, const std::vector<std::string_view>& values);
// Appends one integer attribute: the tag, the name as above, the length 00 04 and v big-endian.
// Throws EIppException, and leaves msg unchanged, when name is longer than 65535 bytes.
void AddIntegerAttribute(IppMessage& msg, std::uint8_t tag, std::string_view name, std::int32_t v);

// --- The monitor's requests --------------------------------------------------------------------
// Each returns the complete body. `printerUri` is the printer URL ("http://" + remotehost + url).
// They throw EIppException when the URI or the user name is longer than 65535 bytes.

// The text used for every request's "attributes-charset" and "attributes-natural-language".
inline constexpr std::string_view kIppCharset = "utf-8";
inline constexpr std::string_view kIppNaturalLanguage = "en-us";

// The start every request shares: WriteIppHeader(op), the operation-attributes tag, charset,
// natural language and "printer-uri". The caller adds its own attributes and EndAttributes.
IppMessage BeginPrinterRequest(int op, std::string_view printerUri);

// Get-Jobs: charset, natural language, printer-uri, "limit" = 2147483647, "requested-attributes"
// = "all".
IppMessage BuildGetJobsRequest(std::string_view printerUri);
// The same, asking only for `requested` (what a list shows costs a server less than "all").
IppMessage BuildGetJobsRequest(std::string_view printerUri, const std::vector<std::string_view>& requested);
// Get-Printer-Attributes: charset, natural language, printer-uri, "requested-attributes" = "all".
IppMessage BuildGetPrinterAttributesRequest(std::string_view printerUri);
IppMessage BuildGetPrinterAttributesRequest(std::string_view printerUri, const std::vector<std::string_view>& requested);
// CUPS-Get-Printers: charset, natural language, "requesting-user-name" = user when not empty, and
// "requested-attributes" = printer-name, printer-info, printer-type (whose bit 0 marks a class).
IppMessage BuildCupsGetPrintersRequest(std::string_view user);
// A job or printer operation (Cancel-Job, Hold-Job, Release-Job, Pause-Printer, Resume-Printer,
// Purge-Jobs, or any other operation code): charset, natural language, printer-uri, "job-id" =
// jobId only when jobId is 0 or more, and "requesting-user-name" = user (written even when empty).
IppMessage BuildOperationRequest(int op, std::string_view printerUri, std::string_view user,
                                 std::int32_t jobId);

// The administrator's operations. Each is the operation request above (printer-uri, "job-id" when
// jobId is 0 or more, "requesting-user-name") with what the operation needs after it.

// CUPS-Move-Job: the job (jobId >= 0), or every job of the printer (jobId < 0), to the queue
// `destinationUri`, given as "job-printer-uri" in a job-attributes group.
IppMessage BuildMoveJobRequest(std::string_view printerUri, std::string_view user, std::int32_t jobId,
                               std::string_view destinationUri);
// Set-Job-Attributes: "job-priority" = priority in a job-attributes group.
IppMessage BuildSetJobPriorityRequest(std::string_view printerUri, std::string_view user, std::int32_t jobId,
                                      std::int32_t priority);
// CUPS-Reject-Jobs: "printer-state-message" = reason (text), only when reason is not empty.
IppMessage BuildRejectJobsRequest(std::string_view printerUri, std::string_view user, std::string_view reason);
// Get-Job-Attributes of the job, asking for `requested`.
IppMessage BuildGetJobAttributesRequest(std::string_view printerUri, std::string_view user, std::int32_t jobId,
                                        const std::vector<std::string_view>& requested);
// Get-Jobs of the finished jobs: "limit" = 2147483647, "which-jobs" = "completed" (completed,
// aborted and canceled jobs alike), "requesting-user-name" when user is not empty, and
// `requested`.
IppMessage BuildGetFinishedJobsRequest(std::string_view printerUri, std::string_view user,
                                       const std::vector<std::string_view>& requested);

}  // namespace quenlo
