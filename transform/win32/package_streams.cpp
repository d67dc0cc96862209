// The package's table streams on Windows: the system's structured storage (ole32), the same
// reader the Windows Installer opens packages with.
#include "transform/package_streams.h"

#include "base/error_codes.h"
#include "platform/win32/win32.h"
#include "transform/table_format.h"

#include <objbase.h>

namespace qv {

namespace {

template <typename T>
class COM_REFERENCE {
public:
    COM_REFERENCE() = default;
    COM_REFERENCE(const COM_REFERENCE&) = delete;
    COM_REFERENCE& operator=(const COM_REFERENCE&) = delete;
    ~COM_REFERENCE() {
        if (Object != nullptr) Object->Release();
    }
    T* operator->() const { return Object; }
    T* Get() const { return Object; }
    T** Receive() { return &Object; }

private:
    T* Object = nullptr;
};

// A storage's failure as the Win32 code it stands for.
uint32_t StorageErrorCode(HRESULT result) {
    switch (result) {
        case STG_E_FILEALREADYEXISTS:  // what opening a file that isn't a compound file says
        case STG_E_INVALIDHEADER:
        case STG_E_DOCFILECORRUPT:
        case STG_E_OLDFORMAT:
        case STG_E_OLDDLL:
            return ERR_INVALID_DATA;
        default:
            break;
    }
    if (HRESULT_FACILITY(result) == FACILITY_STORAGE || HRESULT_FACILITY(result) == FACILITY_WIN32) {
        return static_cast<uint32_t>(HRESULT_CODE(result));
    }
    return ERR_OPEN_FAILED;
}

// Opens a stream of the root storage, as the installer opens them all, and reads it when it
// holds a table or the summary information.
uint32_t ReadStream(IStorage* storage, const STATSTG& element, std::vector<COMPOUND_STREAM>& streams,
                    std::string& problem) {
    const std::string name = STRING_A(reinterpret_cast<const char16_t*>(element.pwcsName)).Text();
    COM_REFERENCE<IStream> source;
    if (FAILED(storage->OpenStream(element.pwcsName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, source.Receive()))) {
        problem = "The stream " + TableOfStream(name) + " can't be opened";
        return ERR_INVALID_DATA;
    }
    if (element.pwcsName[0] != 0x4840 && name != SUMMARY_INFORMATION_STREAM) return ERR_SUCCESS;
    if (element.cbSize.QuadPart > MAXIMUM_TABLE_STREAM_SIZE) {
        problem = "The stream " + TableOfStream(name) + " is too large";
        return ERR_INVALID_DATA;
    }
    COMPOUND_STREAM stream{name, std::string(static_cast<size_t>(element.cbSize.QuadPart), '\0')};
    ULONG read = 0;
    if (!stream.Bytes.empty() &&
        (FAILED(source->Read(stream.Bytes.data(), static_cast<ULONG>(stream.Bytes.size()), &read)) ||
         read != stream.Bytes.size())) {
        problem = "The stream " + TableOfStream(name) + " can't be read";
        return ERR_INVALID_DATA;
    }
    streams.push_back(std::move(stream));
    return ERR_SUCCESS;
}

}  // namespace

uint32_t ReadPackageStreams(const STRING& path, std::vector<COMPOUND_STREAM>& streams, std::string& problem) {
    streams.clear();
    problem.clear();
    COM_REFERENCE<IStorage> storage;
    HRESULT result = StgOpenStorage(AsWide(path.Text()), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                                    storage.Receive());
    if (FAILED(result)) {
        if (StorageErrorCode(result) == ERR_INVALID_DATA) problem = "The file is not a compound file";
        return StorageErrorCode(result);
    }
    COM_REFERENCE<IEnumSTATSTG> elements;
    result = storage->EnumElements(0, nullptr, 0, elements.Receive());
    if (FAILED(result)) return StorageErrorCode(result);
    for (;;) {
        STATSTG element{};
        ULONG fetched = 0;
        result = elements->Next(1, &element, &fetched);
        if (FAILED(result)) return StorageErrorCode(result);
        if (fetched == 0) return ERR_SUCCESS;
        const uint32_t code = element.type == STGTY_STREAM ? ReadStream(storage.Get(), element, streams, problem)
                                                           : ERR_SUCCESS;
        CoTaskMemFree(element.pwcsName);
        if (code != ERR_SUCCESS) return code;
    }
}

}  // namespace qv
