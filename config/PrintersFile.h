// The printers file "printers.qdl": where it is found and how it is read.
//
// The file is 8-bit text, one "key=value" per line (a line ends at LF or CR LF). Keys are compared
// in lower case (ASCII letters only) and exactly, without trimming; the value is everything after
// the first "=", also untrimmed. Block lines "<global>"/"<endglobal>" mark the settings of every
// printer; only "encryption" reads differently between them. "<printer>" creates an entry with the
// defaults below and "<endprinter>" appends it to the printer list and starts its gateway when its
// localport is 0 or more. Unknown keys, comments and empty lines are ignored, and no line can make
// reading fail.
//
//     <global>
//     proxy=proxy.example.com
//     proxyport=3128
//     <endglobal>
//     <printer>
//     name=Office
//     remotehost=print.example.com:631
//     url=/printers/Office
//     localport=-1
//     <endprinter>
//
// The file is read once at start-up and never written.
#pragma once

#include "platform/Process.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace quenlo {

// The file's name, looked for in each candidate directory in turn.
inline constexpr const char* kPrintersFileName = "printers.qdl";

// One configured printer; the fields in this order, with the defaults of a fresh "<printer>" line.
struct TAList {
    std::string name = "printer";
    std::string localhost = "127.0.0.1";
    std::int32_t localport = 9100;
    std::string remotehost = "127.0.0.1";  // host, or host:port: the printer URL has no other port
    std::int32_t remoteport = 631;
    std::string url = "/printers/printer";  // stays so when only the name is set
    std::string user;                       // HTTP credentials and IPP requesting user
    std::string pass;
    std::string comment;
    // "direct=1": the entry is an IPP printer of its own (url its IPP resource, "/ipp/print" say),
    // not a queue of a CUPS server: the refresh probes the server's root page "/" instead of the
    // URL, and the pause and resume commands try no CUPS web fallback. Off by default.
    bool direct = false;
    // "encryption": when requests to the server are encrypted, in the words of THttpEncryption
    // (IfRequested, Required, Never; any case). Empty in the file: the value between "<global>"
    // and "<endglobal>", which the reader copies into every entry that has none.
    std::string encryption;
    std::string StatusText;                 // set after reading (start-up), not by the file
    std::int32_t GatewayState = 0;          // -1 when the gateway could not be started
    platform::ProcessHandle GatewayProcess; // the started gateway, if any
};

// The configured printers in the order of their "<endprinter>" lines. Entries keep their address
// while more are appended (a deque), so a pointer to an entry stays good for the program's life.
using PrinterList = std::deque<TAList>;

// The proxy settings of the file, handed to the HTTP client; the values are those it holds before
// the file is read, and the file's texts as they stand (the port is kept as text).
struct ProxySettings {
    std::string Proxy;
    std::string ProxyPort = "80";
    std::string ProxyUsername;
    std::string ProxyPassword;
    // The "watch" key, which like the proxy keys takes effect wherever it stands: the seconds
    // between two looks of the background watch at every printer (NumberOfValue of the text).
    // 0 or less, the default, leaves the watch off.
    std::int32_t Watch = 0;
    // The "requesttimeout" key, also taking effect wherever it stands: the seconds one HTTP request
    // may take as a whole, however steadily its answer trickles in (NumberOfValue of the text).
    // 0 or less, the default, leaves the client's own bound (ten minutes).
    std::int32_t RequestTimeout = 0;
    // The "watchdevice" key, read the same way: above 0, the watch also asks the printer behind a
    // CUPS queue (its ipp:// device-uri) and shows when the two disagree. Off by default: it
    // contacts a host the file does not list.
    std::int32_t WatchDevice = 0;
    // The "admin" key, read the same way: above 0, the administrator's window (every printer at a
    // glance, lamps in the selector). Off by default: without it the window is the classic one.
    std::int32_t Admin = 0;
    // "encryption" between "<global>" and "<endglobal>": the default of every entry.
    std::string Encryption;
};

// "proxy:proxyport", the server a kept proxy password is filed under; empty without a proxy.
inline std::string ProxyServer(const ProxySettings& proxy)
{
    return proxy.Proxy.empty() ? std::string() : proxy.Proxy + ":" + proxy.ProxyPort;
}

// Called at each "<endprinter>" line that appends an entry whose localport is 0 or more, with the
// entry just appended (already in the list) and the directory prefix the file was read from. The
// next line is read only after it returns.
using GatewayStarter = std::function<void(TAList& entry, const std::string& configDir)>;

// ---------------------------------------------------------------------------------------------
// Locating the file

// What locating looks at; FromProcess() fills it from this process's settings and environment.
struct PrintersFileSearch {
    // The ConfDir setting: nullopt when the settings file cannot be read at all; an empty string
    // when it can but holds no text ConfDir value. Used unchanged as a prefix: "/srv/conf" makes
    // "/srv/confprinters.qdl", so a directory needs its trailing "/".
    std::optional<std::string> confDir;
    // The per-user application folder, "$XDG_CONFIG_HOME" (else "$HOME/.config"; %APPDATA% on
    // Windows), without the "/Dorvane/Quenlo/" part; empty when neither variable gives one.
    std::string appData;
    // The user's home, "$HOME" (%USERPROFILE% on Windows); empty when unset.
    std::string userProfile;

    static PrintersFileSearch FromProcess();
};

// True when `path` names an existing regular file (a relative path against the current directory).
bool PrintersFileExists(const std::string& path);

// Finds the directory of "printers.qdl" and returns it as a prefix (ConfigDir): empty for the
// current directory, otherwise ending in "/" unless the ConfDir setting gave it otherwise. Tries,
// in order: the ConfDir setting (empty when absent, so the current directory), appData +
// "/Dorvane/Quenlo/", userProfile + "/", and the current directory (with backslashes on Windows).
// nullopt when none has the file.
// `exists` decides what counts as the file being there (tests replace it).
std::optional<std::string> LocatePrintersFile(
    const PrintersFileSearch& search,
    const std::function<bool(const std::string& path)>& exists = PrintersFileExists);

// The same, for this process.
std::optional<std::string> LocatePrintersFile();

// ---------------------------------------------------------------------------------------------
// Reading the file

// The number of a localport or remoteport value. Never fails: after leading spaces, either a hex
// prefix ("$", "x", "X", "0x", "0X") and hex digits, or an optional sign and decimal digits. When
// the digits run to the end of the value the result is the number with its sign; otherwise (any
// other character, or nothing at all) it is the unsigned number of the digits before the first
// wrong character, without the sign: "9100 " gives 9100, "abc" and "" give 0, "-1" gives -1, "-1x"
// gives 1. A digit that would take the number past 32 bits counts as a wrong character; eight hex
// digits fill the 32 bits, so "$FFFFFFFF" is -1.
std::int32_t NumberOfValue(const std::string& value);
// The same rule, also telling where the conversion stopped: errorPos is the 1-based index of the
// first character that stopped it (the length + 1 when no digit came at all), or 0 when the whole
// text converted.
std::int32_t NumberOfValue(std::string_view value, int& errorPos);

// Reads the file line by line. Reading keeps a "current entry": the one the most recent
// "<printer>" line created. Printer keys set fields of the current entry, also after its
// "<endprinter>" line (the entry is then already in the list). Proxy keys set `proxy` wherever
// they stand, and so do "watch", "watchdevice", "requesttimeout" and "admin". A key given twice keeps the
// last value.
//
// Two cases that would otherwise go wrong are settled as follows: printer keys and "<endprinter>"
// before the first "<printer>" line are ignored (there is no entry to act on), and a second
// "<endprinter>" without a new "<printer>" appends nothing and starts no second gateway.
class PrintersFileReader {
public:
    // `printers`, `proxy` and `startGateway` (may be empty) must outlive the reader. Entries are
    // appended to `printers`; whatever it held before stays in front.
    PrintersFileReader(PrinterList& printers, ProxySettings& proxy, std::string configDir,
                       GatewayStarter startGateway = {});

    // One line, without its line end (a trailing CR is tolerated and removed).
    void ReadLine(std::string line);
    // Every line of `in` to its end. A UTF-8 byte order mark at the very start is skipped; a file
    // that starts with a UTF-16 byte order mark is read as the same text in UTF-8 would be.
    void ReadAll(std::istream& in);

private:
    void ReadLines(std::istream& in);
    void SetPrinterField(const std::string& key, const std::string& value);
    void EndPrinter();
    void ApplyGlobalDefaults();

    PrinterList& printers_;
    ProxySettings& proxy_;
    std::string configDir_;
    GatewayStarter startGateway_;
    std::optional<TAList> open_;   // created by "<printer>", not yet appended
    TAList* current_ = nullptr;    // the current entry: &*open_, or an appended entry, or none
    bool inGlobal_ = false;        // between "<global>" and "<endglobal>"
    std::size_t firstEntry_ = 0;   // the first entry this reader appended
};

// How the file's text is stored, as its first bytes say: 8-bit text (UTF-8, with or without its
// mark, or Windows-1250), or UTF-16 with its byte order mark (Notepad's "Unicode").
enum class FileEncoding { EightBit, Utf16LE, Utf16BE };
FileEncoding EncodingOfFile(std::string_view start);

// UTF-16 code units (without the byte order mark) as UTF-8. An unpaired surrogate becomes U+FFFD
// and an odd last byte is dropped, so any bytes give valid UTF-8.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// Opens configDir + "printers.qdl" and reads it all (see PrintersFileReader). False, with nothing
// changed, when the file cannot be opened.
bool ReadPrintersFile(const std::string& configDir, PrinterList& printers, ProxySettings& proxy,
                      const GatewayStarter& startGateway = {});

// Reads the file at `path` (any name); `configDir` is what the gateway starter is told. False when
// it cannot be opened.
bool ReadPrintersFileAt(const std::string& path, const std::string& configDir, PrinterList& printers,
                        ProxySettings& proxy, const GatewayStarter& startGateway = {});

}  // namespace quenlo
