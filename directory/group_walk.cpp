// A user's complete group membership: the primary group, then memberOf, each group followed
// depth-first by its own groups; every DN once, which also ends cycles.
#include <cstring>

#include "directory/directory.h"
#include "platform/system_text.h"
#include "support/debug_log.h"
#include "support/format.h"
#include "support/security.h"

namespace qv {

namespace {

constexpr const char16_t* MEMBER_OF = u"memberOf";
constexpr const char16_t* PRIMARY_GROUP_ID = u"primaryGroupID";
constexpr const char16_t* OBJECT_SID = u"objectSid";

void LogPropertyFailure(const char16_t* operation, const char16_t* property, const char16_t* name, uint32_t code) {
    DebugLogEx(DBGOUT_CUSTOM1, u"%s: Unable to get \"%s\" property for \"%s\".\n    %s. Error code = %#lx.", operation,
               property, name, AdsErrorText(code), code);
}

// The text form of a SID held in bytes; empty unless the bytes are exactly one SID.
STRING SidBytesToText(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 8 || bytes[0] != 1 || bytes.size() != 8 + 4u * bytes[1]) return STRING();
    return SidToText(bytes.data());
}

}  // namespace

bool GetUserGroups(const char16_t* user, GROUP_LIST& groups, const DIRECTORY_BINDING& binding) {
    STRING dn;
    if (!NtNameToDn(user, binding, dn)) return false;
    std::unique_ptr<DIRECTORY_OBJECT> object = OpenObject(u"User", dn.Text(), binding);
    if (!object) return false;
    DebugLog(u"Getting groups for \"%s\"", dn);
    GetPrimaryGroup(*object, dn.Text(), groups, binding);
    return AddObjectGroups(*object, dn.Text(), groups, binding);
}

bool AddGroup(const char16_t* dn, GROUP_LIST& groups, const DIRECTORY_BINDING& binding) {
    for (const GROUP_ENTRY& group : groups) {
        if (EqualsIgnoringCase(group.Dn, dn)) {
            DebugLog(u"AddGroup: \"%s\" already in list; ignoring", dn);
            return true;
        }
    }
    groups.push_back(GROUP_ENTRY{STRING(), STRING(dn)});
    STRING name;
    TranslateName(ADS_NAME_TYPE_1779, dn, ADS_NAME_TYPE_NT4, binding, name);
    groups.back().Name = name;
    DebugLog(u"AddGroup:\n    Domain = \"%s\",\n    DN = \"%s\"", name, dn);
    std::unique_ptr<DIRECTORY_OBJECT> group = OpenObject(u"Group", dn, binding);
    if (!group) return false;
    return AddObjectGroups(*group, dn, groups, binding);
}

bool AddObjectGroups(DIRECTORY_OBJECT& object, const char16_t* name, GROUP_LIST& groups,
                     const DIRECTORY_BINDING& binding) {
    DIRECTORY_VALUE value;
    uint32_t code = object.GetEx(MEMBER_OF, value);
    if (code == E_ADS_PROPERTY_NOT_FOUND) return true;
    if (code != 0) {
        LogPropertyFailure(u"AddObjectGroups", MEMBER_OF, name, code);
        return false;
    }
    if (value.Type == VARIANT_BSTR && !value.Strings.empty()) return AddGroup(value.Strings.front().Text(), groups, binding);
    if (value.Type == (VARIANT_ARRAY | VARIANT_VARIANT)) {
        for (const STRING& dn : value.Strings) {
            if (!AddGroup(dn.Text(), groups, binding)) return false;
        }
        return true;
    }
    DebugLogEx(DBGOUT_CUSTOM1, u"AddObjectGroups: Unexpected VARIANT type = %#x", value.Type);
    return false;
}

bool GetPrimaryGroup(DIRECTORY_OBJECT& object, const char16_t* name, GROUP_LIST& groups,
                     const DIRECTORY_BINDING& binding) {
    DIRECTORY_VALUE groupId;
    uint32_t code = object.Get(PRIMARY_GROUP_ID, groupId);
    if (code != 0) {
        LogPropertyFailure(u"GetPrimaryGroup", PRIMARY_GROUP_ID, name, code);
        return false;
    }
    if (groupId.Type != VARIANT_I4) {
        DebugLog(u"AddObjectGroups: Unexpected VARIANT type = %#x", groupId.Type);
        return false;
    }
    DIRECTORY_VALUE sid;
    code = object.Get(OBJECT_SID, sid);
    if (code != 0) {
        LogPropertyFailure(u"GetPrimaryGroup", OBJECT_SID, name, code);
        return false;
    }
    if (sid.Type != (VARIANT_ARRAY | VARIANT_UI1)) {
        DebugLog(u"AddObjectGroups: Unexpected VARIANT type = %#x", sid.Type);
        return false;
    }
    if (sid.BytesCode != 0) {
        DebugLogEx(DBGOUT_CUSTOM1, u"GetPrimaryGroup: Unable to access \"%s\" array data for \"%s\".\n    %s. Error code = %#lx.",
                   OBJECT_SID, name, AdsErrorText(sid.BytesCode), sid.BytesCode);
        return false;
    }
    STRING sidText = SidBytesToText(sid.Bytes);
    if (sidText.IsEmpty()) {
        DebugLogEx(DBGOUT_CUSTOM1, u"GetPrimaryGroup: Unable to convert primary group SID to a string.");
        return false;
    }
    int64_t dash = -1;
    for (uint32_t i = 0; i < sidText.Length(); ++i) {
        if (sidText.Text()[i] == u'-') dash = i;
    }
    if (dash < 0) {
        DebugLogEx(DBGOUT_CUSTOM1, u"GetPrimaryGroup: primary group SID \"%s\" does not contain a dash (-).", sidText);
        return false;
    }
    // The object's domain SID with the primary group's relative ID.
    STRING domainPart(sidText.Text(), static_cast<uint32_t>(dash + 1));
    STRING groupSid;
    FormatString(groupSid, u"%s%u", domainPart, static_cast<uint32_t>(groupId.Number));
    STRING dn;
    if (!TranslateName(ADS_NAME_TYPE_SID_OR_SID_HISTORY_NAME, groupSid.Text(), ADS_NAME_TYPE_1779, binding, dn)) {
        DebugLogEx(DBGOUT_CUSTOM1, u"GetPrimaryGroup: Unable to convert SID \"%s\" to a DN.", groupSid);
        return false;
    }
    DebugLog(u"GetPrimaryGroup: DN = \"%s\".", dn);
    return AddGroup(dn.Text(), groups, binding);
}

}  // namespace qv
