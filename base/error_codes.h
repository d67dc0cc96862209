// The error vocabulary of the whole program: Win32 error codes on every platform. Messages
// and decisions are written in these numbers; the POSIX layer translates errno into them.
#pragma once

#include <cstdint>

namespace qv {

constexpr uint32_t ERR_SUCCESS = 0;
constexpr uint32_t ERR_INVALID_FUNCTION = 1;
constexpr uint32_t ERR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERR_PATH_NOT_FOUND = 3;
constexpr uint32_t ERR_TOO_MANY_OPEN_FILES = 4;
constexpr uint32_t ERR_ACCESS_DENIED = 5;
constexpr uint32_t ERR_INVALID_HANDLE = 6;
constexpr uint32_t ERR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERR_INVALID_DATA = 13;
constexpr uint32_t ERR_OUTOFMEMORY = 14;
constexpr uint32_t ERR_WRITE_FAULT = 29;
constexpr uint32_t ERR_READ_FAULT = 30;
constexpr uint32_t ERR_SHARING_VIOLATION = 32;
constexpr uint32_t ERR_HANDLE_EOF = 38;
constexpr uint32_t ERR_NOT_SUPPORTED = 50;
constexpr uint32_t ERR_FILE_EXISTS = 80;
constexpr uint32_t ERR_INVALID_PARAMETER = 87;
constexpr uint32_t ERR_BROKEN_PIPE = 109;
constexpr uint32_t ERR_OPEN_FAILED = 110;
constexpr uint32_t ERR_BUFFER_OVERFLOW = 111;
constexpr uint32_t ERR_DISK_FULL = 112;
constexpr uint32_t ERR_CALL_NOT_IMPLEMENTED = 120;
constexpr uint32_t ERR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERR_INVALID_NAME = 123;
constexpr uint32_t ERR_DIR_NOT_EMPTY = 145;
constexpr uint32_t ERR_BUSY = 170;
constexpr uint32_t ERR_ALREADY_EXISTS = 183;
constexpr uint32_t ERR_FILENAME_EXCED_RANGE = 206;
constexpr uint32_t ERR_MORE_DATA = 234;
constexpr uint32_t ERR_WAIT_TIMEOUT = 258;
constexpr uint32_t ERR_NO_MORE_ITEMS = 259;
constexpr uint32_t ERR_DIRECTORY = 267;
constexpr uint32_t ERR_STOPPED_ON_SYMLINK = 681;
constexpr uint32_t ERR_OPERATION_ABORTED = 995;
constexpr uint32_t ERR_IO_PENDING = 997;
constexpr uint32_t ERR_BADDB = 1009;
constexpr uint32_t ERR_BADKEY = 1010;
constexpr uint32_t ERR_CANTOPEN = 1011;
constexpr uint32_t ERR_CANTREAD = 1012;
constexpr uint32_t ERR_CANTWRITE = 1013;
constexpr uint32_t ERR_KEY_DELETED = 1018;
constexpr uint32_t ERR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr uint32_t ERR_SERVICE_NOT_ACTIVE = 1062;
constexpr uint32_t ERR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr uint32_t ERR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr uint32_t ERR_IO_DEVICE = 1117;
constexpr uint32_t ERR_NOT_FOUND = 1168;
constexpr uint32_t ERR_CANCELLED = 1223;
constexpr uint32_t ERR_NOT_ALL_ASSIGNED = 1300;
constexpr uint32_t ERR_NO_SUCH_PRIVILEGE = 1313;
constexpr uint32_t ERR_PRIVILEGE_NOT_HELD = 1314;
constexpr uint32_t ERR_NONE_MAPPED = 1332;
constexpr uint32_t ERR_INTERNAL_ERROR = 1359;
constexpr uint32_t ERR_TIMEOUT = 1460;
constexpr uint32_t ERR_EVENTLOG_FILE_CORRUPT = 1500;
constexpr uint32_t ERR_EVENTLOG_CANT_START = 1501;
constexpr uint32_t ERR_LOG_FILE_FULL = 1502;
constexpr uint32_t ERR_EVENTLOG_FILE_CHANGED = 1503;
// Windows Installer database codes.
constexpr uint32_t ERR_UNKNOWN_PROPERTY = 1608;
constexpr uint32_t ERR_BAD_QUERY_SYNTAX = 1615;
constexpr uint32_t ERR_INVALID_FIELD = 1616;
constexpr uint32_t ERR_FUNCTION_FAILED = 1627;
constexpr uint32_t ERR_INVALID_TABLE = 1628;
constexpr uint32_t ERR_DATATYPE_MISMATCH = 1629;
constexpr uint32_t ERR_RPC_S_SERVER_UNAVAILABLE = 1722;
constexpr uint32_t ERR_INVALID_DATATYPE = 1804;
constexpr uint32_t ERR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr uint32_t ERR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr uint32_t ERR_RESOURCE_NAME_NOT_FOUND = 1814;

// The program's own codes, for refusals Windows has no code for. Bit 29 marks a code as an
// application's own, so none of them can ever mean a system error.
constexpr uint32_t ERR_FILE_NOT_REGULAR = 0x20000001;
constexpr uint32_t ERR_FILE_HAS_LINKS = 0x20000002;
constexpr uint32_t ERR_FILE_OWNER_UNTRUSTED = 0x20000003;

constexpr uint32_t ERR_WSAEINTR = 10004;
constexpr uint32_t ERR_WSAEBADF = 10009;
constexpr uint32_t ERR_WSAEACCES = 10013;
constexpr uint32_t ERR_WSAEFAULT = 10014;
constexpr uint32_t ERR_WSAEINVAL = 10022;
constexpr uint32_t ERR_WSAEMFILE = 10024;
constexpr uint32_t ERR_WSAEWOULDBLOCK = 10035;
constexpr uint32_t ERR_WSAEINPROGRESS = 10036;
constexpr uint32_t ERR_WSAEALREADY = 10037;
constexpr uint32_t ERR_WSAENOTSOCK = 10038;
constexpr uint32_t ERR_WSAEDESTADDRREQ = 10039;
constexpr uint32_t ERR_WSAEMSGSIZE = 10040;
constexpr uint32_t ERR_WSAEPROTOTYPE = 10041;
constexpr uint32_t ERR_WSAENOPROTOOPT = 10042;
constexpr uint32_t ERR_WSAEPROTONOSUPPORT = 10043;
constexpr uint32_t ERR_WSAESOCKTNOSUPPORT = 10044;
constexpr uint32_t ERR_WSAEOPNOTSUPP = 10045;
constexpr uint32_t ERR_WSAEAFNOSUPPORT = 10047;
constexpr uint32_t ERR_WSAEADDRINUSE = 10048;
constexpr uint32_t ERR_WSAEADDRNOTAVAIL = 10049;
constexpr uint32_t ERR_WSAENETDOWN = 10050;
constexpr uint32_t ERR_WSAENETUNREACH = 10051;
constexpr uint32_t ERR_WSAENETRESET = 10052;
constexpr uint32_t ERR_WSAECONNABORTED = 10053;
constexpr uint32_t ERR_WSAECONNRESET = 10054;
constexpr uint32_t ERR_WSAENOBUFS = 10055;
constexpr uint32_t ERR_WSAEISCONN = 10056;
constexpr uint32_t ERR_WSAENOTCONN = 10057;
constexpr uint32_t ERR_WSAESHUTDOWN = 10058;
constexpr uint32_t ERR_WSAETIMEDOUT = 10060;
constexpr uint32_t ERR_WSAECONNREFUSED = 10061;
constexpr uint32_t ERR_WSAEHOSTDOWN = 10064;
constexpr uint32_t ERR_WSAEHOSTUNREACH = 10065;
constexpr uint32_t ERR_WSANOTINITIALISED = 10093;
constexpr uint32_t ERR_WSAHOST_NOT_FOUND = 11001;
constexpr uint32_t ERR_WSATRY_AGAIN = 11002;
constexpr uint32_t ERR_WSANO_RECOVERY = 11003;
constexpr uint32_t ERR_WSANO_DATA = 11004;

}  // namespace qv
