// quenlo-cli's monitor commands (refresh and the six job and printer commands) run as a user runs
// them: against a private CUPS server, a scripted server, an HTTP proxy stand-in, and with the
// printers file found the way the window finds it.
#include "ipp/Ipp.h"
#include "monitor/MonitorTestKit.h"
#include "support/CupsLab.h"
#include "support/ScriptedPeer.h"
#include "support/PrivateFiles.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace quenlo {
namespace {

using test::Answer;
using test::AnswerRefresh;
using test::CupsLab;
using test::ScriptedPeer;
using test::HttpOk;
using test::IppAnswer;
using test::RequestLine;
using test::ServerJobStates;
using test::TempDir;
namespace fs = std::filesystem;

struct PrinterBlock {
    std::string name;
    std::string remotehost;
    std::string url;
    std::string comment;
};

std::string PrintersFile(const std::vector<PrinterBlock>& printers, const std::string& global = "")
{
    std::string text = "<global>\n" + global + "<endglobal>\n";
    for (const PrinterBlock& p : printers) {
        text += "<printer>\nname=" + p.name + "\nremotehost=" + p.remotehost + "\nurl=" + p.url +
                "\nlocalport=-1\ncomment=" + p.comment + "\n<endprinter>\n";
    }
    return text;
}

// Runs quenlo-cli with the C locale, extra environment settings and, when given, another working
// directory.
test::ProcessResult Cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                        const std::string& cwd = "")
{
    std::vector<std::string> argv{"/usr/bin/env", "LC_ALL=C"};
    if (!cwd.empty())
        argv.push_back("--chdir=" + cwd);
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(QUENLO_CLI);
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunProcess(argv, std::chrono::seconds(60));
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& line : Lines(text)) {
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    }
    return found;
}

// The positions of the bytes in `out` that a terminal would act on: C0 controls but tab and line
// feed, DEL, C1 controls in UTF-8, and U+202E.
std::string RawControls(const std::string& out)
{
    std::string found;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const auto c = static_cast<unsigned char>(out[i]);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F ||
            (c == 0xC2 && i + 1 < out.size() && (static_cast<unsigned char>(out[i + 1]) & 0xE0) == 0x80) ||
            out.compare(i, 3, "\u202e") == 0)
            found += std::to_string(i) + " ";
    }
    return found;
}

// ---------------------------------------------------------------------------------------------
// Against the private CUPS server

TEST(MonitorCli, RefreshPrintsTheSelectedPrintersLinesAndJobs)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("cli-refresh");
    lab.HoldJobs(printer, 2, {.user = "anna", .size = 2048, .title = "Minutes"});
    TempDir dir("monitor-cli");
    const std::string config = dir.Write(
        "printers.qdl", PrintersFile({{"Other", "127.0.0.1:1", "/printers/none", ""},
                                      {"Office", lab.HostPort(), CupsLab::PrinterPath(printer), "by the stairs"}}));

    const test::ProcessResult r = Cli({"refresh", "--config", config, "--printer", "Office"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "status\tgreen\tOffice - kapcsolódva, IPP rendben (200)");
    EXPECT_EQ(lines[1].rfind("printer\tgreen\tOffice - idle, accepting jobs", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "comment\tMegjegyzés: by the stairs");
    const std::regex job("job\t[0-9]+\tOffice\tanna\tMinutes\t2 K\tpending-held\tjob-hold-until-specified\t"
                         "[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
    EXPECT_TRUE(std::regex_match(lines[3], job)) << lines[3];
    EXPECT_TRUE(std::regex_match(lines[4], job)) << lines[4];

    // A typo in the url: the server has no such queue, and the command says so by its exit code.
    const std::string typo = dir.Write(
        "typo.qdl", PrintersFile({{"Typo", lab.HostPort(), CupsLab::PrinterPath("no-such-queue"), ""}}));
    const test::ProcessResult missing = Cli({"refresh", "--config", typo});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(Lines(missing.out).at(0), "status\tyellow\tTypo - a szerveren nincs ilyen nyomtató");
    EXPECT_EQ(Lines(missing.out).at(1), "printer\tred\tTypo - unknown");

    // Without --printer the first printer of the file is chosen; nothing answers there.
    const test::ProcessResult first = Cli({"refresh", "--config", config});
    EXPECT_EQ(first.exitCode, 1);
    EXPECT_EQ(Lines(first.out)[0], "status\tred\tOther - kapcsolódás sikertelen (404)");
    EXPECT_EQ(Lines(first.out)[1], "printer\tred\tOther - unknown");
}

// The commands go to the server named by its IPv6 address: the brackets stay in the Host header and
// the printer-uri, both of which the server checks.
std::string AtIPv6(const CupsLab& lab) { return "[::1]:" + std::to_string(lab.Port()); }

TEST(MonitorCli, JobCommandsChangeTheJobOnTheServer)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("cli-jobs");
    lab.HoldJobs(printer, 2);
    lab.Pause(printer, "kept for the test");  // a released job then waits as pending
    TempDir dir("monitor-cli");
    const std::string config =
        dir.Write("printers.qdl", PrintersFile({{"Office", AtIPv6(lab), CupsLab::PrinterPath(printer), ""}}));
    std::map<int, int> states = ServerJobStates(lab, printer);
    ASSERT_EQ(states.size(), 2u);
    const std::string first = std::to_string(states.begin()->first);
    const std::string second = std::to_string(states.rbegin()->first);

    const auto run = [&](const std::string& command, const std::string& id) {
        const test::ProcessResult r = Cli({command, id, "--config", config});
        EXPECT_EQ(r.exitCode, 0) << command << r.out << r.err;
        EXPECT_EQ(LinesStartingWith(r.out, "status\t").size(), 2u) << r.out;  // refreshed after it
        return r.out;
    };
    const std::string released = run("release-job", first);
    EXPECT_EQ(ServerJobStates(lab, printer)[std::stoi(first)], 3);
    EXPECT_NE(released.find("job\t" + first + "\tOffice\t"), std::string::npos);
    run("hold-job", first);
    EXPECT_EQ(ServerJobStates(lab, printer)[std::stoi(first)], 4);
    const std::string canceled = run("cancel-job", second);
    states = ServerJobStates(lab, printer);
    EXPECT_EQ(states.count(std::stoi(second)), 0u);
    EXPECT_EQ(LinesStartingWith(canceled, "job\t").size(), 3u);  // two before, one after

    // A job that is not listed: nothing is selected, so the command only warns.
    const test::ProcessResult missing = Cli({"cancel-job", "999999", "--config", config});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(LinesStartingWith(missing.out, "message\t"),
              std::vector<std::string>{"message\twarning\tNincs kijelölve feladat, amit megszakíthatna!"});
    EXPECT_EQ(LinesStartingWith(missing.out, "status\t").size(), 1u);
}

TEST(MonitorCli, PrinterCommandsPauseResumeAndPurge)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("cli-printer");
    lab.HoldJobs(printer, 2);
    TempDir dir("monitor-cli");
    const std::string config = dir.Write(
        "printers.qdl", PrintersFile({{"Office", AtIPv6(lab), CupsLab::PrinterPath(printer), ""}}, "watch=1\n"));

    const test::ProcessResult paused = Cli({"pause-printer", "--config", config});
    EXPECT_EQ(paused.exitCode, 0) << paused.err;
    std::vector<std::string> printerLines = LinesStartingWith(paused.out, "printer\t");
    ASSERT_EQ(printerLines.size(), 2u);
    EXPECT_EQ(printerLines[1].rfind("printer\tyellow\tOffice - stopped, accepting jobs", 0), 0u) << printerLines[1];

    const test::ProcessResult resumed = Cli({"resume-printer", "--config", config});
    EXPECT_EQ(resumed.exitCode, 0) << resumed.err;
    printerLines = LinesStartingWith(resumed.out, "printer\t");
    ASSERT_EQ(printerLines.size(), 2u);
    EXPECT_EQ(printerLines[0].rfind("printer\tyellow\tOffice - stopped", 0), 0u);
    EXPECT_EQ(printerLines[1].rfind("printer\tgreen\tOffice - idle, accepting jobs", 0), 0u) << printerLines[1];
    const test::ProcessResult watched = Cli({"watch", "--count", "1", "--config", config});
    ASSERT_EQ(Lines(watched.out).size(), 1u) << watched.out << watched.err;
    EXPECT_EQ(Lines(watched.out)[0].substr(21, 13), "Office\tgreen\t") << watched.out;

    const test::ProcessResult purged = Cli({"purge-jobs", "--config", config});
    EXPECT_EQ(purged.exitCode, 0) << purged.err;
    EXPECT_EQ(LinesStartingWith(purged.out, "job\t").size(), 2u);  // only in the refresh before
    const std::vector<std::string> lines = Lines(purged.out);
    EXPECT_EQ(lines.back().rfind("comment\t", 0), 0u);
    EXPECT_TRUE(ServerJobStates(lab, printer).empty());
}

// ---------------------------------------------------------------------------------------------
// The administrator's commands, judged by what lpstat and ipptool read from the server

// Asks lpstat of the lab's server, e.g. {"-o", "queue"}.
std::string Lpstat(const CupsLab& lab, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{"/usr/bin/lpstat", "-h", lab.HostPort()};
    argv.insert(argv.end(), args.begin(), args.end());
    return test::RunProcess(argv).out;
}

// True once `done` holds, asked again every 200 ms for at most 60 s.
bool Eventually(const std::function<bool()>& done)
{
    for (int i = 0; i < 300; ++i) {
        if (done())
            return true;
        ::usleep(200 * 1000);
    }
    return done();
}

// One attribute of a job as ipptool reads it.
std::string JobAttributeByIpptool(const CupsLab& lab, const std::string& queue, const std::string& id,
                                  const std::string& attribute, const TempDir& dir)
{
    const std::string test = dir.Write(
        "get-job.test", "{\nOPERATION Get-Job-Attributes\nGROUP operation-attributes-tag\n"
                        "ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n"
                        "ATTR uri printer-uri $uri\nATTR integer job-id " + id + "\nDISPLAY " + attribute + "\n}\n");
    const std::string out = test::RunProcess({"/usr/bin/ipptool", "-c", lab.PrinterUri(queue), test}).out;
    return Lines(out).size() == 2 ? Lines(out)[1] : out;
}

// The message lines of a run, their CRs written as \r.
std::vector<std::string> Messages(const test::ProcessResult& r) { return LinesStartingWith(r.out, "message\t"); }

// A jammed printer's queue, as an administrator clears it: the manager's job first, one job and
// then the rest to the printer next door (a name of another server refused before anything is
// sent), the printer refusing new jobs with its reason and taking them again; then a printer's
// finished jobs newest first, one of them in detail, printed again through the lab's backend, and
// what a finished or waiting job refuses.
TEST(AdminCli, CommandsChangeTheServerAsLpstatShowsIt)
{
    QUENLO_NEED(CupsLab::MissingTools().empty() ? "" : "CUPS lab not available: " + CupsLab::MissingTools());
    CupsLab lab(false, "--history");
    lab.AddPrinter("jammed");
    lab.AddPrinter("nextdoor");
    lab.Script("add-printer", {"says", "--device", "lab-says:/"});
    lab.HoldJobs("jammed", 3);
    TempDir dir("admin-cli");
    const std::string config = dir.Write(
        "printers.qdl", PrintersFile({{"Jammed", lab.HostPort(), "/printers/jammed", ""},
                                      {"Says", lab.HostPort(), "/printers/says", ""}}));
    std::vector<std::string> ids;
    for (const auto& [id, state] : ServerJobStates(lab, "jammed"))
        ids.push_back(std::to_string(id));
    ASSERT_EQ(ids.size(), 3u);
    const auto run = [&](std::vector<std::string> args, int exitCode = 0) {
        args.insert(args.end(), {"--config", config});
        const test::ProcessResult r = Cli(args);
        EXPECT_EQ(r.exitCode, exitCode) << args[0] << "\n" << r.out << r.err;
        return r;
    };

    run({"set-job-priority", ids[1], "100"});
    EXPECT_EQ(JobAttributeByIpptool(lab, "jammed", ids[1], "job-priority", dir), "100");
    const test::ProcessResult moved = run({"move-job", ids[0], "NextDoor"});
    EXPECT_EQ(LinesStartingWith(moved.out, "job\t").size(), 3u + 2u);  // the refresh before and after
    EXPECT_NE(Lpstat(lab, {"-o", "nextdoor"}).find("nextdoor-" + ids[0] + " "), std::string::npos);
    const test::ProcessResult elsewhere = run({"move-job", ids[1], "elsewhere"}, 1);
    EXPECT_EQ(Messages(elsewhere), std::vector<std::string>{"message\twarning\tNem ennek a szervernek a nyomtatási "
                                                            "sora: elsewhere\\rFeladat csak ugyanannak a szervernek "
                                                            "egy másik sorába helyezhető át."});
    run({"move-jobs", "nextdoor"});
    EXPECT_EQ(Lpstat(lab, {"-o", "jammed"}), "");
    EXPECT_EQ(Lines(Lpstat(lab, {"-o", "nextdoor"})).size(), 3u);

    const test::ProcessResult rejected = run({"reject-jobs", "--reason", "javítás alatt"});
    EXPECT_EQ(LinesStartingWith(rejected.out, "printer\t").back(),
              "printer\tyellow\tJammed - idle, rejecting jobs (javítás alatt)");
    EXPECT_EQ(Lines(Lpstat(lab, {"-a", "jammed"})).at(1), "\tjavítás alatt");
    run({"accept-jobs"});
    EXPECT_EQ(Lpstat(lab, {"-a", "jammed"}).rfind("jammed accepting requests", 0), 0u);

    // One job prints through the lab's backend (a page, then it waits for `go`, which is there);
    // one is canceled after it.
    const std::string go = lab.Dir() + "/go-says", doc = lab.Dir() + "/doc-says";
    std::ofstream(go).put('\n');
    std::ofstream(doc) << "PAGE: 1 1\nwait " << go << "\n";
    ::chmod(doc.c_str(), 0644);
    lab.Script("print", {"says", doc});
    ASSERT_TRUE(Eventually([&] { return Lpstat(lab, {"-o", "says"}).empty(); }));
    lab.HoldJobs("says", 1);
    lab.Script("cancel-all", {"says"});
    const std::vector<std::string> finished = Lines(Lpstat(lab, {"-W", "completed", "-o", "says"}));
    ASSERT_EQ(finished.size(), 2u);
    std::vector<int> finishedIds;
    for (const std::string& line : finished)
        finishedIds.push_back(std::stoi(line.substr(5, line.find(' ') - 5)));
    std::sort(finishedIds.begin(), finishedIds.end());
    const std::string printed = std::to_string(finishedIds[0]), canceled = std::to_string(finishedIds[1]);

    const test::ProcessResult list = run({"refresh", "--completed", "--printer", "Says"});
    const std::vector<std::string> rows = LinesStartingWith(list.out, "job\t");
    ASSERT_EQ(rows.size(), 2u) << list.out;
    EXPECT_EQ(rows[0].rfind("job\t" + canceled + "\tSays\t", 0), 0u) << rows[0];
    EXPECT_NE(rows[0].find("\tcanceled\t"), std::string::npos) << rows[0];
    EXPECT_TRUE(std::regex_search(rows[1], std::regex("^job\t" + printed + "\tSays\t.*\tcompleted\t.*\t"
                                                      "[0-9]{2}/[0-9]{2}/[0-9]{2} [0-9:]{8}\t1$")))
        << rows[1];
    const test::ProcessResult details = run({"job", printed, "--printer", "Says", "--json"});
    const std::string json = dir.Write("job.json", details.out);
    EXPECT_EQ(test::RunProcess({"/usr/bin/jq", "-e",
                                ".job.id == " + printed + " and .job.state == \"completed\" and .job.pages == 1 and "
                                ".job.completed >= .job.processing and .job.format == \"text/plain\"",
                                json}).out,
              "true\n") << details.out;

    std::filesystem::remove(go);
    run({"restart-job", printed, "--printer", "Says"});
    EXPECT_TRUE(Eventually([&] { return Lpstat(lab, {"-o", "says"}).find("says-" + printed + " ") != std::string::npos; }));
    std::ofstream(go).put('\n');

    const std::string finishedJob = "A kérést a szerver elutasította!\\rHibakód: 0x0404\\rJob #" + canceled +
                                    " is finished and cannot be altered.\\r";
    EXPECT_EQ(Messages(run({"move-job", canceled, "jammed", "--printer", "Says"}, 1)),
              std::vector<std::string>{"message\twarning\t" + finishedJob +
                                       "Befejezett (kinyomtatott, megszakított vagy törölt) feladat nem helyezhető át."});
    EXPECT_EQ(Messages(run({"set-job-priority", canceled, "5", "--printer", "Says"}, 1)),
              std::vector<std::string>{"message\twarning\t" + finishedJob +
                                       "Befejezett feladat prioritása már nem változtatható."});
    EXPECT_EQ(Messages(run({"restart-job", ids[2]}, 1)),
              std::vector<std::string>{"message\twarning\tA kérést a szerver elutasította!\\rHibakód: 0x0404\\rJob #" +
                                       ids[2] + " is not complete.\\rCsak befejezett, megszakított vagy törölt feladat "
                                       "nyomtatható újra, és csak akkor, ha a szerver megőrizte a fájljait."});
}

// A finished job whose files the server did not keep cannot be printed again, and a server that
// wants a password refuses an anonymous move: each says why.
TEST(AdminCli, RefusalsSayWhy)
{
    QUENLO_REQUIRE_CUPS_LAB_AUTH(guarded);
    CupsLab lab(false, "--history-only");
    lab.AddPrinter("office");
    TempDir dir("admin-cli");
    const std::string doc = dir.Write("doc.txt", "one page\n");
    lab.Script("print", {"office", doc});
    ASSERT_TRUE(Eventually([&] { return Lpstat(lab, {"-o", "office"}).empty(); }));
    const std::string finished = Lpstat(lab, {"-W", "completed", "-o", "office"});
    ASSERT_EQ(finished.rfind("office-", 0), 0u) << finished;
    const std::string id = finished.substr(7, finished.find(' ') - 7);
    const std::string config =
        dir.Write("printers.qdl", PrintersFile({{"Office", lab.HostPort(), "/printers/office", ""}}));
    const test::ProcessResult restart = Cli({"restart-job", id, "--config", config});
    EXPECT_EQ(restart.exitCode, 1);
    EXPECT_EQ(Messages(restart), std::vector<std::string>{
                                     "message\twarning\tA kérést a szerver elutasította!\\rHibakód: 0x0404\\rJob #" + id +
                                     " cannot be restarted - no files.\\rCsak befejezett, megszakított vagy törölt "
                                     "feladat nyomtatható újra, és csak akkor, ha a szerver megőrizte a fájljait."});

    const std::string from = guarded.AddUniquePrinter("admin-guarded");
    const std::string to = guarded.AddUniquePrinter("admin-guarded");
    guarded.HoldJobs(from, 1);
    const std::string guardedConfig =
        dir.Write("guarded.qdl", PrintersFile({{"Guarded", guarded.HostPort(), CupsLab::PrinterPath(from), ""}}));
    const std::string job = std::to_string(ServerJobStates(guarded, from).begin()->first);
    const test::ProcessResult move = Cli({"move-job", job, to, "--config", guardedConfig});
    EXPECT_EQ(move.exitCode, 1);
    EXPECT_EQ(Messages(move), std::vector<std::string>{"message\terror\tKérés sikertelen (401)\\rA szerver "
                                                       "felhasználónevet és jelszót kér, de ennél a nyomtatónál "
                                                       "nincs megadva felhasználó."});
    EXPECT_EQ(Lpstat(guarded, {"-o", to}), "");
}

// ---------------------------------------------------------------------------------------------
// Against the scripted server

TEST(MonitorCli, RefusalsArePrintedWithTheirCodesAndFallbackRequest)
{
    ScriptedPeer server;
    TempDir dir("monitor-cli");
    const std::string config = dir.Write(
        "printers.qdl",
        PrintersFile({{"Laser", "127.0.0.1:" + std::to_string(server.Port()), "/printers/laser", ""}}));

    AnswerRefresh(server);
    Answer(server, HttpOk(IppAnswer(0x0401).End().str()));
    Answer(server, ScriptedPeer::Response(404, "Not Found", ""));
    AnswerRefresh(server);
    const test::ProcessResult pause = Cli({"pause-printer", "--config", config});
    EXPECT_EQ(pause.exitCode, 1);
    EXPECT_EQ(LinesStartingWith(pause.out, "message\t"),
              std::vector<std::string>{"message\twarning\tA kérést a szerver elutasította, és CUPS HTTP kérés "
                                       "sem sikerült!\\rHibakódok: 0x0401  404\\rA szerver ezt a műveletet "
                                       "senkinek sem engedi."});
    ASSERT_EQ(server.Connections(), 8u);
    EXPECT_EQ(RequestLine(server.Received(4)), "GET /admin/?op=stop-printer&printer_name=laser HTTP/1.0");
    EXPECT_EQ(LinesStartingWith(pause.out, "status\t").size(), 2u);

    AnswerRefresh(server);
    Answer(server, HttpOk(IppAnswer(0x0507).End().str()));
    AnswerRefresh(server);
    const test::ProcessResult purge = Cli({"purge-jobs", "--config", config});
    EXPECT_EQ(purge.exitCode, 1);
    EXPECT_EQ(LinesStartingWith(purge.out, "message\t"),
              std::vector<std::string>{"message\twarning\tA kérést a szerver elutasította!\\rHibakód: 0x0507"});
    EXPECT_EQ(server.Connections(), 15u);
    EXPECT_EQ(RequestLine(server.Received(12)), "GET /printers/laser HTTP/1.0");
}

TEST(MonitorCli, TextsWithTabsAndLineBreaksStayOnOneLine)
{
    ScriptedPeer server;
    TempDir dir("monitor-cli");
    const std::string config = dir.Write(
        "printers.qdl",
        PrintersFile({{"Laser", "127.0.0.1:" + std::to_string(server.Port()), "/printers/laser", "a\tb"}}));
    test::Answer(server, HttpOk("page", "text/html"));
    // After the first line, each byte to escape shares eight bytes with printable ones only.
    test::Answer(server, HttpOk(test::HeldJobsAnswer(
                             {7}, "Q1\tQ2\r\nQ3\x1b]0;x\x07\x9b" "1m|1234567\\|1234567\x7f|1234567\x1f|1234567\x9b|"
                                  "\xc3\xa9t\xc3\xa9 pr\xc3\xa9t")));
    test::Answer(server, HttpOk(test::PrinterAnswer(3, true)));
    const test::ProcessResult r = Cli({"refresh", "--config", config});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{"status\tgreen\tLaser - kapcsolódva, IPP rendben (200)",
                                        "printer\tgreen\tLaser - idle, accepting jobs", "comment\tMegjegyzés: a\\tb",
                                        "job\t7\tLaser\tanna\tQ1\\tQ2\\r\\nQ3\\x1b]0;x\\x07\\x9b1m|1234567\\\\|1234567\\x7f|"
                                        "1234567\\x1f|1234567\\x9b|\xc3\xa9t\xc3\xa9 pr\xc3\xa9t\t3 K\tpending-held\t"
                                        "job-hold-until-specified\t01/01/70 23:59:59"}));
}

// A state message set by whoever may stop the printer reaches every later `refresh` and `watch`:
// escape sequences in it must arrive as visible text, not as commands to the reader's terminal.
TEST(MonitorCli, ControlSequencesFromTheServerReachNoTerminal)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("cli-escapes");
    lab.Pause(printer, "\x1b[2J\x1b]0;owned\x07 invoice\u202egnp.exe \xc2\x9b" "1m\x7f");
    TempDir dir("monitor-cli");
    const std::string config =
        dir.Write("printers.qdl", PrintersFile({{"Office", lab.HostPort(), CupsLab::PrinterPath(printer), ""}},
                                               "watch=1\n"));
    const std::string shown = "\\x1b[2J\\x1b]0;owned\\x07 invoice\\u202egnp.exe \\u009b1m\\x7f";

    const test::ProcessResult refresh = Cli({"refresh", "--config", config});
    EXPECT_EQ(RawControls(refresh.out), "") << refresh.out;
    EXPECT_NE(refresh.out.find("(" + shown + ")"), std::string::npos) << refresh.out;
    const test::ProcessResult watch = Cli({"watch", "--config", config, "--count", "1"});
    EXPECT_EQ(watch.exitCode, 0) << watch.err;
    EXPECT_EQ(RawControls(watch.out), "") << watch.out;
    EXPECT_NE(watch.out.find("(" + shown + ")"), std::string::npos) << watch.out;
    const test::ProcessResult watchJson = Cli({"watch", "--config", config, "--count", "1", "--json"});
    EXPECT_EQ(RawControls(watchJson.out), "") << watchJson.out;
    EXPECT_EQ(test::RunProcess({"/usr/bin/jq", "-e", ".message", dir.Write("watch.json", watchJson.out)}).exitCode, 0)
        << watchJson.out;
}

TEST(MonitorCli, ProxySettingsOfTheFileAreUsed)
{
    ScriptedPeer proxy;
    TempDir dir("monitor-cli");
    const std::string config = dir.Write(
        "printers.qdl", PrintersFile({{"Laser", "printer.invalid:631", "/printers/laser", ""}},
                                     "proxy=127.0.0.1\nproxyport=" + std::to_string(proxy.Port()) +
                                         "\nproxyuser=pu\nproxypass=pp\n"));
    AnswerRefresh(proxy);
    const test::ProcessResult r = Cli({"refresh", "--config", config});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    ASSERT_EQ(proxy.Connections(), 3u);
    const std::string probe = proxy.Received(0);
    EXPECT_EQ(RequestLine(probe), "GET http://printer.invalid:631/printers/laser HTTP/1.0");
    EXPECT_NE(probe.find("\r\nHost: printer.invalid\r\n"), std::string::npos);
    EXPECT_NE(probe.find("\r\nProxy-Authorization: Basic cHU6cHA=\r\n"), std::string::npos);  // pu:pp
    EXPECT_EQ(RequestLine(proxy.Received(1)), "POST http://printer.invalid:631/printers/laser HTTP/1.0");
}

TEST(MonitorCli, PrintersFileIsFoundAsTheWindowFindsIt)
{
    ScriptedPeer server;
    TempDir dir("monitor-cli");
    const std::string home = dir.Path() + "/home";
    const std::string configHome = dir.Path() + "/config";
    const std::string work = dir.Path() + "/work";
    fs::create_directories(work);
    fs::create_directories(configHome);
    const std::vector<std::string> env{"HOME=" + home, "XDG_CONFIG_HOME=" + configHome};

    // Nowhere yet.
    dir.Write("home/notes.txt", "");
    const test::ProcessResult none = Cli({"refresh"}, env, work);
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no printers.qdl found"), std::string::npos) << none.err;

    // In the home folder; the application folder, when it has one, comes first.
    dir.Write("home/printers.qdl",
              PrintersFile({{"Home", "127.0.0.1:" + std::to_string(server.Port()), "/printers/laser", ""}}));
    AnswerRefresh(server);
    const test::ProcessResult found = Cli({"refresh"}, env, work);
    EXPECT_EQ(found.exitCode, 0) << found.err;
    EXPECT_EQ(Lines(found.out).at(0), "status\tgreen\tHome - kapcsolódva, IPP rendben (200)");

    dir.Write("config/Dorvane/Quenlo/printers.qdl",
              PrintersFile({{"AppData", "127.0.0.1:" + std::to_string(server.Port()), "/printers/laser", ""}}));
    AnswerRefresh(server);
    const test::ProcessResult preferred = Cli({"refresh"}, env, work);
    EXPECT_EQ(Lines(preferred.out).at(0), "status\tgreen\tAppData - kapcsolódva, IPP rendben (200)");
}

TEST(MonitorCli, BadArgumentsAndMissingPrinters)
{
    TempDir dir("monitor-cli");
    const std::string config = dir.Write("printers.qdl", PrintersFile({{"Laser", "127.0.0.1:1", "/printers/l", ""}}));
    EXPECT_EQ(Cli({"cancel-job", "--config", config}).exitCode, 2);
    EXPECT_EQ(Cli({"hold-job", "1", "2", "--config", config}).exitCode, 2);
    EXPECT_EQ(Cli({"refresh", "extra", "--config", config}).exitCode, 2);
    EXPECT_EQ(Cli({"purge-jobs", "--config", config, "--bogus"}).exitCode, 2);
    EXPECT_EQ(Cli({"set-job-priority", "1", "101", "--config", config}).exitCode, 2);
    EXPECT_EQ(Cli({"move-job", "1", "--config", config}).exitCode, 2);
    EXPECT_EQ(Cli({"job", "-1", "--config", config}).exitCode, 2);
    EXPECT_EQ(Cli({"refresh", "--reason", "x", "--config", config}).exitCode, 2);

    const test::ProcessResult unknown = Cli({"refresh", "--config", config, "--printer", "Nope"});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("no printer named Nope"), std::string::npos);
    EXPECT_TRUE(unknown.out.empty());

    const std::string empty = dir.Write("empty.qdl", "<global>\nproxy=\n<endglobal>\n");
    const test::ProcessResult noPrinters = Cli({"refresh", "--config", empty});
    EXPECT_EQ(noPrinters.exitCode, 1);
    EXPECT_NE(noPrinters.err.find("no printer in"), std::string::npos);
    EXPECT_EQ(Cli({"refresh", "--config", dir.Path() + "/missing.qdl"}).exitCode, 1);
}

// The watch as a script sees it: the file's watch key sets the pace, one record per change with
// the window's printer line, and the command ends by itself after --count changes.
TEST(CliWatch, PrintsOneRecordPerPrinterAndEndsAfterTheCount)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string stopped = lab.AddUniquePrinter("cli-watch");
    lab.HoldJobs(stopped, 2);
    lab.Pause(stopped, "Papír elakadt");
    TempDir dir("monitor-cli");
    const std::string config = dir.Write(
        "printers.qdl", PrintersFile({{"Office", lab.HostPort(), CupsLab::PrinterPath(stopped), ""},
                                      {"Gone", "127.0.0.1:1", "/printers/none", ""}},
                                     "watch=1\n"));

    const test::ProcessResult r = Cli({"watch", "--config", config, "--count", "2"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    std::sort(lines.begin(), lines.end());
    const std::regex time("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\t");
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_search(line, time)) << line;
    EXPECT_EQ(lines[0].substr(21), "Gone\tred\tGone - unknown\t-1\t");
    EXPECT_EQ(lines[1].substr(21), "Office\tyellow\tOffice - stopped, accepting jobs (Papír elakadt)\t2\tpaused");

    EXPECT_EQ(Cli({"watch", "--config", config, "--seconds", "0"}).exitCode, 2);
}

// Every printer at once, as `status` prints it and as a script reads its JSON: each row agrees with
// what lpstat reads from the same server, a missing queue and a dead server are rows of their own
// (exit 1), and a state message full of terminal controls and a bidi override parses as the
// server's text (a byte outside UTF-8 as U+FFFD), with none of them raw in the output.
TEST(CliStatus, RowsAgreeWithLpstatAndTheJsonParses)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string idle = lab.AddUniquePrinter("cli-status");
    lab.HoldJobs(idle, 2);
    const std::string paused = lab.AddUniquePrinter("cli-status");
    const std::string message = "\x1b[2J jam\u202eexe.pdf \xc2\x9b" "1m \xff";
    lab.Pause(paused, message);
    TempDir dir("monitor-cli");
    const std::string config = dir.Write(
        "printers.qdl", PrintersFile({{"Idle", lab.HostPort(), CupsLab::PrinterPath(idle), ""},
                                      {"Paused", lab.HostPort(), CupsLab::PrinterPath(paused), ""},
                                      {"Missing", lab.HostPort(), "/printers/none-such", ""},
                                      {"Dead", "127.0.0.1:1", "/printers/x", ""}}));

    const test::ProcessResult text = Cli({"status", "--config", config});
    EXPECT_EQ(text.exitCode, 1) << text.err;
    EXPECT_EQ(Lines(text.out),
              (std::vector<std::string>{
                  "Idle\tgreen\t" + lab.HostPort() + "\tidle, accepting jobs\t2\tnone\t",
                  "Paused\tyellow\t" + lab.HostPort() + "\tstopped, accepting jobs (\\x1b[2J jam\\u202eexe.pdf \\u009b1m \\xff)\t0\tpaused\t",
                  "Missing\tyellow\t" + lab.HostPort() + "\ta szerveren nincs ilyen nyomtató\t-1\tnone\t",
                  "Dead\tred\t127.0.0.1:1\tunknown\t-1\t\t"}));

    const test::ProcessResult json = Cli({"status", "--config", config, "--json"});
    EXPECT_EQ(json.exitCode, 1) << json.err;
    EXPECT_EQ(RawControls(json.out), "") << json.out;
    const std::string file = dir.Write("status.json", json.out);
    EXPECT_EQ(test::RunProcess({"/usr/bin/jq", "-e", ".", file}).exitCode, 0);
    EXPECT_EQ(test::RunProcess({"/usr/bin/python3", "-m", "json.tool", "--json-lines", file}).exitCode, 0);
    const test::ProcessResult read = test::RunProcess(
        {"/usr/bin/python3", "-c",
         "import json,sys\n"
         "for line in open(sys.argv[1]):\n"
         "  r = json.loads(line)\n"
         "  print(r['printer'], r['state'], r['accepting'], r['jobs'], ascii(r['message']), sep='|')\n",
         file});
    EXPECT_EQ(Lines(read.out), (std::vector<std::string>{"Idle|idle|True|2|''",
                                                         "Paused|stopped|True|0|'\\x1b[2J jam\\u202eexe.pdf \\x9b1m \\ufffd'",
                                                         "Missing|None|None|None|None", "Dead|None|None|None|None"}))
        << read.err;

    // What lpstat reads from the same server.
    for (const auto& [row, queue] : {std::pair{0, idle}, std::pair{1, paused}}) {
        const std::string p = test::RunProcess({"/usr/bin/lpstat", "-h", lab.HostPort(), "-p", queue}).out;
        const std::string a = test::RunProcess({"/usr/bin/lpstat", "-h", lab.HostPort(), "-a", queue}).out;
        const std::string o = test::RunProcess({"/usr/bin/lpstat", "-h", lab.HostPort(), "-o", queue}).out;
        const std::string seen = std::string(p.find(" disabled ") != std::string::npos ? "stopped" : "idle") + "|" +
                                 (a.find("not accepting") == std::string::npos ? "True" : "False") + "|" +
                                 std::to_string(std::count(o.begin(), o.end(), '\n'));
        EXPECT_EQ(Lines(read.out)[row].substr(0, Lines(read.out)[row].rfind('|')), (row == 0 ? "Idle|" : "Paused|") + seen)
            << p << a << o;
    }
}

// The other commands' --json as a script reads it: each output parses with both readers, the job
// list arrives whole, and no password of the file or of the command line shows anywhere.
TEST(CliJson, EveryOutputParsesAndNoPasswordShows)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = lab.AddUniquePrinter("cli-json");
    lab.HoldJobs(printer, 3, {.title = "Q\"1\\ \u202e"});
    TempDir dir("monitor-cli");
    std::string file = PrintersFile({{"Office", lab.HostPort(), CupsLab::PrinterPath(printer), ""}}, "proxypass=proxy-secret\n");
    file.insert(file.find("<endprinter>"), "user=anna\npass=entry-secret\n");
    const std::string config = dir.Write("printers.qdl", file);
    const std::string other = dir.Write("other.qdl", "");

    const std::vector<std::pair<std::vector<std::string>, std::string>> runs{
        {{"refresh", "--config", config, "--json"}, ".jobs | length == 3 and .[0].name == \"Q\\\"1\\\\ \\u202e\""},
        {{"config", "--config", config, "--json"}, ".printers[0].password and .proxy.password"},
        {{"add", lab.HostPort() + CupsLab::PrinterPath(printer), "--config", other, "--dry-run", "--json", "--user", "anna",
          "--pass", "cli-secret"},
         ".result == \"to add\" and .password"},
    };
    for (const auto& [args, check] : runs) {
        const test::ProcessResult r = Cli(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out.find("secret"), std::string::npos) << r.out;
        EXPECT_EQ(RawControls(r.out), "") << r.out;
        const std::string json = dir.Write(args[0] + ".json", r.out);
        EXPECT_EQ(test::RunProcess({"/usr/bin/jq", "-e", check, json}).out, "true\n") << args[0] << ": " << r.out;
        EXPECT_EQ(test::RunProcess({"/usr/bin/python3", "-m", "json.tool", "--json-lines", json}).exitCode, 0) << r.out;
    }
}

// One look at many servers asks at most four at once: a server that holds its answer keeps the
// others waiting no more than a slot. Each scripted server holds its answer until five are open
// or two seconds pass, so asking them all at once would show as five open together.
TEST(CliStatus, AsksAtMostFourServersAtOnce)
{
    std::mutex mutex;
    std::condition_variable changed;
    int open = 0, most = 0;
    std::vector<std::unique_ptr<ScriptedPeer>> servers;
    // The answer carries the request's id, as the watch checks.
    const auto holdThenAnswer = [&](std::size_t index, test::Link& c) {
        c.ReadRequest();
        const std::string request = servers[index]->Received(0);
        std::string answer = test::PrinterAnswer(3, true);
        answer.replace(4, 4, request.substr(request.find("\r\n\r\n") + 8, 4));
        std::unique_lock<std::mutex> lock(mutex);
        most = std::max(most, ++open);
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(2), [&] { return open >= 5; });
        --open;
        lock.unlock();
        c.Write(HttpOk(answer));
    };
    std::vector<PrinterBlock> entries;
    for (std::size_t i = 0; i < 6; ++i) {
        servers.push_back(std::make_unique<ScriptedPeer>([&, i](test::Link& c) { holdThenAnswer(i, c); }));
        entries.push_back({"P" + std::to_string(i), "127.0.0.1:" + servers.back()->PortText(), "/printers/p", ""});
    }
    TempDir dir("monitor-cli");
    const test::ProcessResult r = Cli({"status", "--config", dir.Write("printers.qdl", PrintersFile(entries))});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Lines(r.out).size(), 6u) << r.out;
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_LE(most, 4);
}

// A printer jammed while it prints, as its backend tells the scheduler: the watch's reasons column
// and lamp show the jam, and the supplies list the levels as they are (with or without "watch").
TEST(CliWatch, ShowsTheJamAndListsTheSupplies)
{
    QUENLO_REQUIRE_CUPS_LAB(lab);
    const std::string printer = "cli-says-" + std::to_string(::getpid());
    lab.Script("add-printer", {printer, "--device", "lab-says:/"});
    const std::string go = lab.Dir() + "/go-" + printer, doc = lab.Dir() + "/doc-" + printer;
    std::ofstream(doc) << "ATTR: marker-names=Black\\ Toner,Waste marker-colors=#000000,none "
                          "marker-types=toner,waste-toner marker-levels=-2,20 marker-low-levels=10,0 "
                          "marker-high-levels=100,90\nSTATE: +media-jam-error\nwait "
                       << go << "\n";
    ::chmod(doc.c_str(), 0644);
    lab.Script("print", {printer, doc});
    TempDir dir("monitor-cli");
    const std::string config =
        dir.Write("printers.qdl", PrintersFile({{"Says", lab.HostPort(), CupsLab::PrinterPath(printer), ""}}));

    // Each run's one line is its first look; the job may take a moment to start.
    std::string line;
    for (int i = 0; i < 30 && line.find("media-jam-error") == std::string::npos; ++i) {
        const test::ProcessResult r = Cli({"watch", "--config", config, "--count", "1", "--seconds", "1"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        line = r.out;
    }
    EXPECT_EQ(line.substr(21), "Says\tyellow\tSays - processing, accepting jobs\t1\tmedia-jam-error\n");

    const test::ProcessResult supplies = Cli({"supplies", "--config", config, "--printer", "Says"});
    EXPECT_EQ(supplies.exitCode, 0) << supplies.err;
    EXPECT_EQ(supplies.out, "Says\tBlack Toner\t#000000\ttoner\tunknown\t10\t100\n"
                            "Says\tWaste\t\twaste-toner\t20\t0\t90\n");
    std::ofstream(go).put('\n');

    const test::ProcessResult missing = Cli({"supplies", "--config", config, "--printer", "Nope"});
    EXPECT_EQ(missing.exitCode, 1);
    const std::string deadConfig = dir.Write("dead.qdl", PrintersFile({{"Dead", "127.0.0.1:1", "/printers/x", ""}}));
    const test::ProcessResult dead = Cli({"supplies", "--config", deadConfig});
    EXPECT_EQ(dead.exitCode, 1);
    EXPECT_NE(dead.err.find("Dead does not answer"), std::string::npos) << dead.err;
}

}  // namespace
}  // namespace quenlo
