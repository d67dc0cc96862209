// System texts on POSIX. The program speaks Win32 error codes everywhere, so the texts are
// the Windows system's own English texts for the codes this program can produce (kept as
// Windows stores them, with the final ".\r\n"); the string table is compiled in.
#include <clocale>
#include <cwctype>
#include <locale.h>

#include <string>

#include "base/string.h"
#include "base/utf.h"
#include "platform/system_text.h"
#include "resources/string_table.h"

namespace qv {

namespace {

struct ERROR_TEXT {
    uint32_t Code;
    const char16_t* Text;
};

constexpr ERROR_TEXT SYSTEM_ERROR_TEXTS[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {29, u"The system cannot write to the specified device.\r\n"},
    {30, u"The system cannot read from the specified device.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {50, u"The request is not supported.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {109, u"The pipe has been ended.\r\n"},
    {110, u"The system cannot open the device or file specified.\r\n"},
    {111, u"The file name is too long.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {120, u"This function is not supported on this system.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {170, u"The requested resource is in use.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {234, u"More data is available.\r\n"},
    {258, u"The wait operation timed out.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {681, u"The create operation stopped after reaching a symbolic link.\r\n"},
    {995, u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {997, u"Overlapped I/O operation is in progress.\r\n"},
    {1009, u"The configuration registry database is corrupt.\r\n"},
    {1010, u"The configuration registry key is invalid.\r\n"},
    {1011, u"The configuration registry key could not be opened.\r\n"},
    {1012, u"The configuration registry key could not be read.\r\n"},
    {1013, u"The configuration registry key could not be written.\r\n"},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1060, u"The specified service does not exist as an installed service.\r\n"},
    {1062, u"The service has not been started.\r\n"},
    {1063, u"The service process could not connect to the service controller.\r\n"},
    {1066, u"The service has returned a service-specific error code.\r\n"},
    {1117, u"The request could not be performed because of an I/O device error.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1223, u"The operation was canceled by the user.\r\n"},
    {1300, u"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, u"A specified privilege does not exist.\r\n"},
    {1314, u"A required privilege is not held by the client.\r\n"},
    {1326, u"The user name or password is incorrect.\r\n"},
    {1332, u"No mapping between account names and security IDs was done.\r\n"},
    {1355, u"The specified domain either does not exist or could not be contacted.\r\n"},
    {1359, u"An internal error occurred.\r\n"},
    {1460, u"This operation returned because the timeout period expired.\r\n"},
    {1500, u"The event log file is corrupted.\r\n"},
    {1501, u"No event log file could be opened, so the event logging service did not start.\r\n"},
    {1502, u"The event log file is full.\r\n"},
    {1503, u"The event log file has changed between read operations.\r\n"},
    {1608, u"Unknown property.\r\n"},
    {1615, u"SQL query syntax invalid or unsupported.\r\n"},
    {1616, u"Record field does not exist.\r\n"},
    {1627, u"Function failed during execution.\r\n"},
    {1628, u"Invalid or unknown table specified.\r\n"},
    {1629, u"Data supplied is of wrong type.\r\n"},
    {1722, u"The RPC server is unavailable.\r\n"},
    {1804, u"The specified datatype is invalid.\r\n"},
    {1812, u"The specified image file did not contain a resource section.\r\n"},
    {1813, u"The specified resource type cannot be found in the image file.\r\n"},
    {1814, u"The specified resource name cannot be found in the image file.\r\n"},
    {8224, u"An operations error occurred.\r\n"},
    {8232, u"A more secure authentication method is required for this server.\r\n"},
    {8240, u"There is no such object on the server.\r\n"},
    {8242, u"The distinguished name contains invalid syntax.\r\n"},
    {8250, u"The server is not operational.\r\n"},
    {8470, u"Name translation: Could not find the name or insufficient right to see name.\r\n"},
    {8471, u"Name translation: Input name mapped to more than one output name.\r\n"},
    {10004, u"A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10009, u"The file handle supplied is not valid.\r\n"},
    {10013, u"An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {10014, u"The system detected an invalid pointer address in attempting to use a pointer argument in a call.\r\n"},
    {10022, u"An invalid argument was supplied.\r\n"},
    {10024, u"Too many open sockets.\r\n"},
    {10035, u"A non-blocking socket operation could not be completed immediately.\r\n"},
    {10036, u"A blocking operation is currently executing.\r\n"},
    {10037, u"An operation was attempted on a non-blocking socket that already had an operation in progress.\r\n"},
    {10038, u"An operation was attempted on something that is not a socket.\r\n"},
    {10039, u"A required address was omitted from an operation on a socket.\r\n"},
    {10040, u"A message sent on a datagram socket was larger than the internal message buffer or some other "
            u"network limit, or the buffer used to receive a datagram into was smaller than the datagram "
            u"itself.\r\n"},
    {10041, u"A protocol was specified in the socket function call that does not support the semantics of the "
            u"socket type requested.\r\n"},
    {10042, u"An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt "
            u"call.\r\n"},
    {10043, u"The requested protocol has not been configured into the system, or no implementation for it "
            u"exists.\r\n"},
    {10044, u"The support for the specified socket type does not exist in this address family.\r\n"},
    {10045, u"The attempted operation is not supported for the type of object referenced.\r\n"},
    {10047, u"An address incompatible with the requested protocol was used.\r\n"},
    {10048, u"Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n"},
    {10049, u"The requested address is not valid in its context.\r\n"},
    {10050, u"A socket operation encountered a dead network.\r\n"},
    {10051, u"A socket operation was attempted to an unreachable network.\r\n"},
    {10052, u"The connection has been broken due to keep-alive activity detecting a failure while the "
            u"operation was in progress.\r\n"},
    {10053, u"An established connection was aborted by the software in your host machine.\r\n"},
    {10054, u"An existing connection was forcibly closed by the remote host.\r\n"},
    {10055, u"An operation on a socket could not be performed because the system lacked sufficient buffer "
            u"space or because a queue was full.\r\n"},
    {10056, u"A connect request was made on an already connected socket.\r\n"},
    {10057, u"A request to send or receive data was disallowed because the socket is not connected and (when "
            u"sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {10058, u"A request to send or receive data was disallowed because the socket had already been shut down "
            u"in that direction with a previous shutdown call.\r\n"},
    {10060, u"A connection attempt failed because the connected party did not properly respond after a period "
            u"of time, or established connection failed because connected host has failed to respond.\r\n"},
    {10061, u"No connection could be made because the target machine actively refused it.\r\n"},
    {10064, u"A socket operation failed because the destination host was down.\r\n"},
    {10065, u"A socket operation was attempted to an unreachable host.\r\n"},
    {10093, u"Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {11001, u"No such host is known.\r\n"},
    {11002, u"This is usually a temporary error during hostname resolution and means that the local server did "
            u"not receive a response from an authoritative server.\r\n"},
    {11003, u"A non-recoverable error occurred during a database lookup.\r\n"},
    {11004, u"The requested name is valid, but no data of the requested type was found.\r\n"},
    // The program's own codes (base/error_codes.h).
    {0x20000001, u"The file is not a regular file, so it is not used.\r\n"},
    {0x20000002, u"The file has more than one name (a hard link), so it is not used.\r\n"},
    {0x20000003, u"The file belongs neither to this program's account, nor to root, nor to the owner of its folder, "
                 u"so it is not used.\r\n"},
};

// Unicode case mapping comes from the C.UTF-8 locale, whatever the process's own locale is.
locale_t CaseLocale() {
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l != static_cast<locale_t>(nullptr) ? l : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return locale;
}

char32_t UpperCase(char32_t c) {
    if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
    locale_t locale = CaseLocale();
    if (locale == static_cast<locale_t>(nullptr)) return c;
    return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale));
}

}  // namespace

bool SystemMessageText(uint32_t code, MODULE_HANDLE, STRING& text) {
    // A Win32 code carried as an HRESULT (facility 7) has the Win32 code's text, as on Windows.
    if ((code & 0xFFFF0000) == 0x80070000) code &= 0xFFFF;
    for (const ERROR_TEXT& entry : SYSTEM_ERROR_TEXTS) {
        if (entry.Code == code) {
            text.Assign(entry.Text);
            return true;
        }
    }
    text.Clear();
    return false;
}

bool LoadStringTableEntry(uint32_t number, MODULE_HANDLE module, STRING& text) {
    // Only the program itself carries a string table on this platform.
    if (module == nullptr) {
        for (const STRING_TABLE_ENTRY* entry = ProgramStringTable; entry->Text != nullptr; ++entry) {
            if (entry->Number == number) {
                text.Assign(entry->Text);
                return true;
            }
        }
    }
    text.Clear();
    return false;
}

STRING UpperCaseText(const char16_t* text) {
    std::u16string upper;
    if (text != nullptr) {
        const char16_t* end = text + TextLength(text);
        while (text < end) {
            char16_t units[2];
            upper.append(units, EncodeCodePoint(UpperCase(NextCodePoint(text, end)), units));
        }
    }
    return STRING(upper.c_str(), static_cast<uint32_t>(upper.size()));
}

int CompareTextIgnoringCase(const char16_t* left, uint32_t leftLength, const char16_t* right, uint32_t rightLength) {
    const char16_t* leftEnd = left + leftLength;
    const char16_t* rightEnd = right + rightLength;
    while (left < leftEnd && right < rightEnd) {
        char32_t a = UpperCase(NextCodePoint(left, leftEnd));
        char32_t b = UpperCase(NextCodePoint(right, rightEnd));
        if (a != b) return a < b ? -1 : 1;
    }
    if (left < leftEnd) return 1;
    if (right < rightEnd) return -1;
    return 0;
}

}  // namespace qv
