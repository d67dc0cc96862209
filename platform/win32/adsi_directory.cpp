// The directory through ADSI: NameTranslate for names, ADsOpenObject and IADs for objects,
// VARIANTs and SAFEARRAYs turned into the portable values. The calling thread has COM
// initialised.
#include "platform/win32/win32.h"

// The lean windows.h leaves OLE out; ADSI's interfaces are OLE automation ones.
#include <ole2.h>
#include <oleauto.h>

#include <iads.h>
// after iads.h, whose types it uses
#include <adshlp.h>

#include <atomic>

#include "platform/directory_access.h"

namespace qv {

namespace {

std::atomic<uint64_t> Calls{0};

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// A BSTR owned for one call.
class BSTR_TEXT {
public:
    explicit BSTR_TEXT(const char16_t* text) : Text(text ? SysAllocString(Wide(text)) : nullptr) {}
    ~BSTR_TEXT() { SysFreeString(Text); }
    BSTR_TEXT(const BSTR_TEXT&) = delete;
    BSTR_TEXT& operator=(const BSTR_TEXT&) = delete;
    BSTR Get() const { return Text; }
    bool Missing(const char16_t* text) const { return text && !Text; }

private:
    BSTR Text;
};

class VARIANT_HOLDER {
public:
    VARIANT_HOLDER() { VariantInit(&Value); }
    ~VARIANT_HOLDER() { VariantClear(&Value); }
    VARIANT_HOLDER(const VARIANT_HOLDER&) = delete;
    VARIANT_HOLDER& operator=(const VARIANT_HOLDER&) = delete;
    VARIANT Value;
};

STRING FromBstr(BSTR text) { return STRING(reinterpret_cast<const char16_t*>(text ? text : L""), SysStringLen(text)); }

// An array of variants: each element's text. An element that is not text cannot be read
// as a group's DN.
HRESULT ReadVariantArray(SAFEARRAY* array, DIRECTORY_VALUE& value) {
    LONG lower = 0, upper = -1;
    HRESULT hr = SafeArrayGetLBound(array, 1, &lower);
    if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(array, 1, &upper);
    for (LONG i = lower; SUCCEEDED(hr) && i <= upper; ++i) {
        VARIANT_HOLDER element;
        hr = SafeArrayGetElement(array, &i, &element.Value);
        if (FAILED(hr)) break;
        if (V_VT(&element.Value) != VT_BSTR) return static_cast<HRESULT>(E_ADS_CANT_CONVERT_DATATYPE);
        value.Strings.push_back(FromBstr(V_BSTR(&element.Value)));
    }
    return hr;
}

HRESULT ToDirectoryValue(const VARIANT& variant, DIRECTORY_VALUE& value) {
    value = DIRECTORY_VALUE();
    value.Type = V_VT(&variant);
    if (value.Type == VT_BSTR) {
        value.Strings.push_back(FromBstr(V_BSTR(&variant)));
    } else if (value.Type == VT_I4) {
        value.Number = V_I4(&variant);
    } else if (value.Type == (VT_ARRAY | VT_VARIANT)) {
        return ReadVariantArray(V_ARRAY(&variant), value);
    } else if (value.Type == (VT_ARRAY | VT_UI1)) {
        SAFEARRAY* array = V_ARRAY(&variant);
        LONG lower = 0, upper = -1;
        void* data = nullptr;
        HRESULT hr = SafeArrayGetLBound(array, 1, &lower);
        if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(array, 1, &upper);
        if (SUCCEEDED(hr)) hr = SafeArrayAccessData(array, &data);
        if (FAILED(hr)) {
            value.BytesCode = static_cast<uint32_t>(hr);
            return S_OK;
        }
        const auto* bytes = static_cast<const uint8_t*>(data);
        value.Bytes.assign(bytes, bytes + (upper - lower + 1));
        SafeArrayUnaccessData(array);
    }
    return S_OK;
}

class ADSI_OBJECT : public DIRECTORY_OBJECT {
public:
    explicit ADSI_OBJECT(IADs* object) : Object(object) {}
    ~ADSI_OBJECT() override { Object->Release(); }
    ADSI_OBJECT(const ADSI_OBJECT&) = delete;
    ADSI_OBJECT& operator=(const ADSI_OBJECT&) = delete;

    uint32_t Get(const char16_t* property, DIRECTORY_VALUE& value) override { return Read(property, value, false); }
    uint32_t GetEx(const char16_t* property, DIRECTORY_VALUE& value) override { return Read(property, value, true); }

private:
    uint32_t Read(const char16_t* property, DIRECTORY_VALUE& value, bool every) {
        ++Calls;
        BSTR_TEXT name(property);
        if (name.Missing(property)) return HRESULT_OUT_OF_MEMORY;
        VARIANT_HOLDER variant;
        HRESULT hr = every ? Object->GetEx(name.Get(), &variant.Value) : Object->Get(name.Get(), &variant.Value);
        if (SUCCEEDED(hr)) hr = ToDirectoryValue(variant.Value, value);
        return static_cast<uint32_t>(hr);
    }

    IADs* Object;
};

class ADSI_NAME_TRANSLATOR : public NAME_TRANSLATOR {
public:
    explicit ADSI_NAME_TRANSLATOR(IADsNameTranslate* translator) : Translator(translator) {}
    ~ADSI_NAME_TRANSLATOR() override { Translator->Release(); }
    ADSI_NAME_TRANSLATOR(const ADSI_NAME_TRANSLATOR&) = delete;
    ADSI_NAME_TRANSLATOR& operator=(const ADSI_NAME_TRANSLATOR&) = delete;

    uint32_t Init(uint32_t initType, const char16_t* path) override {
        ++Calls;
        BSTR_TEXT server(path);
        if (server.Missing(path)) return HRESULT_OUT_OF_MEMORY;
        return static_cast<uint32_t>(Translator->Init(static_cast<LONG>(initType), server.Get()));
    }

    uint32_t InitEx(uint32_t initType, const char16_t* path, const char16_t* user, const char16_t* domain,
                    const char16_t* password) override {
        ++Calls;
        BSTR_TEXT server(path), account(user), accountDomain(domain), secret(password);
        if (server.Missing(path) || account.Missing(user) || accountDomain.Missing(domain) ||
            secret.Missing(password)) {
            return HRESULT_OUT_OF_MEMORY;
        }
        return static_cast<uint32_t>(Translator->InitEx(static_cast<LONG>(initType), server.Get(), account.Get(),
                                                        accountDomain.Get(), secret.Get()));
    }

    uint32_t Set(uint32_t nameType, const char16_t* name) override {
        ++Calls;
        BSTR_TEXT text(name);
        if (text.Missing(name)) return HRESULT_OUT_OF_MEMORY;
        return static_cast<uint32_t>(Translator->Set(static_cast<LONG>(nameType), text.Get()));
    }

    uint32_t Get(uint32_t nameType, STRING& name) override {
        ++Calls;
        BSTR result = nullptr;
        HRESULT hr = Translator->Get(static_cast<LONG>(nameType), &result);
        name = SUCCEEDED(hr) ? FromBstr(result) : STRING();
        SysFreeString(result);
        return static_cast<uint32_t>(hr);
    }

private:
    IADsNameTranslate* Translator;
};

class ADSI_DIRECTORY_ACCESS : public DIRECTORY_ACCESS {
public:
    uint32_t CreateNameTranslator(std::unique_ptr<NAME_TRANSLATOR>& translator) override {
        translator.reset();
        IADsNameTranslate* created = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_NameTranslate, nullptr, CLSCTX_INPROC_SERVER, IID_IADsNameTranslate,
                                      reinterpret_cast<void**>(&created));
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        translator = std::make_unique<ADSI_NAME_TRANSLATOR>(created);
        return 0;
    }

    uint32_t OpenObject(const char16_t* path, const char16_t* user, const char16_t* password, uint32_t flags,
                        std::unique_ptr<DIRECTORY_OBJECT>& object) override {
        ++Calls;
        object.reset();
        IADs* opened = nullptr;
        HRESULT hr = ADsOpenObject(Wide(path), Wide(user), Wide(password), flags, IID_IADs,
                                   reinterpret_cast<void**>(&opened));
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        object = std::make_unique<ADSI_OBJECT>(opened);
        return 0;
    }
};

}  // namespace

DIRECTORY_ACCESS& SystemDirectoryAccess() {
    static ADSI_DIRECTORY_ACCESS access;
    return access;
}

uint64_t DirectoryRoundTrips() { return Calls.load(); }

// ADSI offers no way to cancel a call once started; the caller stops waiting for it instead.
void AbandonDirectoryRequests() {}

// ADSI binds with the service's own account; there is nothing to read.
void SetDirectorySettingsKey(const char16_t*) {}

}  // namespace qv
