// quenlo-cli's manual: the text of --help, of COMMAND --help and of the manual page quenlo-cli(1),
// which the build makes with --man. Each command's usage line comes from its registration, what it
// does and how it ends from the table below.
#include "cli/Command.h"

namespace quenlo::cli {

namespace {

struct CommandText {
    const char* name;
    const char* summary;
    const char* exits;  // when 0 and 1 mean more than "done" and "failed"
};

constexpr CommandText kCommandTexts[] = {
    {"add",
     "Adds a server's print queues to the printers file. Without PATH the server is asked for all its "
     "queues, printers and classes; with PATH (/printers/NAME) only that queue is checked. Each queue "
     "becomes an entry named as on the server, with the queue's description as comment, the "
     "credentials given, and encryption=Required when the server is another machine. The file is the one --config names, else the one the window finds, else a new "
     "one in the per-user folder, which starts with the administrator's window and a watch every 30 "
     "seconds (admin=1, watch=30); an old file keeps its encoding, line ends, permissions and every byte already "
     "in it, and is made readable by its owner only when it holds a password. The new file is written "
     "beside the old one and put in its place whole, and only then are the queues reported added; runs "
     "at the same time take turns. A queue listed already is not added again; bytes of a name that "
     "are not UTF-8 become U+FFFD. --dry-run prints the entries instead of writing them. With --json, one "
     "object per queue: result (\"added\", \"listed already\" or \"to add\"), name, remotehost, url, "
     "comment, user, password (true when one is given), encryption. With --user and without --pass the "
     "password is asked for (without echo on a terminal, else one line of standard input; empty is none) "
     "and kept in the credential store as login keeps it, never in the file; --pass writes it into the "
     "file and warns that it stays in the shell's history too.",
     "the server could not be reached, refused to list its queues or lists none, or the file could not "
     "be written; nothing was written then. Also when the asked password could not be kept (the file is "
     "written). A queue listed already is no failure."},
    {"login",
     "Keeps USER's password for the server HOST:PORT (631 when no port is given) in the credential "
     "store: the desktop's keyring (Secret Service: GNOME Keyring, KWallet), on Windows the Credential "
     "Manager. An entry of the printers file with user and no pass then takes its password from there "
     "(a remotehost without a port is port 80). The password is asked for without echo, or read as one "
     "line of standard input with --password-stdin or when standard input is no terminal, and checked "
     "with GET /admin/ (401: wrong; 200 or 403: right); a server that asks for no password there cannot "
     "check it, which is said. --list prints HOST:PORT and USER of every kept password, never a "
     "password.",
     "no credential store (the text says what is missing), a wrong password, or the server could not "
     "be reached; nothing is stored then."},
    {"logout", "Removes USER's password for HOST:PORT from the credential store.",
     "no credential store, or no password was kept for them."},
    {"config",
     "Prints the printers file the monitor reads (or the one --config names): its path, one "
     "tab-separated line per printer entry, and the proxy settings. Warns on standard error when the "
     "file holds a password and others may read it, and names each value that could never be sent "
     "(exit code 3). With --json, one object: path, printers (name, localhost, localport, remotehost, "
     "remoteport, url, user, password, comment, direct, encryption), proxy (host, port, user, "
     "password), requesttimeout, watch; a password only as true or false. --move-passwords moves every "
     "pass and proxypass of the file into the credential store (as login keeps them) and takes their "
     "lines out; the file is written beside itself and renamed over it, every other byte, its encoding, "
     "line ends and permissions kept, and a line goes only once the store holds its password. An entry "
     "that starts a gateway keeps its pass, with a warning: the gateway reads the file itself.",
     "no printers file found, or it cannot be read; with --move-passwords, no credential store (the "
     "file is not changed)."},
    {"refresh",
     "Refreshes the printer as the window does (NAME, or the first of the file) and prints the "
     "window's lines: status, printer, comment and one job line per job, tab-separated. With --json "
     "(here and in the job and printer commands below), one object per refresh: status and printer (lamp, text), "
     "comment, jobs (id, printer, user, name, size, state, reason, created), and a message box as "
     "{\"message\": {level, text}}. --completed lists the finished jobs instead (completed, aborted "
     "and canceled, newest first, as far as the server keeps them): the state column tells the outcome, "
     "and two columns follow, the completion time and the pages printed (in JSON: completed, pages).",
     "a message box would have come, or the refresh ended early."},
    {"cancel-job", "Cancels the job JOBID of the printer, then refreshes as refresh does.",
     "the server refused (the message is printed), or the refresh ended early."},
    {"hold-job", "Holds the job JOBID, then refreshes.", "as for cancel-job."},
    {"release-job", "Releases the held job JOBID, then refreshes.", "as for cancel-job."},
    {"pause-printer", "Pauses the printer (with the web interface's fallback), then refreshes.", "as for cancel-job."},
    {"resume-printer", "Resumes the printer, then refreshes.", "as for cancel-job."},
    {"purge-jobs", "Cancels every job of the printer, then refreshes.", "as for cancel-job."},
    {"move-job",
     "Moves the job JOBID to the queue DEST of the same server (CUPS-Move-Job), then refreshes. DEST is "
     "a queue name as the server lists it; the server's own list is asked first, and a name that is "
     "not in it is refused before anything is moved.",
     "the server refused (the message is printed, with why: no right, a finished job), DEST is no "
     "queue of the server or the server does not list its queues, or the refresh ended early."},
    {"move-jobs", "Moves every job of the printer to the queue DEST of the same server, then refreshes.",
     "as for move-job."},
    {"restart-job",
     "Prints the finished (completed, aborted or canceled) job JOBID again, when the server kept its "
     "files (Restart-Job), then refreshes.",
     "as for cancel-job; the message says when the job has not finished or its files were not kept."},
    {"set-job-priority",
     "Sets the priority of the job JOBID, 1 to 100 (100: print it first), then refreshes.",
     "as for cancel-job."},
    {"reject-jobs",
     "Makes the printer refuse new jobs (CUPS-Reject-Jobs), with --reason TEXT as its state message, "
     "then refreshes; the jobs it holds stay.",
     "as for cancel-job."},
    {"accept-jobs", "Makes the printer take new jobs again (CUPS-Accept-Jobs), then refreshes.", "as for cancel-job."},
    {"job",
     "Prints the details of the job JOBID, waiting or finished (Get-Job-Attributes): one tab-separated "
     "line each of id, name, user, host, state, reasons, pages (printed), copies, priority, format, "
     "size, created, processing, completed (times as the job list shows them, empty when not reached) "
     "and printer-state-message (the printer's message at the time). With --json one object, "
     "{\"job\": {...}}, the same keys (size_k, printer_state_message), times in seconds since 1970 "
     "UTC, reasons a list, null for what the server did not tell.",
     "the server refused (the message is printed) or the refresh that chooses the printer ended early."},
    {"watch",
     "Watches every printer of the file and prints one tab-separated line per change: the UTC time, "
     "the printer's name, its lamp, the printer line and the number of jobs. Ends after N changes, or "
     "on Ctrl-C. A last column lists the printer's state reasons. With --json, one object per change: "
     "time, then the keys status --json prints but server and supplies.",
     "the printers file cannot be read."},
    {"supplies",
     "Asks every printer of the file (or NAME) for its supplies and prints one tab-separated line per "
     "supply: printer, name, colour, type, level, low and high level (\"unknown\" and \"-\" when the "
     "printer has none). With --json, one object per supply: printer, name, colour, type, level, low, "
     "high (numbers in percent, null when unknown).",
     "the printers file cannot be read, the printer is not in it, or a printer does not answer."},
    {"status",
     "Asks every printer of the file (or NAME) once, one request per server where it lists its "
     "queues, and prints one tab-separated line per printer: name, lamp (green, yellow, red), server "
     "(host:port), the printer line, jobs not completed (-1 when not known), state reasons "
     "(comma-separated, \"none\" for none, empty when the printer could not be asked) and supplies "
     "as NAME=LEVEL% pairs joined by \", \" (LEVEL ? when unknown). With --json, one object per "
     "printer: printer, lamp, server, line, answered (true when the server showed the printer), "
     "state, accepting, message, jobs, reasons (a list), alerts (a list of objects with level "
     "\"error\" or \"warning\", reason and text) and supplies (objects as supplies --json prints, "
     "without the printer); what the printer did not tell is null.",
     "a server did not answer, a queue is missing on its server, the file cannot be read or NAME is "
     "not in it; every row is printed all the same."},
    {"exporter",
     "Watches every printer of the file as watch does and serves what the watch knows over HTTP on "
     "ADDR:PORT (default 127.0.0.1:10631; [ADDR]:PORT for IPv6, port 0 for one the system picks): "
     "GET /metrics in the Prometheus text format 0.0.4, or OpenMetrics 1.0 when the scraper's Accept "
     "asks for it, without any request to a printer's server; GET / a page linking it; "
     "GET /probe?target=URL one look at the queue of URL (ipp://, ipps://, http:// or "
     "https://HOST[:PORT]/printers/NAME, percent-encoded; the file need not list it) answered with its "
     "per-printer and per-supply families, probe_success and probe_duration_seconds, within the "
     "scraper's X-Prometheus-Scrape-Timeout-Seconds less 0.5 s (10 s when not given, 60 s at most): "
     "a target that does not answer gives probe_success 0. A probe sends no printer user or password (a URL with "
     "them is refused), only the file's proxy settings and global encryption, and leaves the watch "
     "as it is; 400 for a bad target, 503 while 8 probes are under way; 404 for "
     "anything else. Families, all prefixed quenlo_: exporter_up, exporter_scrape_duration_seconds; "
     "per server: server_up, server_subscribed, and for one that speaks TLS "
     "server_certificate_expiry_timestamp_seconds and server_certificate_kept (1: the certificate kept "
     "at first use); per printer (labels printer, server): printer_up, "
     "printer_state (a stateset: idle, processing, stopped), printer_accepting_jobs, printer_reason "
     "(labels reason, severity: report, warning or error), printer_jobs (not completed), "
     "printer_jobs_by_state (label state: pending, pending-held, processing, processing-stopped), "
     "printer_oldest_pending_job_age_seconds, "
     "printer_last_look_timestamp_seconds, printer_last_change_timestamp_seconds, printer_info (uri, "
     "comment, make_and_model, location), printer_supplies_unknown_level; per supply (labels supply, colour, type): "
     "supply_level_ratio (left out while unknown), supply_low_level_ratio, supply_high_level_ratio. "
     "A printer's queue is read (one Get-Jobs of three attributes a job) only after a look that "
     "found jobs on it and a change or an event of the printer; never for a scrape. "
     "A request head longer than 8 KiB, or not sent within 10 s, is refused; at most 48 connections "
     "are held. The first line on standard output says where it listens. Ends on SIGINT or SIGTERM.",
     "the printers file cannot be read or ADDR:PORT cannot be listened on."},
    {"check",
     "One look at every printer of the file (or NAME), as a monitoring plug-in: the first line "
     "\"QUENLO STATE - summary | perfdata\", one line per printer after it, the exit code the worst "
     "printer's state (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; CRITICAL before WARNING before UNKNOWN "
     "before OK). Stopped, rejecting jobs, missing on its server or an error reason: CRITICAL; a "
     "warning reason: WARNING (--ignore-reason KEYWORD, repeatable, counts a reason for nothing); "
     "refused (401, a certificate not kept): UNKNOWN; a server that does not answer: the --offline "
     "state (default critical). -w and -c take threshold ranges (\"20:\" alerts below 20) for every "
     "supply's level in percent, for a waste container's room left (100 minus the level); without "
     "them a supply the printer calls low or full is a WARNING. Perfdata: 'PRINTER SUPPLY'=N%;W;C;0;100, "
     "'PRINTER jobs'=N and 'PRINTER oldest pending job'=Ns (0 while none waits). The whole check ends "
     "within -t seconds (default 10). Bad arguments or an unreadable printers file: UNKNOWN; check's "
     "exit codes are those of a plug-in, above.",
     ""},
    {"get", "One HTTP GET of URL; the body to standard output, the status line to standard error.",
     "a status of 400 or more, or a network failure."},
    {"post", "One HTTP POST of standard input to URL, as get.", "as for get."},
    {"trust",
     "Connects to the server over TLS (port 631 when none is given), prints the SHA-256 fingerprint of "
     "its certificate and keeps it as the trusted one, replacing one kept before. --list prints every "
     "kept server and fingerprint (with --json one object each: server, fingerprint), --forget removes "
     "the server's. A certificate the system's trust "
     "store accepts for the host name needs no keeping. --strict, given to any command, refuses a "
     "certificate that is neither kept nor vouched for by the system instead of keeping it.",
     "the server could not be reached over TLS, the fingerprint could not be kept, or --forget "
     "named a server that is not kept."},
    {"request", "Writes the IPP request body the monitor sends for OP to standard output.",
     "the output could not be written, or the URI or user name is longer than 65535 bytes."},
    {"walk-jobs", "Reads a Get-Jobs answer from standard input and prints the job rows as the window lists them.",
     "the output could not be written."},
    {"walk-printer",
     "Reads a Get-Printer-Attributes answer from standard input and prints the lamp and the printer line.",
     "as for walk-jobs."},
};

const CommandText* TextOf(const std::string& name)
{
    for (const CommandText& t : kCommandTexts)
        if (name == t.name)
            return &t;
    return nullptr;
}

}  // namespace

platform::ManualPage CliManual()
{
    platform::ManualPage page;
    page.program = "quenlo-cli";
    page.summary = "monitor and remote control for IPP printers, from a terminal";
    page.synopsis = {"COMMAND [ARGS]", "COMMAND --help", "--help", "--version"};
    page.description =
        "quenlo-cli runs the monitor of quenlo(1) from a terminal and from scripts: it adds a "
        "server's printers to the printers file, refreshes a printer, cancels, holds, releases, moves, "
        "restarts and reprioritises jobs, shows a job's details and the finished jobs, pauses, resumes "
        "and purges printers, stops and starts their taking of jobs, and watches them all.\n\n"
        "Texts that come from a server or a file are written as they are, except that a backslash, every "
        "control character (as \\t, \\r, \\n or \\xHH), every byte that is not UTF-8 (as \\xHH), the "
        "C1 controls and the bidirectional overrides and isolates (as \\uHHHH) are escaped, so a line "
        "holds exactly its tab-separated "
        "fields and nothing in it can act on the terminal. get and post write the body unchanged.\n\n"
        "--json writes one JSON object per line instead, in UTF-8: numbers as numbers, values not "
        "known as null, a byte that is not UTF-8 as U+FFFD, and the control characters, the C1 "
        "controls and the bidirectional overrides and isolates as \\uXXXX, so the output parses "
        "with any JSON reader and still cannot act on a terminal. No output holds a password.";

    platform::ManualPage::Section commands{"COMMANDS", "", {}};
    for (const auto& [name, command] : Commands()) {
        const CommandText* text = TextOf(name);
        commands.items.push_back({name + " " + command.usage, text ? text->summary : ""});
    }
    page.sections.push_back(std::move(commands));

    platform::ManualPage::Section files{
        "FILES",
        "The printers file printers.qdl, looked for in this order: the folder the ConfDir setting names, "
        "$XDG_CONFIG_HOME/Dorvane/Quenlo/ (else ~/.config/Dorvane/Quenlo/), the home folder, and the "
        "current folder. On Windows: the registry value ConfDir under "
        "HKEY_CURRENT_USER\\Software\\Dorvane\\Quenlo, %APPDATA%\\Dorvane\\Quenlo\\, %USERPROFILE%\\ and "
        "the current folder. --config FILE names another (config also takes the older name, --file).",
        {}};
    page.sections.push_back(std::move(files));

    platform::ManualPage::Section exits{
        "EXIT STATUS", "",
        {{"0", "The command was carried out."},
         {"1", "It failed; the reason is on standard error. For each command, 1 means:"}}};
    for (const CommandText& t : kCommandTexts)
        if (*t.exits != '\0')
            exits.items.push_back({std::string("1 (") + t.name + ")", t.exits});
    exits.items.push_back({"2", "A bad argument: the command's usage goes to standard error."});
    page.sections.push_back(std::move(exits));
    page.sections.push_back({"SEE ALSO", "quenlo(1), printers.qdl(5)", {}});
    return page;
}

std::string CommandHelp(const Command& command)
{
    const CommandText* text = TextOf(command.name);
    platform::ManualPage page;
    page.program = "quenlo-cli";
    page.synopsis = {command.name + " " + command.usage};
    page.description = text ? text->summary : "";
    if (text && *text->exits != '\0')
        page.sections.push_back({"EXIT STATUS",
                                 std::string("0 done; 1 failed: ") + text->exits + " 2 a bad argument.", {}});
    return platform::HelpText(page);
}

}  // namespace quenlo::cli
