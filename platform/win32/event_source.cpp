// The event log and the message table on Windows: a registered event source of the Application
// log, and the MESSAGETABLE resource that windmc compiled from resources/messages.mc.
#include "platform/event_source.h"

#include <utility>

#include "base/message_format.h"
#include "platform/last_error.h"
#include "platform/win32/format_message.h"
#include "platform/win32/win32.h"

namespace qv {

bool SYSTEM_EVENT_SOURCE::Register(const char16_t* sourceName) {
    Deregister();
    HANDLE source = RegisterEventSourceW(nullptr, AsWide(sourceName));
    if (source == nullptr) return false;
    Native = source;
    return true;
}

void SYSTEM_EVENT_SOURCE::Deregister() {
    if (Native != nullptr) {
        DeregisterEventSource(static_cast<HANDLE>(Native));
        Native = nullptr;
    }
}

bool SYSTEM_EVENT_SOURCE::Write(uint16_t type, uint16_t category, uint32_t eventId, uint16_t stringCount,
                                const char16_t* const* strings, uint32_t dataSize, const void* data) {
    if (Native == nullptr) {
        SetLastErrorCode(ERR_INVALID_HANDLE);
        return false;
    }
    // ReportEventW's parameters are not const-qualified, but it only reads them.
    return ReportEventW(static_cast<HANDLE>(Native), type, category, eventId, nullptr, stringCount, dataSize,
                        const_cast<LPCWSTR*>(reinterpret_cast<const wchar_t* const*>(strings)),
                        const_cast<void*>(data)) != FALSE;
}

bool LoadMessageText(MODULE_HANDLE module, uint32_t messageNumber, STRING& text) {
    text.Clear();
    HMODULE image = module != nullptr ? static_cast<HMODULE>(module) : GetModuleHandleW(nullptr);
    // windmc names the message table 1, as the Windows message compiler does.
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), reinterpret_cast<LPCWSTR>(RT_MESSAGETABLE));
    if (found == nullptr) return false;
    HGLOBAL loaded = LoadResource(image, found);
    const DWORD size = SizeofResource(image, found);
    const auto* base = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
    if (base == nullptr || size < sizeof(DWORD)) {
        SetLastErrorCode(ERR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }

    // The layout: a count of blocks, each block a range of numbers and the offset of its
    // entries; each entry its length (with its 4-byte head), its flags (1: UTF-16) and the text.
    const auto* table = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(base);
    const DWORD blocks = table->NumberOfBlocks;
    if (sizeof(DWORD) + static_cast<uint64_t>(blocks) * sizeof(MESSAGE_RESOURCE_BLOCK) > size) {
        SetLastErrorCode(ERR_RESOURCE_DATA_NOT_FOUND);
        return false;
    }
    for (DWORD b = 0; b < blocks; ++b) {
        const MESSAGE_RESOURCE_BLOCK& block = table->Blocks[b];
        if (messageNumber < block.LowId || messageNumber > block.HighId) continue;
        uint64_t offset = block.OffsetToEntries;
        for (DWORD id = block.LowId;; ++id) {
            if (offset + 4 > size) break;
            const auto* entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(base + offset);
            if (entry->Length < 4 || offset + entry->Length > size) break;
            if (id == messageNumber) {
                const uint32_t bytes = entry->Length - 4u;
                if (entry->Flags & 1) {
                    const auto* units = reinterpret_cast<const char16_t*>(entry->Text);
                    uint32_t count = 0;
                    while (count < bytes / 2 && units[count] != 0) ++count;
                    text.Assign(units, count);
                } else {
                    const auto* narrow = reinterpret_cast<const char*>(entry->Text);
                    int count = 0;
                    while (static_cast<uint32_t>(count) < bytes && narrow[count] != 0) ++count;
                    int wide = MultiByteToWideChar(CP_ACP, 0, narrow, count, nullptr, 0);
                    STRING converted(static_cast<uint32_t>(wide));
                    if (wide > 0) MultiByteToWideChar(CP_ACP, 0, narrow, count, AsWide(converted.Buffer()), wide);
                    text = std::move(converted);
                }
                return true;
            }
            if (id == block.HighId) break;
            offset += entry->Length;
        }
    }
    SetLastErrorCode(ERROR_MR_MID_NOT_FOUND);
    return false;
}

bool FormatModuleMessage(MODULE_HANDLE module, uint32_t messageNumber, const char16_t* const* inserts,
                         uint32_t insertCount, uint32_t maximumWidth, STRING& text) {
    text.Clear();
    // FormatMessageW reads as many inserts as the text names and cannot know how many there
    // are: every number it may read gets an entry, the missing ones empty.
    DWORD_PTR arguments[MESSAGE_MAXIMUM_INSERTS];
    for (uint32_t i = 0; i < MESSAGE_MAXIMUM_INSERTS; ++i) {
        const char16_t* insert = i < insertCount ? inserts[i] : u"";
        arguments[i] = reinterpret_cast<DWORD_PTR>(insert);
    }
    // A null module is the program's own image, which FormatMessageW searches by itself.
    const DWORD flags =
        FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | (maximumWidth & FORMAT_MESSAGE_MAX_WIDTH_MASK);
    return FormatMessageText(flags, module, messageNumber, 0, reinterpret_cast<va_list*>(arguments), text);
}

}  // namespace qv
