#include "transform/posix/transform_encoding.h"

#include "transform/codepage.h"
#include "transform/little_endian.h"

namespace qv {

namespace {

constexpr uint32_t SHORT_REFERENCE_LIMIT = 0xFFFF;
constexpr uint32_t MASK_WHOLE_ROW = 1;
constexpr uint32_t MASKABLE_COLUMNS = 16;
constexpr size_t MAXIMUM_WHOLE_ROW_COLUMNS = 255;

void AppendField(std::string& bytes, const COLUMN& column, const FIELD& field, const STRING_POOL& pool) {
    if (column.IsBinary()) {
        // Stream data travels in a stream named by the row; the field itself says nothing.
        AppendLittleEndian(bytes, 0, 2);
    } else if (column.IsText()) {
        AppendLittleEndian(bytes, field.Null ? 0 : pool.NumberOf(field.Text), pool.ReferenceSize());
    } else if (column.IntegerSize() == 2) {
        AppendLittleEndian(bytes, field.Null ? 0 : static_cast<uint32_t>(field.Integer + 0x8000), 2);
    } else {
        AppendLittleEndian(bytes, field.Null ? 0 : static_cast<uint32_t>(field.Integer) ^ 0x80000000u, 4);
    }
}

// The mask of a changed row, or 0 when a change lies beyond what a mask can name: past its
// 16 bits, or in a first column that isn't a key (its bit is the whole-row mark).
uint32_t ChangeMask(const std::vector<bool>& changed) {
    uint32_t mask = 0;
    for (size_t i = 0; i < changed.size(); ++i) {
        if (!changed[i]) continue;
        if (i == 0 || i >= MASKABLE_COLUMNS) return 0;
        mask |= 1u << i;
    }
    return mask;
}

// The record's mask: a deletion, the changed columns, or the whole row (an insertion, or a
// change the mask can't name).
uint32_t RecordMask(const TABLE_CHANGES& table, const ROW_CHANGE& change) {
    if (change.Kind == ROW_CHANGE_KIND::DELETE) return 0;
    if (change.Kind == ROW_CHANGE_KIND::MODIFY) {
        if (const uint32_t mask = ChangeMask(change.Changed); mask != 0) return mask;
    }
    return (static_cast<uint32_t>(table.Columns.size()) << 8) | MASK_WHOLE_ROW;
}

bool IsWritten(uint32_t mask, const COLUMN& column, size_t index) {
    return (mask & MASK_WHOLE_ROW) != 0 || column.IsKey() || (index < MASKABLE_COLUMNS && (mask & (1u << index)) != 0);
}

}  // namespace

void STRING_POOL::Add(const std::string& text) {
    if (text.empty()) return;
    const auto [entry, added] = Numbers.emplace(text, static_cast<uint32_t>(Texts.size() + 1));
    if (added) {
        Texts.push_back(text);
        Uses.push_back(0);
    }
    uint32_t& uses = Uses[entry->second - 1];
    if (uses < 0xFFFF) ++uses;
}

uint32_t STRING_POOL::NumberOf(const std::string& text) const {
    const auto found = Numbers.find(text);
    return found == Numbers.end() ? 0 : found->second;
}

uint32_t STRING_POOL::ReferenceSize() const { return Texts.size() > SHORT_REFERENCE_LIMIT ? 3 : 2; }

bool STRING_POOL::Encode(uint32_t codepage, std::string& pool, std::string& data, std::string& problem) const {
    pool.clear();
    data.clear();
    AppendLittleEndian(pool, codepage | (ReferenceSize() == 3 ? LONG_STRING_REFERENCES : 0), 4);
    CODEPAGE_TEXT converter(codepage);
    for (size_t i = 0; i < Texts.size(); ++i) {
        std::string bytes;
        if (!converter.Encode(Texts[i], bytes)) {
            problem = "The text \"" + Texts[i] + "\" has characters that code page " + std::to_string(codepage) +
                      " can't hold";
            return false;
        }
        const uint32_t length = static_cast<uint32_t>(bytes.size());
        if (length > 0xFFFF) {
            // A long text takes two entries: a null one whose use count holds the high half
            // of the length, then the low half with the real use count.
            AppendLittleEndian(pool, 0, 2);
            AppendLittleEndian(pool, length >> 16, 2);
        }
        AppendLittleEndian(pool, length & 0xFFFF, 2);
        AppendLittleEndian(pool, Uses[i], 2);
        data += bytes;
    }
    return true;
}

void AddTexts(const TABLE_CHANGES& table, STRING_POOL& pool) {
    for (const ROW_CHANGE& change : table.Rows) {
        const uint32_t mask = RecordMask(table, change);
        for (size_t i = 0; i < table.Columns.size(); ++i) {
            const COLUMN& column = table.Columns[i];
            if (IsWritten(mask, column, i) && column.IsText() && !change.Fields[i].Null) pool.Add(change.Fields[i].Text);
        }
    }
}

bool EncodeTableChanges(const TABLE_CHANGES& table, const STRING_POOL& pool, std::string& stream,
                        std::string& problem) {
    stream.clear();
    const std::vector<COLUMN>& columns = table.Columns;
    for (const ROW_CHANGE& change : table.Rows) {
        const uint32_t mask = RecordMask(table, change);
        if ((mask & MASK_WHOLE_ROW) != 0 && (columns.size() > MAXIMUM_WHOLE_ROW_COLUMNS || HasBinaryColumn(columns))) {
            problem = "A row of table " + table.Name + " can't be written whole";
            return false;
        }
        AppendLittleEndian(stream, mask, 2);
        for (size_t i = 0; i < columns.size(); ++i) {
            if (IsWritten(mask, columns[i], i)) AppendField(stream, columns[i], change.Fields[i], pool);
        }
    }
    return true;
}

}  // namespace qv
