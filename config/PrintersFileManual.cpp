#include "config/PrintersFileManual.h"

namespace quenlo {

platform::ManualPage PrintersFileManual()
{
    platform::ManualPage page;
    page.program = "printers.qdl";
    page.section = 5;
    page.summary = "the printers Quenlo watches";
    page.description =
        "printers.qdl lists the printers that quenlo(1) shows and watches and that quenlo-cli(1) works "
        "on, with the server each is on, its credentials, how its connection is encrypted and the proxy "
        "every request goes through. The program reads it once when it starts and never writes it; "
        "quenlo-cli add SERVER adds a server's queues to it (and creates it when there is none), "
        "quenlo-cli config shows what was read.";

    page.sections.push_back(
        {"FORMAT",
         "One line is one key=value (a line ends at LF or CR LF). The key is compared in any letter case "
         "(ASCII letters only); neither the key nor the value is trimmed, so \"name =Office\" is not the "
         "name key, and \"name= Office\" names a printer \" Office\". The value is everything after the "
         "first \"=\" (\"url=/printers/a=b\" is the url /printers/a=b). Lines the reader does not know, "
         "empty lines and comments of any form are skipped; no line makes reading fail. A key given twice "
         "keeps its last value.\n\n"
         "Numbers are decimal with an optional sign, or hexadecimal after $, x or 0x. A value that does "
         "not end in digits counts only the digits before the first other character, without the sign: "
         "\"-1\" is -1, \"-1x\" is 1, \"abc\" and an empty value are 0.\n\n"
         "The file is UTF-8 (with or without its byte order mark), code page 1250, or UTF-16 with its "
         "byte order mark (Notepad's \"Unicode\"); the window shows names and comments in the encoding "
         "the file is in.",
         {}});

    page.sections.push_back(
        {"BLOCKS", "",
         {{"<printer>",
           "Starts a printer entry with the defaults listed below; the printer keys after it set that entry, "
           "also after its <endprinter> line, until the next <printer>. Printer keys before the first "
           "<printer> are ignored."},
          {"<endprinter>",
           "Adds the entry to the list, in file order (the order of the printer selector). A second "
           "<endprinter> without a new <printer> adds nothing. A file without one lists no printer."},
          {"<global>, <endglobal>",
           "Mark the settings that concern every printer. Only encryption depends on them (between them it "
           "is every entry's default); the other global keys take effect wherever they stand."}}});

    page.sections.push_back(
        {"PRINTER KEYS", "",
         {{"name=NAME",
           "The name in the printer selector, the tray and quenlo-cli --printer. Default \"printer\". Two "
           "entries of the same name both show, but only the first can be watched or controlled."},
          {"remotehost=HOST[:PORT]",
           "The server (or, with direct, the printer). Every request goes to http://HOST:PORT followed by "
           "the url, so a port other than 80 is given here: remotehost=print.example.com:631. An IPv6 "
           "address goes in brackets: remotehost=[fd77::1]:631. Default 127.0.0.1 (port 80)."},
          {"url=PATH",
           "The queue's path on the server: /printers/NAME, or /classes/NAME for a class; with direct, the "
           "printer's IPP resource, such as /ipp/print. Default /printers/printer, whatever the name is, so "
           "give it for every entry."},
          {"user=USER", "The user name sent to the server, and the requesting user of every IPP request. Default none."},
          {"pass=PASSWORD",
           "The user's password, as it stands. quenlo-cli config warns when others may read a file that "
           "holds one (and its tab-separated lines show it; config --json does not); quenlo-cli add makes "
           "such a file readable by its owner only. Default none."},
          {"comment=TEXT", "Shown under the printer selector. Default none."},
          {"encryption=IfRequested|Required|Never",
           "When requests to this printer's server go over TLS (any letter case). IfRequested: with a user "
           "on another machine, TLS on the server's own port, plain only to a server that answers the "
           "handshake in plain HTTP and was never seen speaking TLS; otherwise plain, and a 426 answer "
           "switches that server to TLS for the rest of the run. Required: TLS from the first byte, never "
           "plain. Never: plain HTTP. Default: the value in the <global> block, else IfRequested. "
           "Example: encryption=Required."},
          {"direct=1",
           "The entry is a network printer of its own, not a CUPS queue: its root page / is asked to see "
           "whether it answers, pause and resume do not try a CUPS administration page, and the watch "
           "subscribes at the printer. Also yes or true; 0 or no line: a CUPS queue."},
          {"localport=PORT",
           "0 or more starts the gateway program beside the program (Ferrowick.exe, with the file's path and "
           "the printer's name) when the entry is read; -1 starts none. Default 9100, so an entry without "
           "the line starts one: write localport=-1 unless a gateway is wanted."},
          {"localhost=HOST", "Read for the gateway, which reads the file itself. Default 127.0.0.1."},
          {"remoteport=PORT", "Read for the gateway; requests take the port from remotehost. Default 631."}}});

    page.sections.push_back(
        {"GLOBAL KEYS",
         "These apply to every printer of the file, wherever the line stands; by custom they stand "
         "between <global> and <endglobal>.",
         {{"encryption=IfRequested|Required|Never",
           "Between <global> and <endglobal> only: the default of every entry without its own. Example: "
           "encryption=Required."},
          {"proxy=HOST", "An HTTP proxy for every request; an encrypted request goes through it in a CONNECT tunnel. Default none."},
          {"proxyport=PORT", "The proxy's port. Default 80. Example: proxyport=3128."},
          {"proxyuser=USER, proxypass=PASSWORD", "The proxy's own credentials. Default none."},
          {"watch=SECONDS",
           "Looks at every printer every SECONDS seconds in the background: the tray icon's lamp, its tip, "
           "the balloons, and the view that follows the server. 0, a negative number or no line: no watch. "
           "Example: watch=30."},
          {"watchdevice=1",
           "The watch also asks the printer behind each CUPS queue whose device is ipp://HOST (on a "
           "connection of its own, without credentials or proxy), and turns the printer yellow when the two "
           "disagree. Off by default, since it contacts a host the file does not list."},
          {"requesttimeout=SECONDS",
           "The longest a request may take however steadily its answer comes; it then fails as a timed-out "
           "connection. 0, a negative number or no line: 600. A request that makes no progress for 60 s "
           "ends anyway. Example: requesttimeout=120."},
          {"admin=1",
           "The administrator's window: every printer at a glance as the first item of the printer "
           "selector, and lamps in the selector. 0 or no line: the classic window. quenlo-cli add writes "
           "admin=1 and watch=30 in a <global> block when it creates a file."}}});

    page.sections.push_back(
        {"FILES",
         "The file is looked for in this order: the folder the ConfDir setting names "
         "(in $XDG_CONFIG_HOME/Dorvane/Quenlo.conf, used as a prefix, so it ends in /), "
         "$XDG_CONFIG_HOME/Dorvane/Quenlo/ (else ~/.config/Dorvane/Quenlo/), the home folder, and the "
         "current folder; the first that holds printers.qdl is read. On Windows: the registry value "
         "ConfDir under HKEY_CURRENT_USER\\Software\\Dorvane\\Quenlo, %APPDATA%\\Dorvane\\Quenlo\\, "
         "%USERPROFILE%\\ and the current folder. quenlo-cli --config FILE reads another.",
         {}});

    page.sections.push_back(
        {"EXAMPLE",
         "The watch, encryption for every printer and a proxy; a CUPS queue with a password, and a "
         "network printer of its own on the local network:",
         {},
         "<global>\n"
         "admin=1\n"
         "watch=30\n"
         "encryption=Required\n"
         "proxy=proxy.example.com\n"
         "proxyport=3128\n"
         "<endglobal>\n"
         "<printer>\n"
         "name=Office\n"
         "remotehost=print.example.com:631\n"
         "url=/printers/Office\n"
         "user=anna\n"
         "pass=secret\n"
         "comment=Second floor\n"
         "localport=-1\n"
         "<endprinter>\n"
         "<printer>\n"
         "name=Hallway\n"
         "remotehost=192.168.1.40:631\n"
         "url=/ipp/print\n"
         "direct=1\n"
         "encryption=IfRequested\n"
         "localport=-1\n"
         "<endprinter>"});

    page.sections.push_back({"SEE ALSO", "quenlo(1), quenlo-cli(1)", {}});
    return page;
}

}  // namespace quenlo
