// The request writers and the complete requests, byte for byte.
#include "ipp/Ipp.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace quenlo {
namespace {

std::string Bytes(std::initializer_list<int> bytes)
{
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

// One encoded string attribute, written out by hand: tag, name length, name, value length, value.
std::string Attr(int tag, const std::string& name, const std::string& value)
{
    return Bytes({tag, static_cast<int>(name.size() >> 8), static_cast<int>(name.size() & 0xFF)}) + name +
           Bytes({static_cast<int>(value.size() >> 8), static_cast<int>(value.size() & 0xFF)}) + value;
}

const std::string kUri = "http://127.0.0.1:631/printers/laser";  // 35 bytes

// The three attributes every request starts with.
std::string CommonAttributes()
{
    return Bytes({0x47, 0x00, 0x12}) + "attributes-charset" + Bytes({0x00, 0x05}) + "utf-8" +
           Bytes({0x48, 0x00, 0x1B}) + "attributes-natural-language" + Bytes({0x00, 0x05}) + "en-us" +
           Bytes({0x45, 0x00, 0x0B}) + "printer-uri" + Bytes({0x00, 0x23}) + kUri;
}

TEST(IppRequest, GetPrinterAttributesBody)
{
    const std::string expected = Bytes({
                                     0x01, 0x00,              // version 1.0
                                     0x00, 0x0B,              // Get-Printer-Attributes
                                     0x00, 0x00, 0x00, 0x0B,  // request-id 11
                                     0x01,                    // operation-attributes-tag
                                 }) +
                                 CommonAttributes() +
                                 Bytes({0x44, 0x00, 0x14}) + "requested-attributes" + Bytes({0x00, 0x03}) +
                                 "all" +
                                 Bytes({0x03});  // end-of-attributes-tag
    EXPECT_EQ(BuildGetPrinterAttributesRequest(kUri), expected);
}

TEST(IppRequest, GetJobsBody)
{
    const std::string expected = Bytes({
                                     0x01, 0x00,              // version 1.0
                                     0x00, 0x0A,              // Get-Jobs
                                     0x00, 0x00, 0x00, 0x0A,  // request-id 10
                                     0x01,                    // operation-attributes-tag
                                 }) +
                                 CommonAttributes() +
                                 Bytes({0x21, 0x00, 0x05}) + "limit" +
                                 Bytes({0x00, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}) +  // 2147483647
                                 Bytes({0x44, 0x00, 0x14}) + "requested-attributes" + Bytes({0x00, 0x03}) +
                                 "all" + Bytes({0x03});
    EXPECT_EQ(BuildGetJobsRequest(kUri), expected);
}

TEST(IppRequest, JobOperationBodies)
{
    // Cancel-Job of job 42 for bob; Hold-Job and Release-Job are the same but for version 1.1.
    const std::string attributes = CommonAttributes() +
                                   Bytes({0x21, 0x00, 0x06}) + "job-id" + Bytes({0x00, 0x04, 0x00, 0x00, 0x00, 42}) +
                                   Bytes({0x42, 0x00, 0x14}) + "requesting-user-name" + Bytes({0x00, 0x03}) + "bob" +
                                   Bytes({0x03});
    EXPECT_EQ(BuildOperationRequest(kIppCancelJob, kUri, "bob", 42),
              Bytes({0x01, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x08, 0x01}) + attributes);
    EXPECT_EQ(BuildOperationRequest(kIppHoldJob, kUri, "bob", 42),
              Bytes({0x01, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x0C, 0x01}) + attributes);
    EXPECT_EQ(BuildOperationRequest(kIppReleaseJob, kUri, "bob", 42),
              Bytes({0x01, 0x01, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x0D, 0x01}) + attributes);
}

TEST(IppRequest, PrinterOperationsCarryNoJobIdAndAlwaysAUser)
{
    for (int op : {kIppPausePrinter, kIppResumePrinter, kIppPurgeJobs}) {
        SCOPED_TRACE(op);
        const std::string expected = Bytes({0x01, 0x00, 0x00, op, 0x00, 0x00, 0x00, op, 0x01}) + CommonAttributes() +
                                     Bytes({0x42, 0x00, 0x14}) + "requesting-user-name" +
                                     Bytes({0x00, 0x00}) +  // empty user: length 0, no bytes
                                     Bytes({0x03});
        EXPECT_EQ(BuildOperationRequest(op, kUri, "", -1), expected);
    }
    // Job id 0 is a job id; only a negative one is left out.
    EXPECT_NE(BuildOperationRequest(kIppCancelJob, kUri, "", 0).find("job-id"), std::string::npos);
}

// The administrator's operations: the operation request's attributes, then what each adds (a job
// group for the job's new queue or priority). Each body was also checked to be accepted by CUPS.
TEST(IppRequest, AdministratorOperationBodies)
{
    const auto header = [](int minor, int op) {
        return Bytes({0x01, minor, op >> 8, op & 0xFF, 0x00, 0x00, op >> 8, op & 0xFF, 0x01}) + CommonAttributes();
    };
    const std::string job7 = Bytes({0x21, 0x00, 0x06}) + "job-id" + Bytes({0x00, 0x04, 0x00, 0x00, 0x00, 0x07});
    const std::string bob = Attr(0x42, "requesting-user-name", "bob");
    const std::string dest = "http://127.0.0.1:631/printers/next";

    EXPECT_EQ(BuildMoveJobRequest(kUri, "bob", 7, dest),
              header(0, 0x400D) + job7 + bob + Bytes({0x02}) + Attr(0x45, "job-printer-uri", dest) + Bytes({0x03}));
    EXPECT_EQ(BuildMoveJobRequest(kUri, "bob", -1, dest),
              header(0, 0x400D) + bob + Bytes({0x02}) + Attr(0x45, "job-printer-uri", dest) + Bytes({0x03}));
    EXPECT_EQ(BuildOperationRequest(kIppRestartJob, kUri, "bob", 7), header(0, 0x000E) + job7 + bob + Bytes({0x03}));
    EXPECT_EQ(BuildSetJobPriorityRequest(kUri, "bob", 7, 100),
              header(1, 0x0014) + job7 + bob + Bytes({0x02, 0x21, 0x00, 0x0C}) + "job-priority" +
                  Bytes({0x00, 0x04, 0x00, 0x00, 0x00, 100, 0x03}));
    EXPECT_EQ(BuildRejectJobsRequest(kUri, "bob", "javítás alatt"),
              header(0, 0x4009) + bob + Attr(0x41, "printer-state-message", "javítás alatt") + Bytes({0x03}));
    EXPECT_EQ(BuildRejectJobsRequest(kUri, "bob", ""), header(0, 0x4009) + bob + Bytes({0x03}));
    EXPECT_EQ(BuildOperationRequest(kIppCupsAcceptJobs, kUri, "bob", -1), header(0, 0x4008) + bob + Bytes({0x03}));
    EXPECT_EQ(BuildGetJobAttributesRequest(kUri, "bob", 7, {"job-id", "copies"}),
              header(0, 0x0009) + job7 + bob + Attr(0x44, "requested-attributes", "job-id") + Attr(0x44, "", "copies") +
                  Bytes({0x03}));
    const std::string finished = header(0, 0x000A) + Bytes({0x21, 0x00, 0x05}) + "limit" +
                                 Bytes({0x00, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}) + Attr(0x44, "which-jobs", "completed");
    EXPECT_EQ(BuildGetFinishedJobsRequest(kUri, "bob", {"job-id"}),
              finished + bob + Attr(0x44, "requested-attributes", "job-id") + Bytes({0x03}));
    EXPECT_EQ(BuildGetFinishedJobsRequest(kUri, "", {"job-id"}),
              finished + Attr(0x44, "requested-attributes", "job-id") + Bytes({0x03}));
}

TEST(IppRequest, HeaderStartsAfreshAndPicksTheVersionByOperation)
{
    IppMessage msg = "left over from an earlier request";
    WriteIppHeader(msg, kIppHoldJob);
    EXPECT_EQ(msg, Bytes({0x01, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x0C}));
    WriteIppHeader(msg, kIppReleaseJob);
    EXPECT_EQ(msg, Bytes({0x01, 0x01, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x0D}));
    for (int op : std::initializer_list<int>{kIppCancelJob, kIppGetJobs, kIppGetPrinterAttributes,
                                             kIppPausePrinter, kIppResumePrinter,
                                             kIppPurgeJobs, 0x000E}) {
        WriteIppHeader(msg, op);
        EXPECT_EQ(msg, Bytes({0x01, 0x00, 0x00, op, 0x00, 0x00, 0x00, op})) << op;
    }
}

TEST(IppRequest, AppendersKeepZerosSignsAndHighBits)
{
    IppMessage msg;
    AppendByte(msg, 0);
    AppendShort(msg, 0x8001);
    AppendInt(msg, -1);
    AppendInt(msg, -2147483647 - 1);
    AppendString(msg, std::string("a\0b", 3));
    AppendString(msg, "");
    EXPECT_EQ(msg, Bytes({0x00, 0x80, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 'a', 0x00, 'b'}));

    msg.clear();
    AddIntegerAttribute(msg, kIppTagInteger, "job-id", -1);
    EXPECT_EQ(msg, Bytes({0x21, 0x00, 0x06}) + "job-id" + Bytes({0x00, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(IppRequest, LongValuesGetUnsignedLengthsUpToTheLimit)
{
    for (std::size_t size : {std::size_t{32768}, std::size_t{65535}}) {
        const std::string value(size, 'v');
        IppMessage msg;
        AddStringAttribute(msg, kIppTagUri, "printer-uri", value);
        EXPECT_EQ(msg, Attr(0x45, "printer-uri", value));
        EXPECT_EQ(msg.substr(14, 2), Bytes({static_cast<int>(size >> 8), static_cast<int>(size & 0xFF)}));
    }
}

TEST(IppRequest, TooLongNameOrValueIsRefusedWithoutWritingAnything)
{
    IppMessage msg = "kept";
    EXPECT_THROW(AddStringAttribute(msg, kIppTagUri, "printer-uri", std::string(65536, 'v')), EIppException);
    EXPECT_THROW(AddStringAttribute(msg, kIppTagUri, std::string(65536, 'n'), "v"), EIppException);
    EXPECT_THROW(AddIntegerAttribute(msg, kIppTagInteger, std::string(70000, 'n'), 1), EIppException);
    EXPECT_EQ(msg, "kept");

    try {
        BuildGetJobsRequest("http://" + std::string(70000, 'h'));
        FAIL() << "a 70007-byte printer URI was accepted";
    } catch (const EIppException& e) {
        EXPECT_NE(std::string(e.what()).find("70007 bytes"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace quenlo
