// Every text the refresh, the operations and the watch show, kept together so that a change is
// made once, and the few functions that put them together from an answer.
//
// The Hungarian texts are UTF-8 in the source; a line break inside a message box text is a
// single CR. Each text is also in the user guide (docs/), which tests/docs/docs_check.py holds to
// this file.
#pragma once

#include "ipp/IppResponse.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace quenlo::texts {

// ---- The refresh: appended to the printer's name ------------------------------------------
inline constexpr const char* kUnknownSuffix = " - unknown";
inline constexpr const char* kNoEntrySuffix = " - memóriahiba, nem találom a nyomtató adatait";
inline constexpr const char* kProbeFailedPrefix = " - kapcsolódás sikertelen (";
inline constexpr const char* kConnectedPrefix = " - kapcsolódva (";
inline constexpr const char* kNoPrintersSuffix = " - a szerveren nincs ilyen nyomtató";
inline constexpr const char* kIppFailedPrefix = " - kapcsolódva, IPP hiba (";
inline constexpr const char* kIppOkPrefix = " - kapcsolódva, IPP rendben (";
inline constexpr const char* kNotIppAnswer = "a válasz nem teljes IPP üzenet";
inline constexpr const char* kCommentPrefix = "Megjegyzés: ";
// After the status line (and in the watch's tip) of an entry whose password went in plain HTTP
// because its server answered the TLS handshake in plain HTTP.
inline constexpr const char* kPasswordWentPlain =
    " - figyelem: a jelszó titkosítatlanul ment át (a szerver nem TLS-sel válaszolt)";
// The watch, when the server's TLS certificate is not the one kept (quenlo-cli trust accepts it).
inline constexpr const char* kWatchNotTrusted = " - nem megbízható: a szerver tanúsítványa megváltozott";

// ---- The operations' boxes ----------------------------------------------------------------
inline constexpr const char* kNoJobToCancel = "Nincs kijelölve feladat, amit megszakíthatna!";
inline constexpr const char* kNoJobToHold = "Nincs kijelölve feladat, amit szüneteltethetne!";
inline constexpr const char* kNoJobToRelease = "Nincs kijelölve feladat, amit folytathatna!";
inline constexpr const char* kBadJobId = "A job IDje érvénytelen!\rKérés megszakítva!\r(Hibapozíció: ";
inline constexpr const char* kRequestFailed = "Kérés sikertelen (";
inline constexpr const char* kRefused = "A kérést a szerver elutasította!\rHibakód: 0x";
inline constexpr const char* kRefusedAndCupsFailed =
    "A kérést a szerver elutasította, és CUPS HTTP kérés sem sikerült!\rHibakódok: 0x";
inline constexpr const char* kCupsRequestIgnored =
    "A kérést a szerver elutasította, a CUPS HTTP kérést elfogadta, de nem hajtotta végre: "
    "a nyomtató állapota nem változott!\rHibakód: 0x";

// ---- The administrator's operations -------------------------------------------------------------
// A job may go only to a queue of its own server: before the move, the server's own list is asked.
inline constexpr const char* kNotAQueueOfServer = "Nem ennek a szervernek a nyomtatási sora: ";
inline constexpr const char* kNotAQueueOfServerWhy = "\rFeladat csak ugyanannak a szervernek egy másik sorába helyezhető át.";
inline constexpr const char* kQueuesRefused =
    "A szerver nem adta meg a nyomtatási sorait, így az áthelyezés nem lehetséges!\rHibakód: 0x";
inline constexpr const char* kNoOtherQueue =
    "Ez a nyomtató közvetlenül kapcsolódik, nincs másik sora, ahová a feladat áthelyezhető.";
inline constexpr const char* kBadPriority = "A prioritás 1 és 100 közötti szám lehet!\rKérés megszakítva!";
inline constexpr const char* kBadJobNumber = "A job IDje érvénytelen!\rKérés megszakítva!";
// The priority "print first" sets.
inline constexpr int kPrintFirstPriority = 100;

// ---- Why a request was refused: one short line under the box's own text -----------------------
// HTTP statuses
inline constexpr const char* kWhyHttp401WithUser =
    "A felhasználónév vagy a jelszó hibás. A jelszót a quenlo-cli login paranccsal lehet megadni.";
inline constexpr const char* kWhyHttp401NoUser =
    "A szerver felhasználónevet és jelszót kér, de ennél a nyomtatónál nincs megadva felhasználó.";
inline constexpr const char* kWhyHttp403 = "A szerver erről a gépről nem engedi ezt a kérést.";
inline constexpr const char* kWhyHttp426 = "A szerver titkosított kapcsolatot követel.";
// IPP status-codes
inline constexpr const char* kWhyForbidden = "A szerver ezt a műveletet senkinek sem engedi.";
inline constexpr const char* kWhyNotAuthenticated =
    "A művelethez bejelentkezés kell: adjon meg felhasználónevet és jelszót.";
inline constexpr const char* kWhyNotAuthorized = "A felhasználónak nincs joga ehhez a művelethez.";
inline constexpr const char* kWhyNotPossible =
    "A művelet most nem lehetséges (például csak visszatartott feladat folytatható).";
inline constexpr const char* kWhyNotFound = "A szerveren nincs ilyen feladat vagy nyomtató.";
inline constexpr const char* kWhyOperationNotSupported = "A szerver nem ismeri ezt a műveletet.";
// client-error-not-possible of an operation for which the general text above would mislead.
inline constexpr const char* kWhyMoveNotPossible =
    "Befejezett (kinyomtatott, megszakított vagy törölt) feladat nem helyezhető át.";
inline constexpr const char* kWhyRestartNotPossible =
    "Csak befejezett, megszakított vagy törölt feladat nyomtatható újra, és csak akkor, ha a szerver "
    "megőrizte a fájljait.";
inline constexpr const char* kWhyPriorityNotPossible = "Befejezett feladat prioritása már nem változtatható.";

// ---- The watch: what a printer says of itself --------------------------------------------------
// Our own words for the common printer-state-reasons keywords (without their -error, -warning or
// -report suffix); any other keyword is shown as it is.
struct ReasonName {
    std::string_view keyword;
    const char* text;
};
inline constexpr ReasonName kReasonTexts[] = {
    {"media-empty", "kifogyott a papír"},
    {"media-jam", "papírelakadás"},
    {"media-low", "kevés a papír"},
    {"media-needed", "papírt kell betenni"},
    {"toner-low", "kevés a toner"},
    {"toner-empty", "kifogyott a toner"},
    {"marker-supply-low", "fogyóban a festék"},
    {"marker-supply-empty", "kifogyott a festék"},
    {"marker-waste-almost-full", "majdnem megtelt a hulladéktartály"},
    {"marker-waste-full", "megtelt a hulladéktartály"},
    {"door-open", "nyitva van egy ajtó"},
    {"cover-open", "nyitva van a fedél"},
    {"input-tray-missing", "hiányzik egy papírtálca"},
    {"output-area-full", "megtelt a kiadótálca"},
    {"offline", "a nyomtató nem kapcsolódik"},
    {"shutdown", "a nyomtató ki van kapcsolva"},
    {"spool-area-full", "megtelt a nyomtatási sor tárhelye"},
    {"other", "egyéb hiba"},
};
// A supply: "NAME: 5%" and one of these, or "NAME: " + kSupplyUnknown.
inline constexpr const char* kSupplyLow = " (kevés)";
inline constexpr const char* kSupplyFull = " (tele)";
inline constexpr const char* kSupplyUnknown = "ismeretlen";
// The printer behind a CUPS queue ("watchdevice"): kDeviceCups + the queue's state and accepting
// texts + kDeviceSays + what the printer says, or why it is not asked.
inline constexpr const char* kDeviceCups = "CUPS: ";
inline constexpr const char* kDeviceSays = " / the printer: ";
inline constexpr const char* kDeviceUnreachable = "unreachable";
inline constexpr const char* kDeviceStopped = "stopped";
inline constexpr const char* kDeviceNotAsked = "the printer behind the queue is not asked (";
inline constexpr const char* kDeviceOnServer = "the printer behind the queue is on the server's machine: not asked";

// ---- The password the server asks for (the administrator's window) ----------------------------
// The dialog: its title, the server and user lines (each followed by its value), the field, the
// remembering, and the line it shows instead when the store cannot keep a password (followed by
// the store's own words).
inline constexpr const char* kPasswordTitle = "Jelszó szükséges";
inline constexpr const char* kPasswordServer = "Szerver: ";
inline constexpr const char* kPasswordUser = "Felhasználó: ";
inline constexpr const char* kPasswordField = "Jelszó:";
inline constexpr const char* kPasswordRemember = "Jelszó megjegyzése";
inline constexpr const char* kPasswordNotRemembered =
    "A jelszót nem lehet megjegyezni, csak a program futása alatt marad meg: ";
inline constexpr const char* kPasswordOk = "OK";
inline constexpr const char* kPasswordCancel = "Mégse";
// The watch's printer line (and tip) while the server refuses its requests for want of a password.
inline constexpr const char* kNeedsPasswordSuffix = " - jelszó szükséges (nyissa meg a nyomtatót)";

// ---- The watch in the tray --------------------------------------------------------------------
// A balloon's title is the printer's name followed by one of these, its body the printer's state
// message (or its printer line).
inline constexpr const char* kTurnedRed = " nem érhető el";
inline constexpr const char* kTurnedYellow = " leállt vagy nem fogad feladatot";
inline constexpr const char* kTurnedGreen = " újra működik";
// A balloon of errors: the printer's name, this, the errors; of warnings: the same with kWarned.
inline constexpr const char* kReports = ": ";
inline constexpr const char* kWarned = " figyelmeztet";
// The action of a desktop notification that shows its printer in the window (resuming it is the
// printer menu's own item).
inline constexpr const char* kOpenNoticed = "Megnyitás";
// Between a printer's line in the tray's tip and its first alert (an en dash), and between alerts.
inline constexpr const char* kTipAlertsFollow = " \xe2\x80\x93 ";
inline constexpr const char* kTipAlertsBetween = "; ";
// The printer lamp's hint: one line per level that has alerts.
inline constexpr const char* kHintErrors = "Hiba: ";
inline constexpr const char* kHintWarnings = "Figyelmeztetés: ";

// The explanation of an HTTP status that refused a request (`hasUser`: the entry names a user),
// or nullptr when there is none for it.
const char* WhyHttpRefused(int httpStatus, bool hasUser);
// The explanation of a refusing IPP status-code of `operation` (an IPP operation code; 0 for any),
// or nullptr when there is none for it.
const char* WhyIppRefused(std::uint16_t statusCode, int operation = 0);

// What follows the printer's name when an IPP request got an answer that does not show the
// printer: " - kapcsolódva, IPP hiba (0x0403)" and " - " + the server's status-message when it
// sent one; for a 200 body that is not a complete IPP answer " - kapcsolódva, IPP hiba (200) - " +
// kNotIppAnswer; for any other HTTP status " - kapcsolódva, IPP hiba (" + status + ")". The
// missing queue (client-error-not-found) is the caller's to tell apart.
std::string IppFailureSuffix(const IppAnswerStatus& answer, int httpStatus);

// True for the answer of a server that does not have the printer at all.
inline bool SaysNoSuchPrinter(const IppAnswerStatus& answer)
{
    return answer.complete && answer.statusCode == kIppStatusNotFound;
}

// The lines a refused operation's box adds under its own text, each beginning with a CR: the
// server's status-message when it sent one, then the explanation of the status-code.
std::string RefusalDetails(const IppAnswerStatus& answer, int operation = 0);
// The line a failed request's box adds for its HTTP status ("\r" + explanation), or nothing.
std::string HttpRefusalDetails(int httpStatus, bool hasUser);

}  // namespace quenlo::texts
