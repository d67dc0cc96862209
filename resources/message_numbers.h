// The numbers of the program's events, as resources/messages.mc gives them.
#pragma once

#include <cstdint>

namespace qv {

// The message numbers of resources/messages.mc. A number is the full event identifier: the top
// two bits are the severity (01 information, 10 warning, 11 error), the low 16 bits the event
// ID that viewers show.
constexpr uint32_t MSG_SERVICE_STARTED = 0x40000002;          // %1 version
constexpr uint32_t MSG_SERVICE_STOPPED = 0x40000003;          // %1 version, %2 reason
constexpr uint32_t MSG_GET_MODULE_PATH = 0x80000019;          // %1 error text, %2 code
constexpr uint32_t MSG_ENUM_NETWORK_EVENTS = 0x800001FA;      // %1 error text, %2 code
constexpr uint32_t MSG_READ_EVENT_ERROR = 0x800001FB;         // %1 error text, %2 code
constexpr uint32_t MSG_WRITE_EVENT_ERROR = 0x800001FC;        // %1 error text, %2 code
constexpr uint32_t MSG_RESOLVE_IDENT_SERVER = 0x800001FD;     // %1 error text, %2 code, %3 server
constexpr uint32_t MSG_SET_SOCKET_OPTION = 0x800001FE;        // %1 error text, %2 code
constexpr uint32_t MSG_SOCKET_CONNECT = 0x800001FF;           // %1 error text, %2 code
constexpr uint32_t MSG_SOCKET_SELECT = 0x80000200;            // %1 error text, %2 code
constexpr uint32_t MSG_INVALID_START_PARAMETER = 0xC0000001;  // %1 parameter
constexpr uint32_t MSG_WINSOCK_STARTUP = 0xC0000004;          // %1 error text, %2 code
constexpr uint32_t MSG_WINSOCK_VERSION = 0xC0000005;          // %1.%2 required, %3.%4 installed
constexpr uint32_t MSG_CREATE_REGISTRY_KEY = 0xC0000006;      // %1 error text, %2 code, %3 key
constexpr uint32_t MSG_OPEN_REGISTRY_KEY = 0xC0000008;        // %1 error text, %2 code, %3 key
constexpr uint32_t MSG_QUERY_REGISTRY_VALUE = 0xC0000009;     // %1 error text, %2 code, %3 value, %4 key
constexpr uint32_t MSG_SET_SERVICE_STATUS = 0xC000000B;       // %1 error text, %2 code
constexpr uint32_t MSG_START_DISPATCHER = 0xC0000015;         // %1 error text, %2 code
constexpr uint32_t MSG_CREATE_EVENT = 0xC000001F;             // %1 error text, %2 code, %3 event name
constexpr uint32_t MSG_CREATE_SOCKET = 0xC00001F4;            // %1 error text, %2 code
constexpr uint32_t MSG_SOCKET_BIND = 0xC00001F5;              // %1 error text, %2 code
constexpr uint32_t MSG_CREATE_SOCKET_EVENT = 0xC00001F6;      // %1 error text, %2 code
constexpr uint32_t MSG_SEND_DATAGRAM = 0xC00001F7;            // %1 error text, %2 code
constexpr uint32_t MSG_SOCKET_EVENT_SELECT = 0xC00001F8;      // %1 error text, %2 code
constexpr uint32_t MSG_RECEIVE_DATAGRAM = 0xC00001F9;         // %1 error text, %2 code
constexpr uint32_t MSG_OPEN_HTTP_SERVICE = 0xC00005DC;        // %1 error text, %2 code

}  // namespace qv
