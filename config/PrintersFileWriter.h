// Appending printer entries to a printers file ("quenlo-cli add").
//
// The reader takes the file as whatever an editor left there: 8-bit text in UTF-8 or code page 1250,
// or UTF-16 with its byte order mark, lines ending in LF or CR LF. Appending keeps all of that: every
// byte already in the file stays as it is, and the new lines are written in the file's own encoding,
// byte order and line ends. A new file, or one that holds only ASCII, gets UTF-8.
//
// New entries come from a server, so their texts are made safe for the file first: a control
// character inside a name or comment would end the line and let the server write keys of its own.
#pragma once

#include "config/PrintersFile.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenlo {

// The encoding a file's text is written in, as far as appending to it must know.
enum class FileCharset { Utf8, Cp1250, Utf16LE, Utf16BE };

// How the existing bytes of a printers file are laid out.
struct FileLayout {
    FileCharset charset = FileCharset::Utf8;
    std::string lineEnd;          // of the file's first line; the system's own for a one-line file
    bool endsInLineEnd = true;    // false when the last line has no line end yet
};

// The system's own line end for a new file: CR LF on Windows, LF elsewhere.
const char* NativeLineEnd();

// Reads the layout from the file's bytes (empty for a new file), its 8-bit charset as
// CharsetOf8BitText judges it.
FileLayout LayoutOfFile(std::string_view bytes);

// How 8-bit text is encoded: UTF-8 when it is well-formed UTF-8, and also when it holds at least
// as many well-formed multi-byte UTF-8 sequences as bytes that start none (a UTF-8 file that
// another program left a stray byte in stays UTF-8); code page 1250 otherwise.
FileCharset CharsetOf8BitText(std::string_view bytes);

// `text` with every byte that starts no well-formed UTF-8 sequence replaced by U+FFFD, so that a
// server's text never brings a stray byte into a UTF-8 file.
std::string WellFormedUtf8(std::string_view text);

// A UTF-8 text in code page 1250; nullopt when the code page lacks one of its characters (or the
// text is not UTF-8).
std::optional<std::string> Utf8ToCp1250(std::string_view utf8);
// UTF-8 as UTF-16 code units in the given byte order, without a byte order mark. Bytes that are
// not UTF-8 become U+FFFD.
std::string Utf8ToUtf16(std::string_view utf8, bool bigEndian);

// A UTF-8 text as the printers file reader will hand it back for a file of `charset`: code page
// 1250 for such a file, UTF-8 for every other. nullopt when the code page cannot hold it.
std::optional<std::string> TextAsRead(std::string_view utf8, FileCharset charset);

// A value to be written after "key=": every control byte (below 0x20, and DEL) becomes a space, so
// it stays on its line.
std::string OneLineValue(std::string_view text);

// The "<global>" block that starts a file made new: the administrator's window and a watch every
// 30 seconds. Lines end in `lineEnd`.
std::string NewFileGlobalLines(const std::string& lineEnd);

// One printer entry to append; texts in UTF-8.
struct NewPrinterEntry {
    std::string name;
    std::string remotehost;   // HOST:PORT
    std::string url;          // "/printers/NAME", "/classes/NAME" or a path given; ASCII
    std::string comment;
    std::string user;
    std::string pass;
    std::string encryption;   // the "encryption" key's word; none when empty
};

// The lines of one entry ("<printer>" to "<endprinter>", localport=-1 so that no gateway starts),
// each followed by `lineEnd`, in UTF-8. user and pass only when not empty.
std::string EntryLines(const NewPrinterEntry& entry, const std::string& lineEnd);

// The bytes to add at the end of a file laid out as `layout`, for `utf8Lines` (UTF-8 text whose
// lines end in layout.lineEnd): a line end first when the last line has none, and everything in
// the file's encoding. A code page 1250 file gets "?" for a character the code page lacks (the
// caller checks names beforehand with TextAsRead).
std::string BytesToAppend(const FileLayout& layout, std::string_view utf8Lines);

// Where a printers file goes when there is none anywhere: the per-user folder of the search order
// (appData + "/Dorvane/Quenlo/printers.qdl"); empty when the environment names no such folder.
std::string UserPrintersFilePath(const PrintersFileSearch& search);

}  // namespace quenlo
