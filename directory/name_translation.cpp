// Translations between name forms through the directory's name translator.
#include <string>

#include "directory/directory.h"
#include "directory/directory_cache.h"
#include "platform/last_error.h"
#include "support/debug_log.h"
#include "support/format.h"

namespace qv {

namespace {

const char16_t* NameTypeLabel(uint32_t type) {
    switch (type) {
        case ADS_NAME_TYPE_1779: return u"Distinguished";
        case ADS_NAME_TYPE_NT4: return u"NT";
        case ADS_NAME_TYPE_DOMAIN_SIMPLE: return u"Domain";
        case ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME: return u"SID";
        default: return u"<unknown>";
    }
}

std::u16string TranslationKey(uint32_t fromType, const char16_t* name, uint32_t toType,
                              const DIRECTORY_BINDING& binding) {
    std::u16string key;
    key += static_cast<char16_t>(binding.InitType);
    key += static_cast<char16_t>(fromType);
    key += static_cast<char16_t>(toType);
    key.append(binding.Server.Text(), binding.Server.Length()) += u'\n';
    key.append(binding.User.Text(), binding.User.Length()) += u'\n';
    key += name ? name : u"";
    return key;
}

// Init, or InitEx with DOMAIN\user credentials, as the binding says.
uint32_t InitializeTranslator(NAME_TRANSLATOR& translator, const DIRECTORY_BINDING& binding) {
    if (binding.InitType != ADS_NAME_INITTYPE_SERVER) return translator.Init(ADS_NAME_INITTYPE_GC, nullptr);
    const char16_t* user = binding.User.Text();
    const char16_t* backslash = nullptr;
    for (const char16_t* at = user; *at; ++at) {
        if (*at == u'\\') backslash = at;
    }
    if (!backslash) return translator.Init(ADS_NAME_INITTYPE_SERVER, binding.Server.Text());
    STRING domain(user, static_cast<uint32_t>(backslash - user));
    return translator.InitEx(ADS_NAME_INITTYPE_SERVER, binding.Server.Text(), backslash + 1, domain.Text(),
                             binding.Password.Text());
}

uint32_t Translate(uint32_t fromType, const char16_t* name, uint32_t toType, const DIRECTORY_BINDING& binding,
                   STRING& result) {
    const char16_t* label = NameTypeLabel(fromType);
    std::unique_ptr<NAME_TRANSLATOR> translator;
    uint32_t code = CurrentDirectoryAccess().CreateNameTranslator(translator);
    if (code != 0 || !translator) {
        DebugLog(u"%s name = \"%s\".\n    Unable to create IADsNameTranslate object.\n    %s. Error code = %#lx.", label,
                 name, AdsErrorText(code), code);
        return code;
    }
    code = InitializeTranslator(*translator, binding);
    if (code != 0) {
        DebugLog(u"%s name = \"%s\".\n    Unable to initialize IADsNameTranslate.\n    %s. Error code = %#lx.", label,
                 name, AdsErrorText(code), code);
        return code;
    }
    code = translator->Set(fromType, name);
    if (code != 0) {
        DebugLog(u"IADsNameTranslate::Set failed.\n    %s name = \"%s\".\n    %s. Error code = %#lx.", label, name,
                 AdsErrorText(code), code);
        return code;
    }
    code = translator->Get(toType, result);
    if (code != 0) {
        DebugLog(u"IADsNameTranslate::Get failed.\n    %s name = \"%s\".\n    %s. Error code = %#lx.", label, name,
                 AdsErrorText(code), code);
    }
    return code;
}

}  // namespace

bool TranslateName(uint32_t fromType, const char16_t* name, uint32_t toType, const DIRECTORY_BINDING& binding,
                   STRING& result, uint32_t* code) {
    result.Clear();
    std::u16string key = TranslationKey(fromType, name, toType, binding);
    uint32_t failure = 0;
    if (!DirectoryCache().FindTranslation(key, result)) {
        failure = Translate(fromType, name, toType, binding, result);
        if (failure == 0) DirectoryCache().StoreTranslation(key, result);
    }
    if (code) *code = failure;
    if (failure != 0) {
        result.Clear();
        SetLastErrorCode(failure);
        return false;
    }
    if (GetDebugOutputVerbose()) {
        DebugLogEx(DBGOUT_CUSTOM1, u"Translated %s name \"%s\" to %s name \"%s\"", NameTypeLabel(fromType), name,
                   NameTypeLabel(toType), result);
    }
    return true;
}

bool NtNameToDn(const char16_t* ntName, const DIRECTORY_BINDING& binding, STRING& dn) {
    return TranslateName(ADS_NAME_TYPE_NT4, ntName, ADS_NAME_TYPE_1779, binding, dn);
}

bool DomainNameToNtName(const char16_t* domainName, const DIRECTORY_BINDING& binding, STRING& ntName) {
    return TranslateName(ADS_NAME_TYPE_DOMAIN_SIMPLE, domainName, ADS_NAME_TYPE_NT4, binding, ntName);
}

bool DomainNetbiosName(const char16_t* dnsDomain, const DIRECTORY_BINDING& binding, STRING& netbiosName) {
    netbiosName.Clear();
    if (TextLength(dnsDomain) == 0) return false;
    // The domain's canonical name is its DNS name and a slash; its NT name is NETBIOS\.
    STRING canonical;
    FormatString(canonical, u"%s/", dnsDomain);
    std::u16string key = TranslationKey(ADS_NAME_TYPE_CANONICAL, canonical.Text(), ADS_NAME_TYPE_NT4, binding);
    STRING ntName;
    uint32_t code = 0;
    if (!DirectoryCache().FindTranslation(key, ntName)) {
        std::unique_ptr<NAME_TRANSLATOR> translator;
        code = CurrentDirectoryAccess().CreateNameTranslator(translator);
        if (code == 0 && !translator) code = E_ADS_BAD_PARAMETER;
        if (code == 0) code = InitializeTranslator(*translator, binding);
        if (code == 0) code = translator->Set(ADS_NAME_TYPE_CANONICAL, canonical.Text());
        if (code == 0) code = translator->Get(ADS_NAME_TYPE_NT4, ntName);
        if (code == 0) DirectoryCache().StoreTranslation(key, ntName);
    }
    if (code == 0 && ntName.LastUnit() == u'\\' && ntName.Length() > 1) {
        netbiosName.Assign(ntName.Text(), ntName.Length() - 1);
        return true;
    }
    if (code == 0) code = HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
    DebugLogEx(DBGOUT_CUSTOM1, u"DomainNetbiosName: Unable to find the NetBIOS name of domain \"%s\".\n    %s. Error code = %#lx.",
               dnsDomain, AdsErrorText(code), code);
    SetLastErrorCode(code);
    return false;
}

}  // namespace qv
