// Access to Active Directory in ADSI's terms: a name translator (IADsNameTranslate) and
// directory objects opened by path whose properties are read one by one (IADs::Get/GetEx).
// Windows goes through ADSI itself; POSIX does the same operations over LDAP with OpenLDAP.
// Both halves speak ADSI's HRESULT codes and VARIANT type numbers, so whatever the logic
// above decides and logs reads the same on both platforms.
//
// Every call returns an HRESULT-style code: 0 on success.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/string.h"

namespace qv {

// --- codes -----------------------------------------------------------------------------------
constexpr uint32_t E_ADS_BAD_PATHNAME = 0x80005000;
constexpr uint32_t E_ADS_INVALID_DOMAIN_OBJECT = 0x80005001;
constexpr uint32_t E_ADS_UNKNOWN_OBJECT = 0x80005004;
constexpr uint32_t E_ADS_BAD_PARAMETER = 0x80005008;
constexpr uint32_t E_ADS_CANT_CONVERT_DATATYPE = 0x8000500C;
constexpr uint32_t E_ADS_PROPERTY_NOT_FOUND = 0x8000500D;
constexpr uint32_t E_ADS_INVALID_FILTER = 0x80005014;
constexpr uint32_t HRESULT_OUT_OF_MEMORY = 0x8007000E;
constexpr uint32_t HRESULT_CLASS_NOT_REGISTERED = 0x80040154;
// Win32 codes as HRESULTs (facility 7), the form ADSI hands them on.
constexpr uint32_t HresultFromWin32(uint32_t code) { return code == 0 ? 0 : (code & 0xFFFF) | 0x80070000; }
constexpr uint32_t WIN32_ACCESS_DENIED = 5;
constexpr uint32_t WIN32_SEM_TIMEOUT = 121;
constexpr uint32_t WIN32_CONNECTION_REFUSED = 1225;
constexpr uint32_t WIN32_NETWORK_UNREACHABLE = 1231;
constexpr uint32_t WIN32_HOST_UNREACHABLE = 1232;
constexpr uint32_t WIN32_LOGON_FAILURE = 1326;
constexpr uint32_t WIN32_NO_SUCH_DOMAIN = 1355;
constexpr uint32_t WIN32_TIMEOUT = 1460;
constexpr uint32_t WIN32_DS_OPERATIONS_ERROR = 8224;
constexpr uint32_t WIN32_DS_STRONG_AUTH_REQUIRED = 8232;
constexpr uint32_t WIN32_DS_NO_SUCH_OBJECT = 8240;
constexpr uint32_t WIN32_DS_INVALID_DN_SYNTAX = 8242;
constexpr uint32_t WIN32_DS_SERVER_DOWN = 8250;
constexpr uint32_t WIN32_DS_NAME_ERROR_NOT_FOUND = 8470;
constexpr uint32_t WIN32_DS_NAME_ERROR_NOT_UNIQUE = 8471;

// --- name types, init types, bind flags -------------------------------------------------------
constexpr uint32_t ADS_NAME_TYPE_1779 = 1;           // distinguished name
constexpr uint32_t ADS_NAME_TYPE_CANONICAL = 2;      // dns.domain/path; "dns.domain/" is the domain
constexpr uint32_t ADS_NAME_TYPE_NT4 = 3;            // DOMAIN\name
constexpr uint32_t ADS_NAME_TYPE_DOMAIN_SIMPLE = 5;  // name@dns.domain
constexpr uint32_t ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME = 12;

constexpr uint32_t ADS_NAME_INITTYPE_SERVER = 2;
constexpr uint32_t ADS_NAME_INITTYPE_GC = 3;

constexpr uint32_t ADS_SECURE_AUTHENTICATION = 0x1;
constexpr uint32_t ADS_SERVER_BIND = 0x200;

// --- property values --------------------------------------------------------------------------
constexpr uint32_t VARIANT_I4 = 3;
constexpr uint32_t VARIANT_BSTR = 8;
constexpr uint32_t VARIANT_VARIANT = 12;
constexpr uint32_t VARIANT_UI1 = 17;
constexpr uint32_t VARIANT_ARRAY = 0x2000;

// A property value as a VARIANT would carry it: Type is the VARIANT type; the member that
// goes with it holds the value.
struct DIRECTORY_VALUE {
    uint32_t Type = 0;
    std::vector<STRING> Strings;  // VARIANT_BSTR (one) or VARIANT_ARRAY | VARIANT_VARIANT
    int32_t Number = 0;           // VARIANT_I4
    std::vector<uint8_t> Bytes;   // VARIANT_ARRAY | VARIANT_UI1
    uint32_t BytesCode = 0;       // not 0: the byte array's data could not be reached
};

// An opened directory object (IADs).
class DIRECTORY_OBJECT {
public:
    virtual ~DIRECTORY_OBJECT() = default;
    // One value, as IADs::Get gives it (a multi-valued property comes as an array).
    virtual uint32_t Get(const char16_t* property, DIRECTORY_VALUE& value) = 0;
    // Every value, as IADs::GetEx gives it (always an array of variants).
    virtual uint32_t GetEx(const char16_t* property, DIRECTORY_VALUE& value) = 0;
};

// A name translator (IADsNameTranslate): initialise, set a name in one form, get it in another.
class NAME_TRANSLATOR {
public:
    virtual ~NAME_TRANSLATOR() = default;
    // initType ADS_NAME_INITTYPE_GC with no path, or ADS_NAME_INITTYPE_SERVER with a server.
    virtual uint32_t Init(uint32_t initType, const char16_t* path) = 0;
    virtual uint32_t InitEx(uint32_t initType, const char16_t* path, const char16_t* user, const char16_t* domain,
                            const char16_t* password) = 0;
    virtual uint32_t Set(uint32_t nameType, const char16_t* name) = 0;
    virtual uint32_t Get(uint32_t nameType, STRING& name) = 0;
};

class DIRECTORY_ACCESS {
public:
    virtual ~DIRECTORY_ACCESS() = default;
    virtual uint32_t CreateNameTranslator(std::unique_ptr<NAME_TRANSLATOR>& translator) = 0;
    // ADsOpenObject on an ADSI path ("LDAP://DN" or "LDAP://server/DN", a "/" inside the DN
    // escaped with a backslash); user and password null for the program's own credentials.
    virtual uint32_t OpenObject(const char16_t* path, const char16_t* user, const char16_t* password, uint32_t flags,
                                std::unique_ptr<DIRECTORY_OBJECT>& object) = 0;
};

// The platform's directory: ADSI on Windows (the calling thread must have COM initialised),
// LDAP on POSIX.
DIRECTORY_ACCESS& SystemDirectoryAccess();

// Gives up the request the directory is being waited for, if any: the call waiting for it
// returns soon with a failure. The LDAP half abandons the request on its connection (a
// connection in the middle of its bind is dropped). ADSI has no way to cancel a call it has
// started: there the call runs to its end, and whoever waits for it stops waiting instead.
void AbandonDirectoryRequests();

// Requests sent to directory servers by this process so far (binds, searches, TLS starts).
// ADSI hides its traffic, so on Windows this counts the calls that reach the directory.
uint64_t DirectoryRoundTrips();

// Where the POSIX half finds how to bind: the settings key (under HKEY_LOCAL_MACHINE) whose
// Ad* values it reads each time it connects. ADSI binds with the service's own account and
// reads nothing.
void SetDirectorySettingsKey(const char16_t* keyPath);

}  // namespace qv
