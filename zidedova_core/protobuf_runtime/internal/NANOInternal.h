#pragma once
// Helpers shared by the runtime's files: log channels and type-word tests.
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>

#include "zidedova_core/protobuf_runtime/NANOMessage.h"

namespace zidedova::nano {

// printf-style lines to the two channels (see NANOLogSink).
void systemLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void print(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline bool isRepeated(uint32_t type) { return (type & kNANOTypeRepeated) != 0; }
inline bool isCellKind(uint32_t type) {
    return (type & (kNANOTypeBool | kNANOTypeEnum | kNANOTypeInt32 | kNANOTypeUInt32 | kNANOTypeInt64 |
                    kNANOTypeUInt64 | kNANOTypeFloat | kNANOTypeDouble)) != 0;
}
inline bool isStringKind(uint32_t type) { return (type & (kNANOTypeString | kNANOTypeBytes)) != 0; }
inline bool isMessageKind(uint32_t type) { return (type & kNANOTypeMessage) != 0; }
inline bool isVarintKind(uint32_t type) {
    return (type &
            (kNANOTypeBool | kNANOTypeEnum | kNANOTypeInt32 | kNANOTypeUInt32 | kNANOTypeInt64 | kNANOTypeUInt64)) != 0;
}

// A record with a slot array, a schema and an index inside it.
inline bool validIndex(const MessageInfo* info, int32_t index) {
    return info && info->fields && info->schema && index >= 0 && uint32_t(index) < info->schema->slotCount;
}

// A record's slot array and its cells are one block: `slotCount` slot pointers, then one 16-byte cell
// per slot. A singular scalar or string of slot i, and the NANOArray record of a repeated slot, live in
// cell i (the slot points at it when present), so a message costs two allocations however many fields
// it has. Values are only freed on their own when they live elsewhere (nested messages, string bytes,
// and values put in a slot from outside).
inline constexpr size_t kCellBytes = 16;
static_assert(sizeof(NANOString) <= kCellBytes && sizeof(NANOArray) <= kCellBytes);

inline void* inlineCell(const MessageInfo* info, uint32_t index) {
    return reinterpret_cast<char*>(info->fields + info->schema->slotCount) + size_t(index) * kCellBytes;
}
inline bool isInlineCell(const MessageInfo* info, uint32_t index, const void* value) {
    return value == inlineCell(info, index);
}
// The slot of a singular scalar or string, pointed at its cell when it was empty.
inline void** cellSlot(MessageInfo* info, uint32_t index) {
    void** slot = &info->fields[index];
    if (!*slot) *slot = std::memset(inlineCell(info, index), 0, kCellBytes);
    return slot;
}

// Element arrays are laid out the same way: `count` element pointers, then for cell and string kinds
// one 16-byte cell per element. The array's count must not change while its elements exist.
void** allocateElements(uint32_t count, uint32_t type);
// The slot of element e, pointed at its cell when it was empty (cell and string kinds).
void** elementSlot(NANOArray* array, uint32_t e, uint32_t type);

// Encodes a record straight into `out`; false on failure.
bool encodeInto(const MessageInfo* info, platform::Bytes& out);

// Frees one element of a repeated field (or a singular value) of the given kind.
void freeValue(void* value, uint32_t type);

}  // namespace zidedova::nano

// The encoding stream callbacks (nanopb's callback signature) and the two-pass encoder over a filled
// structure.
#include <pb.h>
namespace zidedova {
bool NANOEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedUInt64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
int32_t NANOEncodeMessage(const pb_msgdesc_t* fields, const void* structure, uint8_t** out);
}  // namespace zidedova
