// Every message quenlo-cli writes to standard error, kept together so that a change is made once.
// A message is put together from these pieces and the values between them (names, paths, the
// server's own words). Each piece is also in the user guide (docs/command-line.md), which
// tests/docs/docs_check.py holds to this file.
#pragma once

namespace quenlo::cli::texts {

// ---- Any command -------------------------------------------------------------------------------
inline constexpr const char* kProgram = "quenlo-cli: ";
inline constexpr const char* kUnknownCommand = "unknown command ";
inline constexpr const char* kUnknownOption = "unknown option ";
inline constexpr const char* kNeedsAValue = " needs a value";
inline constexpr const char* kTakesANumber = " takes a non-negative number";
inline constexpr const char* kUnexpectedArgument = "unexpected argument ";
inline constexpr const char* kNoPositional = "no positional argument is taken";
inline constexpr const char* kNeeded = " needed";
inline constexpr const char* kMustBeFrom = " must be a number, at least ";
inline constexpr const char* kAtMost = ", at most ";
inline constexpr const char* kConfigAndFile = "--config and --file name the same file: give one";
inline constexpr const char* kNeedsAPath = " needs a path";
inline constexpr const char* kCannotReadStdin = "cannot read standard input";
inline constexpr const char* kWarning = "warning: ";
inline constexpr const char* kThePassword = "the password";
inline constexpr const char* kThePasswordOf = "the password of ";
inline constexpr const char* kPasswordWentPlainWhy = " went unencrypted: the server answered in plain HTTP, not TLS";

// ---- The printers file -------------------------------------------------------------------------
inline constexpr const char* kNoPrintersFile = "no ";
inline constexpr const char* kNoPrintersFileWhere =
    " found (the ConfDir setting, config home, home and current folder tried)";
inline constexpr const char* kCannotRead = "cannot read ";
inline constexpr const char* kNoPrinterIn = "no printer in ";
inline constexpr const char* kNoPrinterNamed = "no printer named ";
inline constexpr const char* kNoPrinter = "no printer ";
inline constexpr const char* kNotInTheFile = " in the file";
inline constexpr const char* kNoHome = "no per-user configuration folder (HOME is not set)";

// ---- The refresh and the operations ------------------------------------------------------------
inline constexpr const char* kRefreshEndedEarly = "the refresh ended early (";
inline constexpr const char* kNotCarriedOut = "the command was not carried out";
inline constexpr const char* kDoesNotAnswer = " does not answer";

// ---- get and request ---------------------------------------------------------------------------
inline constexpr const char* kUrlRequired = "URL is required";
inline constexpr const char* kTimeoutTooLong = "--timeout is at most a year";
inline constexpr const char* kOpMissing = "OP is missing";
inline constexpr const char* kOneOp = "exactly one OP is taken";
inline constexpr const char* kUnknownOp = "unknown OP ";
inline constexpr const char* kUriRequired = "--uri is required";
inline constexpr const char* kNeedsJobId = " needs --job-id";
inline constexpr const char* kTakesNoJobId = " takes no --job-id";
inline constexpr const char* kJobIdTooLarge = "--job-id is at most 2147483647";
inline constexpr const char* kTakesNoUser = " takes no --user";
inline constexpr const char* kRequest = "quenlo-cli request: ";
inline constexpr const char* kCannotWriteStdout = "cannot write to standard output";

// ---- add ---------------------------------------------------------------------------------------
inline constexpr const char* kAdd = "quenlo-cli add: ";
inline constexpr const char* kNotAHost = "HOST is missing or not a host name: ";
inline constexpr const char* kNotAPort = "PORT is not a port number: ";
inline constexpr const char* kHostMissing = "HOST is missing";
inline constexpr const char* kOneHost = "exactly one HOST is taken";
inline constexpr const char* kCouldNotBeAsked = "could not be asked: ";
inline constexpr const char* kRefusedQueueList = "refused to list its queues (CUPS-Get-Printers): ";
inline constexpr const char* kNameTheQueue = "Name the queue instead: quenlo-cli add ";
inline constexpr const char* kRefusedAttributes = "refused Get-Printer-Attributes for ";
inline constexpr const char* kListsNoQueue = " lists no queue";
inline constexpr const char* kSkipped = "skipped ";
inline constexpr const char* kInCodePage1250 = " is in code page 1250, which cannot hold the name";
inline constexpr const char* kNoFolderForFile =
    "no folder for a printers file (HOME is not set); give one with --config";
inline constexpr const char* kNotChanged = " not changed";
inline constexpr const char* kDryRun = " (dry run)";
inline constexpr const char* kOnePrinterWritten = " printer written to ";
inline constexpr const char* kPrintersWritten = " printers written to ";
inline constexpr const char* kReadableByYouOnly = " (readable by you only: it holds a password)";

// ---- config ------------------------------------------------------------------------------------
inline constexpr const char* kConfig = "quenlo-cli config: ";
inline constexpr const char* kOthersMayRead =
    " holds a password and others may read it; make it yours only with: chmod 600 ";
inline constexpr const char* kPrinterQuoted = "printer \"";
inline constexpr const char* kItsKey = "\": its ";
inline constexpr const char* kTheKey = "the ";
inline constexpr const char* kKeyUnsendable = " holds a control character or space and can never be sent";
inline constexpr const char* kKeySuffix = " key";
inline constexpr const char* kSavedAsUtf16 = " is saved as UTF-16, but ";
inline constexpr const char* kGatewaysMayNotRead =
    " of its printers start a gateway, which may not read it: save it as UTF-8 or ANSI";
inline constexpr const char* kCannotWriteOutput = "cannot write the output";
inline constexpr const char* kListsNoPrinters = " lists no printers";

// ---- trust -------------------------------------------------------------------------------------
inline constexpr const char* kHostPortExpected = "HOST[:PORT] expected, not ";
inline constexpr const char* kNoCertificateOf = "no certificate of ";
inline constexpr const char* kIsKeptIn = " is kept in ";
inline constexpr const char* kListTakesNothing = "--list takes nothing else";
inline constexpr const char* kForgetTakesOne = "--forget takes one server";
inline constexpr const char* kOneHostPort = "one HOST[:PORT] is required";

// ---- watch, supplies, exporter and check -------------------------------------------------------
inline constexpr const char* kSecondsRange = "--seconds takes 1 to 86400";
inline constexpr const char* kSupplies = "quenlo-cli supplies: ";
inline constexpr const char* kExporter = "quenlo-cli exporter: ";
inline constexpr const char* kListenForm = "--listen takes ADDR:PORT (\"[ADDR]:PORT\" for IPv6)";
inline constexpr const char* kCannotListen = "cannot listen on ";
inline constexpr const char* kProbeTargetMissing =
    "give one target parameter, percent-encoded: /probe?target=ipp://HOST[:PORT]/printers/NAME\n";
inline constexpr const char* kProbeTargetForm =
    "the target is a queue's address, ipp://, ipps://, http:// or https://HOST[:PORT]/printers/NAME "
    "(or /classes/NAME), without user or password: ";
inline constexpr const char* kProbesBusy = "as many probes as the exporter runs at once are under way; try again\n";
inline constexpr const char* kNotARange = "not a range: ";
inline constexpr const char* kRangeBackwards = "not a range (start above end): ";
inline constexpr const char* kOfflineValues = "--offline takes ok, warning, critical or unknown";
inline constexpr const char* kUnexpected = "unexpected ";
inline constexpr const char* kCheckSeconds = "-t takes whole seconds, 1 to 3600";

// ---- login, logout and the passwords in the credential store --------------------------------------
inline constexpr const char* kLogin = "quenlo-cli login: ";
inline constexpr const char* kLogout = "quenlo-cli logout: ";
inline constexpr const char* kOneHostPortTaken = "exactly one HOST[:PORT] is taken";
inline constexpr const char* kUserMissing = "--user USER is missing";
inline constexpr const char* kPasswordFor = "Password for ";
inline constexpr const char* kAt = " at ";
inline constexpr const char* kNoPasswordGiven = "no password given";
inline constexpr const char* kRefusedThePasswordOf = " refused the password of ";
inline constexpr const char* kCouldNotBeReached = " could not be reached: ";
inline constexpr const char* kNothingStored = "; nothing stored";
inline constexpr const char* kNotChecked = " asks for no password on /admin/, so it could not be checked";
inline constexpr const char* kRemoved = "removed ";
inline constexpr const char* kNoPasswordKeptFor = "no password kept for ";
inline constexpr const char* kPasswordNotKept = "the password was not kept: ";
inline constexpr const char* kKeptAs = "kept as ";
inline constexpr const char* kPassOnTheCommandLine =
    "a password given with --pass stays in the shell's history and in the file; leave --pass out to be "
    "asked and keep it in the keyring instead";
inline constexpr const char* kTheProxysPassword = "the proxy's password";
inline constexpr const char* kStaysForTheGateway =
    " stays in the file: its entry starts a gateway, which reads the file itself";
inline constexpr const char* kStaysWithoutUser = " stays in the file: it has no user to be kept under";
inline constexpr const char* kStaysWithoutProxy = " stays in the file: it has no proxy to be kept under";
inline constexpr const char* kMoved = "moved ";
inline constexpr const char* kToTheStore = " to the credential store";
inline constexpr const char* kKeptInTheStoreToo = " (the passwords are kept in the store too)";
inline constexpr const char* kOneLineTakenOut = " line taken out of ";
inline constexpr const char* kLinesTakenOut = " lines taken out of ";

}  // namespace quenlo::cli::texts
