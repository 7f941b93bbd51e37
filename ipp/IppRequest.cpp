#include "ipp/IppRequest.h"

namespace quenlo {

namespace {

// Checked before anything is appended, so a refused attribute leaves no partial bytes behind.
void CheckLengths(std::string_view name, std::size_t valueSize)
{
    if (name.size() <= kIppMaxStringLength && valueSize <= kIppMaxStringLength)
        return;
    const std::string shown(name.substr(0, 40));
    if (name.size() > kIppMaxStringLength)
        throw EIppException("IPP attribute name \"" + shown + "...\" is " + std::to_string(name.size()) +
                            " bytes long; at most 65535 bytes fit its length field");
    throw EIppException("IPP attribute \"" + shown + "\" has a value of " + std::to_string(valueSize) +
                        " bytes; at most 65535 bytes fit its length field");
}

}  // namespace

void AppendByte(IppMessage& msg, std::uint8_t b)
{
    msg.push_back(static_cast<char>(b));
}

void AppendShort(IppMessage& msg, std::uint16_t v)
{
    const char bytes[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
    msg.append(bytes, sizeof bytes);
}

void AppendInt(IppMessage& msg, std::int32_t v)
{
    const auto u = static_cast<std::uint32_t>(v);
    const char bytes[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                           static_cast<char>(u)};
    msg.append(bytes, sizeof bytes);
}

void AppendString(IppMessage& msg, std::string_view s)
{
    msg.append(s);
}

void WriteIppHeader(IppMessage& msg, int op)
{
    msg.clear();
    AppendByte(msg, 1);
    AppendByte(msg, (op == kIppHoldJob || op == kIppReleaseJob || op == kIppSetJobAttributes) ? 1 : 0);
    AppendShort(msg, static_cast<std::uint16_t>(op));
    AppendInt(msg, static_cast<std::int32_t>(op));
}

void BeginOperationAttributes(IppMessage& msg)
{
    AppendByte(msg, kIppTagOperationAttributes);
}

void EndAttributes(IppMessage& msg)
{
    AppendByte(msg, kIppTagEndOfAttributes);
}

void AddStringAttribute(IppMessage& msg, std::uint8_t tag, std::string_view name, std::string_view value)
{
    CheckLengths(name, value.size());
    msg.reserve(msg.size() + 5 + name.size() + value.size());
    AppendByte(msg, tag);
    AppendShort(msg, static_cast<std::uint16_t>(name.size()));
    AppendString(msg, name);
    AppendShort(msg, static_cast<std::uint16_t>(value.size()));
    AppendString(msg, value);
}

void AddIntegerAttribute(IppMessage& msg, std::uint8_t tag, std::string_view name, std::int32_t v)
{
    CheckLengths(name, 4);
    AppendByte(msg, tag);
    AppendShort(msg, static_cast<std::uint16_t>(name.size()));
    AppendString(msg, name);
    AppendShort(msg, 4);
    AppendInt(msg, v);
}

IppMessage BeginPrinterRequest(int op, std::string_view printerUri)
{
    IppMessage msg;
    WriteIppHeader(msg, op);
    BeginOperationAttributes(msg);
    AddStringAttribute(msg, kIppTagCharset, "attributes-charset", kIppCharset);
    AddStringAttribute(msg, kIppTagNaturalLanguage, "attributes-natural-language", kIppNaturalLanguage);
    AddStringAttribute(msg, kIppTagUri, "printer-uri", printerUri);
    return msg;
}

IppMessage BuildGetJobsRequest(std::string_view printerUri) { return BuildGetJobsRequest(printerUri, {"all"}); }

IppMessage BuildGetJobsRequest(std::string_view printerUri, const std::vector<std::string_view>& requested)
{
    IppMessage msg = BeginPrinterRequest(kIppGetJobs, printerUri);
    AddIntegerAttribute(msg, kIppTagInteger, "limit", 2147483647);
    AddKeywords(msg, "requested-attributes", requested);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildGetPrinterAttributesRequest(std::string_view printerUri)
{
    return BuildGetPrinterAttributesRequest(printerUri, {"all"});
}

IppMessage BuildGetPrinterAttributesRequest(std::string_view printerUri, const std::vector<std::string_view>& requested)
{
    IppMessage msg = BeginPrinterRequest(kIppGetPrinterAttributes, printerUri);
    AddKeywords(msg, "requested-attributes", requested);
    EndAttributes(msg);
    return msg;
}

void AddKeywords(IppMessage& msg, std::string_view name, const std::vector<std::string_view>& values)
{
    for (std::size_t i = 0; i < values.size(); ++i)
        AddStringAttribute(msg, kIppTagKeyword, i == 0 ? name : std::string_view(), values[i]);
}

IppMessage BuildCupsGetPrintersRequest(std::string_view user)
{
    IppMessage msg;
    WriteIppHeader(msg, kIppCupsGetPrinters);
    BeginOperationAttributes(msg);
    AddStringAttribute(msg, kIppTagCharset, "attributes-charset", kIppCharset);
    AddStringAttribute(msg, kIppTagNaturalLanguage, "attributes-natural-language", kIppNaturalLanguage);
    if (!user.empty())
        AddStringAttribute(msg, kIppTagNameWithoutLanguage, "requesting-user-name", user);
    // One attribute with three values: the later ones carry an empty name.
    AddStringAttribute(msg, kIppTagKeyword, "requested-attributes", "printer-name");
    AddStringAttribute(msg, kIppTagKeyword, "", "printer-info");
    AddStringAttribute(msg, kIppTagKeyword, "", "printer-type");
    EndAttributes(msg);
    return msg;
}

namespace {

// An operation request up to its operation attributes' end: printer-uri, "job-id" when jobId is 0
// or more, "requesting-user-name".
IppMessage BeginOperationRequest(int op, std::string_view printerUri, std::string_view user, std::int32_t jobId)
{
    IppMessage msg = BeginPrinterRequest(op, printerUri);
    if (jobId >= 0)
        AddIntegerAttribute(msg, kIppTagInteger, "job-id", jobId);
    AddStringAttribute(msg, kIppTagNameWithoutLanguage, "requesting-user-name", user);
    return msg;
}

}  // namespace

IppMessage BuildOperationRequest(int op, std::string_view printerUri, std::string_view user, std::int32_t jobId)
{
    IppMessage msg = BeginOperationRequest(op, printerUri, user, jobId);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildMoveJobRequest(std::string_view printerUri, std::string_view user, std::int32_t jobId,
                               std::string_view destinationUri)
{
    IppMessage msg = BeginOperationRequest(kIppCupsMoveJob, printerUri, user, jobId);
    AppendByte(msg, kIppTagJobAttributes);
    AddStringAttribute(msg, kIppTagUri, "job-printer-uri", destinationUri);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildSetJobPriorityRequest(std::string_view printerUri, std::string_view user, std::int32_t jobId,
                                      std::int32_t priority)
{
    IppMessage msg = BeginOperationRequest(kIppSetJobAttributes, printerUri, user, jobId);
    AppendByte(msg, kIppTagJobAttributes);
    AddIntegerAttribute(msg, kIppTagInteger, "job-priority", priority);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildRejectJobsRequest(std::string_view printerUri, std::string_view user, std::string_view reason)
{
    IppMessage msg = BeginOperationRequest(kIppCupsRejectJobs, printerUri, user, -1);
    if (!reason.empty())
        AddStringAttribute(msg, kIppTagTextWithoutLanguage, "printer-state-message", reason);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildGetJobAttributesRequest(std::string_view printerUri, std::string_view user, std::int32_t jobId,
                                        const std::vector<std::string_view>& requested)
{
    IppMessage msg = BeginOperationRequest(kIppGetJobAttributes, printerUri, user, jobId);
    AddKeywords(msg, "requested-attributes", requested);
    EndAttributes(msg);
    return msg;
}

IppMessage BuildGetFinishedJobsRequest(std::string_view printerUri, std::string_view user,
                                       const std::vector<std::string_view>& requested)
{
    IppMessage msg = BeginPrinterRequest(kIppGetJobs, printerUri);
    AddIntegerAttribute(msg, kIppTagInteger, "limit", 2147483647);
    AddStringAttribute(msg, kIppTagKeyword, "which-jobs", "completed");
    if (!user.empty())
        AddStringAttribute(msg, kIppTagNameWithoutLanguage, "requesting-user-name", user);
    AddKeywords(msg, "requested-attributes", requested);
    EndAttributes(msg);
    return msg;
}

}  // namespace quenlo
