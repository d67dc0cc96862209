// The installer database on Windows: the Windows Installer's own database functions.
#include "transform/installer_database.h"

#include "platform/win32/win32.h"

#include <msi.h>
#include <msiquery.h>

namespace qv {

namespace {

// One installer handle, closed when it goes.
class MSI_HANDLE {
public:
    MSI_HANDLE() = default;
    explicit MSI_HANDLE(MSIHANDLE handle) : Handle(handle) {}
    MSI_HANDLE(const MSI_HANDLE&) = delete;
    MSI_HANDLE& operator=(const MSI_HANDLE&) = delete;
    ~MSI_HANDLE() { Close(); }

    MSIHANDLE Get() const { return Handle; }
    MSIHANDLE* Receive() {
        Close();
        return &Handle;
    }
    void Close() {
        if (Handle != 0) MsiCloseHandle(Handle);
        Handle = 0;
    }

private:
    MSIHANDLE Handle = 0;
};

// The installer's two-step text read: the length first (a one-unit buffer of size 0 makes it
// answer ERROR_MORE_DATA with the length), then the text in a buffer one unit longer.
template <typename READ>
uint32_t ReadInstallerText(STRING& text, READ read) {
    text.Clear();
    wchar_t probe[1] = {0};
    DWORD length = 0;
    UINT code = read(probe, &length);
    if (code == ERROR_SUCCESS) return ERROR_SUCCESS;
    if (code != ERROR_MORE_DATA) return code;
    STRING buffer(static_cast<uint32_t>(length + 1));
    DWORD size = length + 1;
    code = read(AsWide(buffer.Buffer()), &size);
    if (code != ERROR_SUCCESS) return code;
    text.Assign(buffer.Text(), static_cast<uint32_t>(size));
    return ERROR_SUCCESS;
}

}  // namespace

struct DATABASE_STATE {
    MSI_HANDLE Database;
};

struct VIEW_STATE {
    MSI_HANDLE View;
};

INSTALLER_DATABASE::INSTALLER_DATABASE() : Platform(std::make_unique<DATABASE_STATE>()) {}
INSTALLER_DATABASE::~INSTALLER_DATABASE() = default;

uint32_t INSTALLER_DATABASE::Open(const STRING& path, DATABASE_ACCESS access) {
    const LPCWSTR persist = access == DATABASE_ACCESS::READ_ONLY ? MSIDBOPEN_READONLY : MSIDBOPEN_TRANSACT;
    return MsiOpenDatabaseW(AsWide(path.Text()), persist, Platform->Database.Receive());
}

uint32_t INSTALLER_DATABASE::Commit() { return MsiDatabaseCommit(Platform->Database.Get()); }

void INSTALLER_DATABASE::Close() { Platform->Database.Close(); }

INSTALLER_VIEW::INSTALLER_VIEW() : Platform(std::make_unique<VIEW_STATE>()) {}
INSTALLER_VIEW::~INSTALLER_VIEW() = default;

uint32_t INSTALLER_VIEW::Open(INSTALLER_DATABASE& database, const char16_t* statement) {
    return MsiDatabaseOpenViewW(database.State().Database.Get(), AsWide(statement), Platform->View.Receive());
}

uint32_t INSTALLER_VIEW::Execute(std::initializer_list<const char16_t*> parameters) {
    if (parameters.size() == 0) return MsiViewExecute(Platform->View.Get(), 0);
    MSI_HANDLE record(MsiCreateRecord(static_cast<UINT>(parameters.size())));
    if (record.Get() == 0) return ERROR_OUTOFMEMORY;
    UINT field = 1;
    for (const char16_t* value : parameters) {
        const UINT code = MsiRecordSetStringW(record.Get(), field++, AsWide(value));
        if (code != ERROR_SUCCESS) return code;
    }
    return MsiViewExecute(Platform->View.Get(), record.Get());
}

uint32_t INSTALLER_VIEW::FetchText(uint32_t field, STRING& text) {
    text.Clear();
    MSI_HANDLE row;
    const UINT code = MsiViewFetch(Platform->View.Get(), row.Receive());
    if (code != ERROR_SUCCESS) return code;
    return ReadInstallerText(text, [&](wchar_t* buffer, DWORD* size) {
        return MsiRecordGetStringW(row.Get(), field, buffer, size);
    });
}

void INSTALLER_VIEW::Close() { Platform->View.Close(); }

uint32_t GenerateTransform(INSTALLER_DATABASE& database, INSTALLER_DATABASE& reference, const STRING& transformPath) {
    return MsiDatabaseGenerateTransformW(database.State().Database.Get(), reference.State().Database.Get(),
                                         AsWide(transformPath.Text()), 0, 0);
}

uint32_t CreateTransformSummaryInfo(INSTALLER_DATABASE& database, INSTALLER_DATABASE& reference,
                                    const STRING& transformPath) {
    return MsiCreateTransformSummaryInfoW(database.State().Database.Get(), reference.State().Database.Get(),
                                          AsWide(transformPath.Text()), 0, 0);
}

STRING TakeInstallerErrorText() {
    STRING text;
    MSI_HANDLE record(MsiGetLastErrorRecord());
    if (record.Get() == 0) return text;
    ReadInstallerText(text, [&](wchar_t* buffer, DWORD* size) { return MsiFormatRecordW(0, record.Get(), buffer, size); });
    return text;
}

}  // namespace qv
