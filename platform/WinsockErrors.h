// Every Windows Sockets error number the socket layer knows, in one list: the name the code uses,
// the number, the text the user reads (WSocketErrorText, byte for byte; tests and saved texts rely
// on them) and, in parentheses, the errno values that mean it on Linux (empty where none does).
// Made into the named constants (platform/Winsock.h), the texts (net/WSocketBinding.cpp) and the
// errno map (platform/posix/Winsock.cpp). Numbers are never renumbered.
//
// Each user defines X(name, number, text, errnos) for its own columns; QUENLO_ERRNO_LIST errnos
// opens the parentheses of the last one. Comments in the list must be /* */: a // comment would
// swallow the rows after it.
#pragma once

#define QUENLO_ERRNO_LIST(...) __VA_ARGS__

#define QUENLO_WINSOCK_ERRORS(X)                                                                     \
    X(WSAEINTR, 10004, "Interrupted system call", (EINTR))                                          \
    X(WSAEBADF, 10009, "Bad file number", (EBADF))                                                  \
    X(WSAEACCES, 10013, "Permission denied", (EPERM, EACCES))                                       \
    X(WSAEFAULT, 10014, "Bad address", (EFAULT))                                                    \
    X(WSAEINVAL, 10022, "Invalid argument", (EINVAL))                                               \
    X(WSAEMFILE, 10024, "Too many open files", (ENFILE, EMFILE))                                    \
    X(WSAEWOULDBLOCK, 10035, "Operation would block", (EAGAIN /* also EWOULDBLOCK */, EINPROGRESS)) \
    X(WSAEINPROGRESS, 10036, "Operation now in progress", ())                                       \
    X(WSAEALREADY, 10037, "Operation already in progress", (EALREADY))                              \
    X(WSAENOTSOCK, 10038, "Socket operation on non-socket", (ENOTSOCK))                             \
    X(WSAEDESTADDRREQ, 10039, "Destination address required", (EDESTADDRREQ))                       \
    X(WSAEMSGSIZE, 10040, "Message too long", (EMSGSIZE))                                           \
    X(WSAEPROTOTYPE, 10041, "Protocol wrong type for socket", (EPROTOTYPE))                         \
    X(WSAENOPROTOOPT, 10042, "Protocol not available", (ENOPROTOOPT))                               \
    X(WSAEPROTONOSUPPORT, 10043, "Protocol not supported", (EPROTONOSUPPORT))                       \
    X(WSAESOCKTNOSUPPORT, 10044, "Socket type not supported", (ESOCKTNOSUPPORT))                    \
    X(WSAEOPNOTSUPP, 10045, "Operation not supported on socket", (EOPNOTSUPP /* also ENOTSUP */))   \
    X(WSAEPFNOSUPPORT, 10046, "Protocol family not supported", (EPFNOSUPPORT))                      \
    X(WSAEAFNOSUPPORT, 10047, "Address family not supported by protocol family", (EAFNOSUPPORT))    \
    X(WSAEADDRINUSE, 10048, "Address already in use", (EADDRINUSE))                                 \
    X(WSAEADDRNOTAVAIL, 10049, "Address not available", (EADDRNOTAVAIL))                            \
    X(WSAENETDOWN, 10050, "Network is down", (ENETDOWN))                                            \
    X(WSAENETUNREACH, 10051, "Network is unreachable", (ENETUNREACH))                               \
    X(WSAENETRESET, 10052, "Network dropped connection on reset", (ENETRESET))                      \
    X(WSAECONNABORTED, 10053, "Connection aborted", (ECONNABORTED, EPROTO))                         \
    X(WSAECONNRESET, 10054, "Connection reset by peer", (ECONNRESET))                               \
    X(WSAENOBUFS, 10055, "No buffer space available", (ENOMEM, ENOBUFS))                            \
    X(WSAEISCONN, 10056, "Socket is already connected", (EISCONN))                                  \
    X(WSAENOTCONN, 10057, "Socket is not connected", (ENOTCONN))                                    \
    /* EPIPE: sending on a socket whose sending side is shut */                                     \
    X(WSAESHUTDOWN, 10058, "Can't send after socket shutdown", (EPIPE, ESHUTDOWN))                  \
    X(WSAETOOMANYREFS, 10059, "Too many references: can't splice", (ETOOMANYREFS))                  \
    X(WSAETIMEDOUT, 10060, "Connection timed out", (ETIMEDOUT))                                     \
    X(WSAECONNREFUSED, 10061, "Connection refused", (ECONNREFUSED))                                 \
    X(WSAELOOP, 10062, "Too many levels of symbolic links", (ELOOP))                                \
    X(WSAENAMETOOLONG, 10063, "File name too long", (ENAMETOOLONG))                                 \
    X(WSAEHOSTDOWN, 10064, "Host is down", (EHOSTDOWN))                                             \
    X(WSAEHOSTUNREACH, 10065, "No route to host", (EHOSTUNREACH))                                   \
    X(WSAENOTEMPTY, 10066, "Directory not empty", (ENOTEMPTY))                                      \
    X(WSAEPROCLIM, 10067, "Too many processes", ())                                                 \
    X(WSAEUSERS, 10068, "Too many users", (EUSERS))                                                 \
    X(WSAEDQUOT, 10069, "Disc quota exceeded", (EDQUOT))                                            \
    X(WSAESTALE, 10070, "Stale NFS file handle", (ESTALE))                                          \
    X(WSAEREMOTE, 10071, "Too many levels of remote in path", (EREMOTE))                            \
    X(WSASYSNOTREADY, 10091, "Network sub-system is unusable", ())                                  \
    X(WSAVERNOTSUPPORTED, 10092, "WinSock DLL cannot support this application", ())                 \
    X(WSANOTINITIALISED, 10093, "WinSock not initialized", ())                                      \
    X(WSAHOST_NOT_FOUND, 11001, "Host not found", ())                                               \
    X(WSATRY_AGAIN, 11002, "Non-authoritative host not found", ())                                  \
    X(WSANO_RECOVERY, 11003, "Non-recoverable error", ())                                           \
    X(WSANO_DATA, 11004, "No Data", ())
