// The one place that includes <windows.h>. Every Win32 source of the platform layer includes
// this header instead, so the build settings (Unicode calls, no min/max macros, nothing older
// than Windows 7) hold even for a file compiled outside the project's build, and the macros
// of <windows.h> that collide with the program's own names are removed in one place.
#pragma once

#if !defined(_WIN32)
#error "platform/win32/win32.h is for Windows builds only"
#endif

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif

#include <windows.h>

// wingdi.h's coordinate-mode constants clash with TIME_VALUE::ABSOLUTE; nothing here draws.
#undef ABSOLUTE
#undef RELATIVE
// winbase.h maps ReportEvent to ReportEventA/W, which would rename EVENT_REPORTER::ReportEvent
// in any file that sees both; the Win32 code calls ReportEventW by its own name.
#undef ReportEvent

#include "base/error_codes.h"
#include "base/types.h"
#include "platform/wait.h"

namespace qv {

// Core text is char16_t; Win32's wide text is wchar_t, which is the same 16-bit UTF-16 unit
// on Windows. These casts are the only crossing between the two.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be a UTF-16 unit on Windows");

inline const wchar_t* AsWide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* AsWide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const char16_t* AsUtf16(const wchar_t* text) { return reinterpret_cast<const char16_t*>(text); }
inline char16_t* AsUtf16(wchar_t* text) { return reinterpret_cast<char16_t*>(text); }

inline HANDLE AsHandle(NATIVE_HANDLE handle) { return static_cast<HANDLE>(handle); }

// The portable error vocabulary is the Win32 one; these checks keep the two lists equal.
static_assert(ERR_SUCCESS == ERROR_SUCCESS);
static_assert(ERR_INVALID_FUNCTION == ERROR_INVALID_FUNCTION);
static_assert(ERR_FILE_NOT_FOUND == ERROR_FILE_NOT_FOUND);
static_assert(ERR_PATH_NOT_FOUND == ERROR_PATH_NOT_FOUND);
static_assert(ERR_TOO_MANY_OPEN_FILES == ERROR_TOO_MANY_OPEN_FILES);
static_assert(ERR_ACCESS_DENIED == ERROR_ACCESS_DENIED);
static_assert(ERR_INVALID_HANDLE == ERROR_INVALID_HANDLE);
static_assert(ERR_NOT_ENOUGH_MEMORY == ERROR_NOT_ENOUGH_MEMORY);
static_assert(ERR_INVALID_DATA == ERROR_INVALID_DATA);
static_assert(ERR_OUTOFMEMORY == ERROR_OUTOFMEMORY);
static_assert(ERR_WRITE_FAULT == ERROR_WRITE_FAULT);
static_assert(ERR_READ_FAULT == ERROR_READ_FAULT);
static_assert(ERR_SHARING_VIOLATION == ERROR_SHARING_VIOLATION);
static_assert(ERR_HANDLE_EOF == ERROR_HANDLE_EOF);
static_assert(ERR_NOT_SUPPORTED == ERROR_NOT_SUPPORTED);
static_assert(ERR_FILE_EXISTS == ERROR_FILE_EXISTS);
static_assert(ERR_INVALID_PARAMETER == ERROR_INVALID_PARAMETER);
static_assert(ERR_BROKEN_PIPE == ERROR_BROKEN_PIPE);
static_assert(ERR_OPEN_FAILED == ERROR_OPEN_FAILED);
static_assert(ERR_DISK_FULL == ERROR_DISK_FULL);
static_assert(ERR_CALL_NOT_IMPLEMENTED == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(ERR_BUFFER_OVERFLOW == ERROR_BUFFER_OVERFLOW);
static_assert(ERR_INSUFFICIENT_BUFFER == ERROR_INSUFFICIENT_BUFFER);
static_assert(ERR_INVALID_NAME == ERROR_INVALID_NAME);
static_assert(ERR_DIR_NOT_EMPTY == ERROR_DIR_NOT_EMPTY);
static_assert(ERR_BUSY == ERROR_BUSY);
static_assert(ERR_ALREADY_EXISTS == ERROR_ALREADY_EXISTS);
static_assert(ERR_FILENAME_EXCED_RANGE == ERROR_FILENAME_EXCED_RANGE);
static_assert(ERR_MORE_DATA == ERROR_MORE_DATA);
static_assert(ERR_WAIT_TIMEOUT == WAIT_TIMEOUT);
static_assert(ERR_NO_MORE_ITEMS == ERROR_NO_MORE_ITEMS);
static_assert(ERR_DIRECTORY == ERROR_DIRECTORY);
static_assert(ERR_OPERATION_ABORTED == ERROR_OPERATION_ABORTED);
static_assert(ERR_IO_PENDING == ERROR_IO_PENDING);
static_assert(ERR_BADDB == ERROR_BADDB);
static_assert(ERR_BADKEY == ERROR_BADKEY);
static_assert(ERR_CANTOPEN == ERROR_CANTOPEN);
static_assert(ERR_CANTREAD == ERROR_CANTREAD);
static_assert(ERR_CANTWRITE == ERROR_CANTWRITE);
static_assert(ERR_KEY_DELETED == ERROR_KEY_DELETED);
static_assert(ERR_SERVICE_DOES_NOT_EXIST == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(ERR_SERVICE_NOT_ACTIVE == ERROR_SERVICE_NOT_ACTIVE);
static_assert(ERR_FAILED_SERVICE_CONTROLLER_CONNECT == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
static_assert(ERR_SERVICE_SPECIFIC_ERROR == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(ERR_IO_DEVICE == ERROR_IO_DEVICE);
static_assert(ERR_NOT_FOUND == ERROR_NOT_FOUND);
static_assert(ERR_CANCELLED == ERROR_CANCELLED);
static_assert(ERR_NOT_ALL_ASSIGNED == ERROR_NOT_ALL_ASSIGNED);
static_assert(ERR_NO_SUCH_PRIVILEGE == ERROR_NO_SUCH_PRIVILEGE);
static_assert(ERR_PRIVILEGE_NOT_HELD == ERROR_PRIVILEGE_NOT_HELD);
static_assert(ERR_NONE_MAPPED == ERROR_NONE_MAPPED);
static_assert(ERR_INTERNAL_ERROR == ERROR_INTERNAL_ERROR);
static_assert(ERR_TIMEOUT == ERROR_TIMEOUT);
static_assert(ERR_EVENTLOG_FILE_CORRUPT == ERROR_EVENTLOG_FILE_CORRUPT);
static_assert(ERR_EVENTLOG_CANT_START == ERROR_EVENTLOG_CANT_START);
static_assert(ERR_LOG_FILE_FULL == ERROR_LOG_FILE_FULL);
static_assert(ERR_EVENTLOG_FILE_CHANGED == ERROR_EVENTLOG_FILE_CHANGED);
static_assert(ERR_UNKNOWN_PROPERTY == ERROR_UNKNOWN_PROPERTY);
static_assert(ERR_BAD_QUERY_SYNTAX == ERROR_BAD_QUERY_SYNTAX);
static_assert(ERR_INVALID_FIELD == ERROR_INVALID_FIELD);
static_assert(ERR_FUNCTION_FAILED == ERROR_FUNCTION_FAILED);
static_assert(ERR_INVALID_TABLE == ERROR_INVALID_TABLE);
static_assert(ERR_DATATYPE_MISMATCH == ERROR_DATATYPE_MISMATCH);
static_assert(ERR_RPC_S_SERVER_UNAVAILABLE == RPC_S_SERVER_UNAVAILABLE);
static_assert(ERR_INVALID_DATATYPE == ERROR_INVALID_DATATYPE);
static_assert(ERR_RESOURCE_DATA_NOT_FOUND == ERROR_RESOURCE_DATA_NOT_FOUND);
static_assert(ERR_RESOURCE_TYPE_NOT_FOUND == ERROR_RESOURCE_TYPE_NOT_FOUND);
static_assert(ERR_RESOURCE_NAME_NOT_FOUND == ERROR_RESOURCE_NAME_NOT_FOUND);

static_assert(ERR_WSAEINTR == WSAEINTR);
static_assert(ERR_WSAEBADF == WSAEBADF);
static_assert(ERR_WSAEACCES == WSAEACCES);
static_assert(ERR_WSAEFAULT == WSAEFAULT);
static_assert(ERR_WSAEINVAL == WSAEINVAL);
static_assert(ERR_WSAEMFILE == WSAEMFILE);
static_assert(ERR_WSAEWOULDBLOCK == WSAEWOULDBLOCK);
static_assert(ERR_WSAEINPROGRESS == WSAEINPROGRESS);
static_assert(ERR_WSAEALREADY == WSAEALREADY);
static_assert(ERR_WSAENOTSOCK == WSAENOTSOCK);
static_assert(ERR_WSAEDESTADDRREQ == WSAEDESTADDRREQ);
static_assert(ERR_WSAEMSGSIZE == WSAEMSGSIZE);
static_assert(ERR_WSAEPROTOTYPE == WSAEPROTOTYPE);
static_assert(ERR_WSAENOPROTOOPT == WSAENOPROTOOPT);
static_assert(ERR_WSAEPROTONOSUPPORT == WSAEPROTONOSUPPORT);
static_assert(ERR_WSAESOCKTNOSUPPORT == WSAESOCKTNOSUPPORT);
static_assert(ERR_WSAEOPNOTSUPP == WSAEOPNOTSUPP);
static_assert(ERR_WSAEAFNOSUPPORT == WSAEAFNOSUPPORT);
static_assert(ERR_WSAEADDRINUSE == WSAEADDRINUSE);
static_assert(ERR_WSAEADDRNOTAVAIL == WSAEADDRNOTAVAIL);
static_assert(ERR_WSAENETDOWN == WSAENETDOWN);
static_assert(ERR_WSAENETUNREACH == WSAENETUNREACH);
static_assert(ERR_WSAENETRESET == WSAENETRESET);
static_assert(ERR_WSAECONNABORTED == WSAECONNABORTED);
static_assert(ERR_WSAECONNRESET == WSAECONNRESET);
static_assert(ERR_WSAENOBUFS == WSAENOBUFS);
static_assert(ERR_WSAEISCONN == WSAEISCONN);
static_assert(ERR_WSAENOTCONN == WSAENOTCONN);
static_assert(ERR_WSAESHUTDOWN == WSAESHUTDOWN);
static_assert(ERR_WSAETIMEDOUT == WSAETIMEDOUT);
static_assert(ERR_WSAECONNREFUSED == WSAECONNREFUSED);
static_assert(ERR_WSAEHOSTDOWN == WSAEHOSTDOWN);
static_assert(ERR_WSAEHOSTUNREACH == WSAEHOSTUNREACH);
static_assert(ERR_WSANOTINITIALISED == WSANOTINITIALISED);
static_assert(ERR_WSAHOST_NOT_FOUND == WSAHOST_NOT_FOUND);
static_assert(ERR_WSATRY_AGAIN == WSATRY_AGAIN);
static_assert(ERR_WSANO_RECOVERY == WSANO_RECOVERY);
static_assert(ERR_WSANO_DATA == WSANO_DATA);

// The wait vocabulary is Win32's too.
static_assert(WAIT_TIMED_OUT == WAIT_TIMEOUT);
static_assert(WAIT_FAILED_RESULT == WAIT_FAILED);
static_assert(WAIT_INFINITE == INFINITE);
static_assert(MAXIMUM_WAIT_OBJECTS_COUNT == MAXIMUM_WAIT_OBJECTS);
static_assert(WAIT_OBJECT_0 == 0);

}  // namespace qv
