// The response readers and the walk: values by tag, bad and cut-short bodies, the two walks'
// delimiters, and the captured answers of a real server.
#include "ipp/Ipp.h"
#include "ipp/IppBody.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quenlo {
namespace {

using test::CapturedIpp;
using test::IppBody;

// Everything one walk hands out, in order: "name=text/integer" for attributes, "#tag" for delimiters.
struct WalkLog {
    std::optional<IppResponseHeader> header;
    std::vector<std::string> events;
};

WalkLog Walk(const std::string& body, int limit)
{
    WalkLog log;
    log.header = WalkResponse(
        body, limit,
        [&](const IppAttribute& a) {
            log.events.push_back(std::string(a.name) + "=" + std::string(a.text) + "/" + std::to_string(a.integer));
        },
        [&](int tag) { log.events.push_back("#" + std::to_string(tag)); });
    return log;
}

// ReadAttribute over `rest` (the bytes after the tag), with the views copied out.
struct OwnedAttribute {
    std::string name;
    std::string text;
    std::int32_t integer;
};

OwnedAttribute ReadOne(const std::string& rest, int tag)
{
    IppResponseStream stream(rest);
    const IppAttribute a = ReadAttribute(stream, tag);
    return {std::string(a.name), std::string(a.text), a.integer};
}

TEST(IppResponseHeader, ReadsBigEndianFieldsFromTheStart)
{
    const std::string body = IppBody().Header(2, 1, 0x0401, 0x01020304).Tag(0x01).Tag(0x03);
    IppResponseStream stream(body);
    stream.ReadByte();
    stream.ReadByte();
    const IppResponseHeader h = ReadResponseHeader(stream);
    EXPECT_EQ(h.versionMajor, 2);
    EXPECT_EQ(h.versionMinor, 1);
    EXPECT_EQ(h.statusCode, 0x0401);
    EXPECT_EQ(h.requestId, 0x01020304);
    EXPECT_EQ(stream.Position(), 8u);

    // A short body reads its missing header bytes as zero.
    const std::string shortBody = IppBody().Raw({0x01, 0x01, 0x04});
    IppResponseStream shortStream(shortBody);
    const IppResponseHeader s = ReadResponseHeader(shortStream);
    EXPECT_EQ(s.statusCode, 0x0400);
    EXPECT_EQ(s.requestId, 0);
    EXPECT_EQ(shortStream.Position(), 3u);
}

TEST(IppReadAttribute, ValueByTagClass)
{
    const std::string be5 = std::string("\0\0\0\x05", 4);
    // integer and enum: big-endian number, no text
    OwnedAttribute a = ReadOne(IppBody().Length(13).Text("printer-state").Length(4).Text(be5), 0x23);
    EXPECT_EQ(a.name, "printer-state");
    EXPECT_EQ(a.integer, 5);
    EXPECT_EQ(a.text, "");
    a = ReadOne(IppBody().Length(1).Text("n").Length(4).Raw({0xFF, 0xFF, 0xFF, 0xFE}), 0x21);
    EXPECT_EQ(a.integer, -2);
    // boolean: one byte, so true is 0x01000000
    EXPECT_EQ(ReadOne(IppBody().Length(1).Text("b").Length(1).Raw({0x01}), 0x22).integer, 16777216);
    EXPECT_EQ(ReadOne(IppBody().Length(1).Text("b").Length(1).Raw({0x00}), 0x22).integer, 0);
    // out-of-band: no text, bytes least significant first
    EXPECT_EQ(ReadOne(IppBody().Length(1).Text("u").Length(0), 0x13).integer, 0);
    EXPECT_EQ(ReadOne(IppBody().Length(1).Text("u").Length(2).Raw({0x01, 0x02}), 0x12).integer, 0x0201);
    // strings and binary syntaxes: all the bytes, zeros included
    a = ReadOne(IppBody().Length(4).Text("name").Length(3).Raw({'a', 0x00, 'c'}), 0x30);
    EXPECT_EQ(a.text, std::string("a\0c", 3));
    EXPECT_EQ(a.integer, 'a' | ('c' << 16));
    a = ReadOne(IppBody().Length(4).Text("Name").Length(0), 0x44);
    EXPECT_EQ(a.name, "Name");  // the reader keeps capitals; the walk lowers them
    EXPECT_EQ(a.text, "");
}

// Lengths are unsigned on the wire: a name or value of 32,768 bytes or more is read whole and the
// walk goes on after it (read as signed, such a length consumed nothing and the rest of the answer
// was misread from the middle of the value).
TEST(IppReadAttribute, LengthsFrom0x8000Up)
{
    for (std::size_t length : {std::size_t{0x8000}, std::size_t{0xABCD}, std::size_t{0xFFFF}}) {
        SCOPED_TRACE(length);
        const std::string longText(length, 'x');
        const std::string body = IppBody()
                                     .Header()
                                     .Tag(0x01)
                                     .Tag(0x02)
                                     .Attr(0x42, "job-name", longText)
                                     .Attr(0x44, longText, "v")
                                     .Int(0x21, "job-id", 7)
                                     .Tag(0x03);
        const WalkLog log = Walk(body, kIppJobWalkDelimiterLimit);
        ASSERT_EQ(log.events.size(), 5u);
        EXPECT_EQ(log.events[1], "job-name=" + longText + "/2021161080");  // "xxxx" least significant first
        EXPECT_EQ(log.events[2], longText + "=v/118");
        EXPECT_EQ(log.events[3], "job-id=/7");
        EXPECT_TRUE(ReadAnswerStatus(body).complete);

        const std::string cut = IppBody().Length(1).Text("n").Length(length).Text("ab");
        IppResponseStream stream(cut);
        const IppAttribute a = ReadAttribute(stream, 0x41);
        EXPECT_EQ(a.text.size(), length);
        EXPECT_EQ(a.text.substr(0, 3), std::string_view("ab\0", 3));
        EXPECT_EQ(stream.Position(), cut.size());
    }
}

TEST(IppReadAttribute, CutShortNameOrValueKeepsItsLengthWithZeros)
{
    OwnedAttribute a = ReadOne(IppBody().Length(10).Text("job"), 0x44);
    EXPECT_EQ(a.name, std::string("job\0\0\0\0\0\0\0", 10));
    EXPECT_EQ(a.text, "");

    a = ReadOne(IppBody().Length(6).Text("job-id").Length(4).Raw({0x00, 0x01}), 0x21);
    EXPECT_EQ(a.integer, 0x00010000);
    a = ReadOne(IppBody().Length(1).Text("n").Length(5).Text("ab"), 0x41);
    EXPECT_EQ(a.text, std::string("ab\0\0\0", 5));
    a = ReadOne(IppBody().Length(1).Text("n").Raw({0x00}), 0x41);  // half a value length
    EXPECT_EQ(a.text, "");
}

TEST(IppWalk, ShortBodiesAreNotWalked)
{
    const std::string full = IppBody().Header().Tag(0x01).Tag(0x03).Tag(0x00);  // 11 bytes
    for (std::size_t n = 0; n <= 10; ++n) {
        const WalkLog log = Walk(full.substr(0, n), kIppPrinterWalkDelimiterLimit);
        EXPECT_FALSE(log.header) << n;
        EXPECT_TRUE(log.events.empty()) << n;
    }
    // Eleven bytes are walked: the first group tag is passed over, the end tag ends the walk and the
    // byte after it is never read.
    const WalkLog log = Walk(full, kIppJobWalkDelimiterLimit);
    ASSERT_TRUE(log.header);
    EXPECT_EQ(log.header->requestId, 10);
    EXPECT_EQ(log.events, std::vector<std::string>{"#3"});
}

TEST(IppWalk, NamesLoweredValuesUntouchedAndExtraValuesNameless)
{
    const std::string body = IppBody()
                                 .Header()
                                 .Tag(0x01)
                                 .Tag(0x02)
                                 .Int(0x21, "JOB-ID", 7)
                                 .Attr(0x44, "Job-State-Reasons", "Job-Held")
                                 .Attr(0x44, "", "second-reason")
                                 .Attr(0x42, "job-name", "\xC3\x81 \x01")
                                 .Tag(0x03);
    EXPECT_EQ(Walk(body, kIppJobWalkDelimiterLimit).events,
              (std::vector<std::string>{"#2", "job-id=/7", "job-state-reasons=Job-Held/" + std::to_string(0x2D626F4A),
                                        "=second-reason/" + std::to_string(0x6F636573),
                                        "job-name=\xC3\x81 \x01/" + std::to_string(0x012081C3), "#3"}));
}

// Names are looked at eight bytes at a time: a capital at any place of a long name, the first and
// last letters included, is lowered; the bytes next to them and their forms with the top bit set
// are not letters.
TEST(IppWalk, EveryCapitalOfALongNameIsLowered)
{
    for (std::size_t at = 0; at < 19; ++at) {
        for (const char c : {'A', 'Z', '@', '[', '\xC1', '\xDA'}) {
            std::string name(19, 'x');
            name[at] = c;
            std::string lowered = name;
            lowered[at] = platform::AsciiLower(c);
            const std::string body = IppBody().Header().Tag(0x01).Tag(0x02).Attr(0x44, name, "v").Tag(0x03);
            EXPECT_EQ(Walk(body, kIppJobWalkDelimiterLimit).events[1], lowered + "=v/118") << at << " " << c;
        }
    }
}

TEST(IppWalk, DelimitersOfTheTwoWalks)
{
    // 0x04 and 0x05 are groups in both walks; 0x06 to 0x0A only in the printer walk; bytes from 0x80 up
    // in every walk.
    const std::string body = IppBody()
                                 .Header()
                                 .Tag(0x01)
                                 .Tag(0x04)
                                 .Tag(0x05)
                                 .Attr(0x06, "x", "")
                                 .Tag(0x80)
                                 .Tag(0xFF)
                                 .Int(0x23, "printer-state", 3)
                                 .Tag(0x03);
    EXPECT_EQ(Walk(body, kIppJobWalkDelimiterLimit).events,
              (std::vector<std::string>{"#4", "#5", "x=/0", "#-128", "#-1", "printer-state=/3", "#3"}));
    // The printer walk takes the 0x06 and the bytes after it one by one as delimiters and value tags.
    const WalkLog printer = Walk(body, kIppPrinterWalkDelimiterLimit);
    ASSERT_GE(printer.events.size(), 3u);
    EXPECT_EQ(printer.events[0], "#4");
    EXPECT_EQ(printer.events[1], "#5");
    EXPECT_EQ(printer.events[2], "#6");
    EXPECT_EQ(printer.events[3], "#0");
}

TEST(IppWalk, EndsAtTheFirstEndTagOrTheLastByte)
{
    const std::string ended = IppBody().Header().Tag(0x01).Attr(0x44, "a", "1").Tag(0x03).Attr(0x44, "b", "2");
    EXPECT_EQ(Walk(ended, 3).events, (std::vector<std::string>{"a=1/49", "#3"}));
    const std::string unended = IppBody().Header().Tag(0x01).Attr(0x44, "a", "1").Tag(0x02).Attr(0x44, "b", "2");
    EXPECT_EQ(Walk(unended, 3).events, (std::vector<std::string>{"a=1/49", "#2", "b=2/50"}));
    // A first group tag of 0x03 ends the walk before anything is read.
    EXPECT_TRUE(Walk(IppBody().Header().Tag(0x03).Attr(0x44, "a", "1"), 3).events.empty());
}

// A value length is both bytes of its field: a 300-byte job name (0x012C) read by its low byte
// alone would cut that job and lose the next. Split at every position, the piecewise walk must
// still see what the whole body gives.
TEST(IppWalk, AThreeHundredByteJobNameKeepsItsJobAndTheNext)
{
    const std::string longName(300, 'n');
    const std::string body = IppBody()
                                 .Header()
                                 .Tag(0x01)
                                 .Attr(0x47, "attributes-charset", "utf-8")
                                 .Tag(0x02)
                                 .Int(0x21, "job-id", 1)
                                 .Attr(0x42, "job-name", longName)
                                 .Int(0x23, "job-state", 4)
                                 .Tag(0x02)
                                 .Int(0x21, "job-id", 2)
                                 .Attr(0x42, "job-name", "second")
                                 .Tag(0x03);
    const std::vector<std::string> expected{
        "attributes-charset=utf-8/" + std::to_string(0x2D667475), "#2", "job-id=/1",
        "job-name=" + longName + "/" + std::to_string(0x6E6E6E6E), "job-state=/4", "#2", "job-id=/2",
        "job-name=second/" + std::to_string(0x6F636573), "#3"};
    ASSERT_EQ(Walk(body, kIppJobWalkDelimiterLimit).events, expected);

    for (std::size_t split = 0; split <= body.size(); ++split) {
        WalkLog log;
        IppWalker walker(
            kIppJobWalkDelimiterLimit,
            [&](const IppAttribute& a) {
                log.events.push_back(std::string(a.name) + "=" + std::string(a.text) + "/" + std::to_string(a.integer));
            },
            [&](int tag) { log.events.push_back("#" + std::to_string(tag)); });
        const std::string first = body.substr(0, split);
        const std::string kept = first.substr(walker.Walk(first)) + body.substr(split);
        walker.Finish(kept.substr(walker.Walk(kept)));
        ASSERT_EQ(log.events, expected) << "split at " << split;
    }
}

std::size_t CountEvents(const std::string& body, int limit)
{
    std::size_t events = 0;
    WalkResponse(body, limit, [&](const IppAttribute&) { ++events; }, [&](int) { ++events; });
    return events;
}

// Every prefix of every captured answer, in both walks: nothing may be read outside the body (the
// sanitizer build checks that) and a prefix never yields more than the whole body.
TEST(IppWalkRobustness, EveryCutOfTheCapturedAnswers)
{
    for (const char* name : {"get-jobs-held", "get-printer-paused", "get-jobs-not-found"}) {
        const std::string body = CapturedIpp(name);
        for (int limit : {kIppJobWalkDelimiterLimit, kIppPrinterWalkDelimiterLimit}) {
            const std::size_t whole = CountEvents(body, limit);
            for (std::size_t n = 0; n < body.size(); ++n) {
                const std::string prefix = body.substr(0, n);  // its own allocation, for ASan
                ASSERT_LE(CountEvents(prefix, limit), whole) << name << " cut at " << n;
            }
        }
    }
}

TEST(IppWalkRobustness, AMillionAttributes)
{
    IppBody body;
    body.Header().Tag(0x01).Tag(0x02);
    for (int i = 0; i < 1000000; ++i)
        body.Attr(0x44, "k", "v");
    body.Tag(0x03);
    std::size_t attributes = 0;
    int delimiters = 0;
    WalkResponse(
        body.str(), kIppJobWalkDelimiterLimit, [&](const IppAttribute&) { ++attributes; },
        [&](int) { ++delimiters; });
    EXPECT_EQ(attributes, 1000000u);
    EXPECT_EQ(delimiters, 2);
}

TEST(IppWalkRobustness, RandomBodiesEnd)
{
    std::minstd_rand random(20261208);
    for (int round = 0; round < 5000; ++round) {
        std::string body(random() % 200, '\0');
        for (char& c : body)
            c = static_cast<char>(random() % 8 == 0 ? 0x80 + random() % 0x80 : random() % 0x50);
        for (int limit : {kIppJobWalkDelimiterLimit, kIppPrinterWalkDelimiterLimit})
            ASSERT_LE(CountEvents(body, limit), body.size());
    }
}

TEST(IppWalkCaptured, HeldJobsOfARealServer)
{
    std::vector<int> jobIds;
    std::vector<std::string> users;
    int groups = 0;
    const auto header = WalkResponse(
        CapturedIpp("get-jobs-held"), kIppJobWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (a.name == "job-id")
                jobIds.push_back(a.integer);
            if (a.name == "job-originating-user-name")
                users.push_back(std::string(a.text));
        },
        [&](int tag) { groups += tag == 0x02; });
    ASSERT_TRUE(header);
    EXPECT_EQ(header->statusCode, 0);
    EXPECT_EQ(header->requestId, 10);
    EXPECT_EQ(jobIds, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(users, (std::vector<std::string>{"alice", "alice", "bob", "carol"}));
    EXPECT_EQ(groups, 4);
}

TEST(IppWalkCaptured, ErrorAnswerCarriesItsStatus)
{
    std::string message;
    const auto header = WalkResponse(
        CapturedIpp("get-jobs-not-found"), kIppJobWalkDelimiterLimit,
        [&](const IppAttribute& a) {
            if (a.name == "status-message")
                message = a.text;
        },
        nullptr);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->statusCode, 0x0406);  // client-error-not-found
    EXPECT_EQ(message, "The printer or class does not exist.");
}

// The answer as a whole: complete only with a header of IPP version 1 or 2 and its end tag; the
// status-message only from the operation attributes.
TEST(IppAnswerStatus, CompleteSuccessfulAndStatusMessage)
{
    const IppAnswerStatus notFound = ReadAnswerStatus(CapturedIpp("get-jobs-not-found"));
    EXPECT_TRUE(notFound.complete);
    EXPECT_FALSE(notFound.Succeeded());
    EXPECT_EQ(notFound.statusMessage, "The printer or class does not exist.");

    const std::string held = CapturedIpp("get-jobs-held");
    EXPECT_TRUE(ReadAnswerStatus(held).Succeeded());
    for (std::size_t n : {std::size_t{0}, std::size_t{11}, held.size() / 2, held.size() - 1})
        EXPECT_FALSE(ReadAnswerStatus(held.substr(0, n)).complete) << n;
    EXPECT_FALSE(ReadAnswerStatus("<!DOCTYPE html><html>\x03</html>").complete);

    const std::string okIgnored = IppBody().Header(2, 0, 0x0001).Tag(0x01).Attr(0x41, "a", "").Tag(0x03);
    EXPECT_TRUE(ReadAnswerStatus(okIgnored).Succeeded());
    const std::string jobMessage = IppBody()
                                       .Header(1, 1, 0x0404)
                                       .Tag(0x01)
                                       .Attr(0x41, "Status-Message", "first")
                                       .Attr(0x41, "status-message", "second")
                                       .Tag(0x02)
                                       .Attr(0x41, "status-message", "of a job")
                                       .Tag(0x03);
    const IppAnswerStatus refused = ReadAnswerStatus(jobMessage);
    EXPECT_EQ(refused.statusCode, 0x0404);
    EXPECT_EQ(refused.statusMessage, "first");
}

}  // namespace
}  // namespace quenlo
