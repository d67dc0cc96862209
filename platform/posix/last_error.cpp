// The last-error value on POSIX: one per thread, like the Win32 one, and errno translated into
// Win32 codes so messages and decisions above this layer read the same on both platforms.
#include "platform/last_error.h"

#include <cerrno>

#include "base/error_codes.h"

namespace qv {

namespace {

thread_local uint32_t LastError = ERR_SUCCESS;

// The errno values that only sockets produce, or that a socket caller must see as Winsock
// codes. Returns ERR_SUCCESS when the errno is not a socket error.
uint32_t SocketOnlyError(int error) {
    switch (error) {
        case EINPROGRESS: return ERR_WSAEINPROGRESS;
        case EALREADY: return ERR_WSAEALREADY;
        case ENOTSOCK: return ERR_WSAENOTSOCK;
        case EDESTADDRREQ: return ERR_WSAEDESTADDRREQ;
        case EMSGSIZE: return ERR_WSAEMSGSIZE;
        case EPROTOTYPE: return ERR_WSAEPROTOTYPE;
        case ENOPROTOOPT: return ERR_WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return ERR_WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return ERR_WSAESOCKTNOSUPPORT;
        case EAFNOSUPPORT: return ERR_WSAEAFNOSUPPORT;
        case EADDRINUSE: return ERR_WSAEADDRINUSE;
        case EADDRNOTAVAIL: return ERR_WSAEADDRNOTAVAIL;
        case ENETDOWN: return ERR_WSAENETDOWN;
        case ENETUNREACH: return ERR_WSAENETUNREACH;
        case ENETRESET: return ERR_WSAENETRESET;
        case ECONNABORTED: return ERR_WSAECONNABORTED;
        case ECONNRESET: return ERR_WSAECONNRESET;
        case ENOBUFS: return ERR_WSAENOBUFS;
        case EISCONN: return ERR_WSAEISCONN;
        case ENOTCONN: return ERR_WSAENOTCONN;
        case ESHUTDOWN: return ERR_WSAESHUTDOWN;
        case ECONNREFUSED: return ERR_WSAECONNREFUSED;
        case EHOSTDOWN: return ERR_WSAEHOSTDOWN;
        case EHOSTUNREACH: return ERR_WSAEHOSTUNREACH;
        default: return ERR_SUCCESS;
    }
}

}  // namespace

uint32_t GetLastErrorCode() { return LastError; }

void SetLastErrorCode(uint32_t code) { LastError = code; }

uint32_t ErrorFromErrno(int error) {
    switch (error) {
        case 0: return ERR_SUCCESS;
        case ENOENT:
        case ENXIO:
        case ENODEV: return ERR_FILE_NOT_FOUND;
        case ENOTDIR: return ERR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE: return ERR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR: return ERR_ACCESS_DENIED;  // opening a directory as a file is "access denied" on Windows
        case EBADF: return ERR_INVALID_HANDLE;
        case ENOMEM: return ERR_NOT_ENOUGH_MEMORY;
        case EILSEQ: return ERR_INVALID_DATA;
        case ETXTBSY: return ERR_SHARING_VIOLATION;
        case EOPNOTSUPP: return ERR_NOT_SUPPORTED;  // ENOTSUP is the same value on Linux
        case EEXIST: return ERR_FILE_EXISTS;
        case EINVAL:
        case EFAULT:
        case EOVERFLOW:
        case ESPIPE: return ERR_INVALID_PARAMETER;
        case EPIPE: return ERR_BROKEN_PIPE;
        case ENOSPC:
        case EDQUOT: return ERR_DISK_FULL;
        case ENOSYS: return ERR_CALL_NOT_IMPLEMENTED;
        case ENOTTY: return ERR_INVALID_FUNCTION;
        case ERANGE: return ERR_INSUFFICIENT_BUFFER;  // the *_r calls say "buffer too small" this way
        case ENAMETOOLONG: return ERR_FILENAME_EXCED_RANGE;
        case ENOTEMPTY: return ERR_DIR_NOT_EMPTY;
        case EBUSY:
        case EAGAIN: return ERR_BUSY;  // EWOULDBLOCK is the same value on Linux
        case EINTR: return ERR_OPERATION_ABORTED;
        case ECANCELED: return ERR_CANCELLED;
        case ESRCH: return ERR_NOT_FOUND;
        case EIO: return ERR_IO_DEVICE;
        case ETIMEDOUT: return ERR_TIMEOUT;
        default: break;
    }
    // A socket-only errno reaching a file or system call still names its cause better as a
    // Winsock code than as an internal error.
    const uint32_t socketError = SocketOnlyError(error);
    return socketError != ERR_SUCCESS ? socketError : ERR_INTERNAL_ERROR;
}

uint32_t SocketErrorFromErrno(int error) {
    switch (error) {
        case EINTR: return ERR_WSAEINTR;
        case EBADF: return ERR_WSAEBADF;
        case EACCES: return ERR_WSAEACCES;
        case EFAULT: return ERR_WSAEFAULT;
        case EINVAL: return ERR_WSAEINVAL;
        case EMFILE: return ERR_WSAEMFILE;
        case EAGAIN: return ERR_WSAEWOULDBLOCK;  // EWOULDBLOCK is the same value on Linux
        case EOPNOTSUPP: return ERR_WSAEOPNOTSUPP;
        case EPIPE: return ERR_WSAESHUTDOWN;
        case ETIMEDOUT: return ERR_WSAETIMEDOUT;
        default: break;
    }
    const uint32_t socketError = SocketOnlyError(error);
    return socketError != ERR_SUCCESS ? socketError : ErrorFromErrno(error);
}

}  // namespace qv
