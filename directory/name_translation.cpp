// Translations between name forms through the directory's name translator.
#include <string>

#include "base/error_codes.h"

#include "directory/directory.h"
#include "directory/directory_cache.h"
#include "directory/directory_guard.h"
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

// The step of a translation that failed, for its line.
enum class TRANSLATION_STEP : uint32_t { CREATE, INITIALIZE, SET, GET };

void LogTranslationFailure(TRANSLATION_STEP step, const char16_t* label, const char16_t* name, uint32_t code) {
    switch (step) {
        case TRANSLATION_STEP::CREATE:
            DebugLog(u"%s name = \"%s\".\n    Unable to create IADsNameTranslate object.\n    %s. Error code = %#lx.",
                     label, name, AdsErrorText(code), code);
            break;
        case TRANSLATION_STEP::INITIALIZE:
            DebugLog(u"%s name = \"%s\".\n    Unable to initialize IADsNameTranslate.\n    %s. Error code = %#lx.",
                     label, name, AdsErrorText(code), code);
            break;
        case TRANSLATION_STEP::SET:
            DebugLog(u"IADsNameTranslate::Set failed.\n    %s name = \"%s\".\n    %s. Error code = %#lx.", label, name,
                     AdsErrorText(code), code);
            break;
        case TRANSLATION_STEP::GET:
            DebugLog(u"IADsNameTranslate::Get failed.\n    %s name = \"%s\".\n    %s. Error code = %#lx.", label, name,
                     AdsErrorText(code), code);
            break;
    }
}

uint32_t Translate(uint32_t fromType, const char16_t* name, uint32_t toType, const DIRECTORY_BINDING& binding,
                   STRING& result, TRANSLATION_STEP& step) {
    std::unique_ptr<NAME_TRANSLATOR> translator;
    step = TRANSLATION_STEP::CREATE;
    uint32_t code = GuardedDirectoryAccess().CreateNameTranslator(translator);
    if (code == 0 && !translator) code = E_ADS_BAD_PARAMETER;
    if (code != 0) return code;
    step = TRANSLATION_STEP::INITIALIZE;
    code = InitializeTranslator(*translator, binding);
    if (code != 0) return code;
    step = TRANSLATION_STEP::SET;
    code = translator->Set(fromType, name);
    if (code != 0) return code;
    step = TRANSLATION_STEP::GET;
    return translator->Get(toType, result);
}

// A failure worth remembering for a while: an answer of the directory's (no such name), not
// a directory that could not be reached (look-ups pause for that) or a stop.
bool IsAnswer(uint32_t code) { return code != 0 && !IsDirectoryUnreachable(code) && code != HresultFromWin32(ERR_CANCELLED); }

}  // namespace

bool TranslateName(uint32_t fromType, const char16_t* name, uint32_t toType, const DIRECTORY_BINDING& binding,
                   STRING& result, uint32_t* code) {
    result.Clear();
    std::u16string key = TranslationKey(fromType, name, toType, binding);
    const char16_t* label = NameTypeLabel(fromType);
    uint32_t failure = 0;
    DIRECTORY_FAILURE remembered;
    if (DirectoryCache().FindTranslation(key, result)) {
        failure = 0;
    } else if (DirectoryCache().FindFailure(key, remembered)) {
        // A name the directory did not know a moment ago is not asked for again at once; the
        // line reads as the directory's own answer did.
        failure = remembered.Code;
        LogTranslationFailure(static_cast<TRANSLATION_STEP>(remembered.Step), label, name, failure);
    } else if (!DirectoryPaused(&failure)) {
        TRANSLATION_STEP step = TRANSLATION_STEP::CREATE;
        failure = Translate(fromType, name, toType, binding, result, step);
        if (failure == 0) {
            DirectoryCache().StoreTranslation(key, result);
        } else {
            LogTranslationFailure(step, label, name, failure);
            if (IsAnswer(failure)) DirectoryCache().StoreFailure(key, {failure, static_cast<uint32_t>(step)});
        }
    }
    if (code) *code = failure;
    if (failure != 0) {
        result.Clear();
        SetLastErrorCode(failure);
        return false;
    }
    if (GetDebugOutputVerbose()) {
        DebugLogEx(DBGOUT_CUSTOM1, u"Translated %s name \"%s\" to %s name \"%s\"", label, name,
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
    DIRECTORY_FAILURE remembered;
    if (DirectoryCache().FindTranslation(key, ntName)) {
        code = 0;
    } else if (DirectoryCache().FindFailure(key, remembered)) {
        code = remembered.Code;
    } else if (!DirectoryPaused(&code)) {
        std::unique_ptr<NAME_TRANSLATOR> translator;
        code = GuardedDirectoryAccess().CreateNameTranslator(translator);
        if (code == 0 && !translator) code = E_ADS_BAD_PARAMETER;
        if (code == 0) code = InitializeTranslator(*translator, binding);
        if (code == 0) code = translator->Set(ADS_NAME_TYPE_CANONICAL, canonical.Text());
        if (code == 0) code = translator->Get(ADS_NAME_TYPE_NT4, ntName);
        if (code == 0) DirectoryCache().StoreTranslation(key, ntName);
        if (IsAnswer(code)) DirectoryCache().StoreFailure(key, {code, 0});
    }
    if (code == 0 && ntName.LastUnit() == u'\\' && ntName.Length() > 1) {
        netbiosName.Assign(ntName.Text(), ntName.Length() - 1);
        DirectoryCache().StoreDomain(dnsDomain, netbiosName);
        return true;
    }
    // A domain's NetBIOS name does not change while the program runs: once known it is kept, so
    // that a directory out of reach never changes the name a user is reported under.
    if (DirectoryCache().FindDomain(dnsDomain, netbiosName)) return true;
    if (code == 0) code = HresultFromWin32(WIN32_DS_NAME_ERROR_NOT_FOUND);
    DebugLogEx(DBGOUT_CUSTOM1, u"DomainNetbiosName: Unable to find the NetBIOS name of domain \"%s\".\n    %s. Error code = %#lx.",
               dnsDomain, AdsErrorText(code), code);
    SetLastErrorCode(code);
    return false;
}

}  // namespace qv
