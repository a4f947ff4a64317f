#pragma once
// Helpers shared by the runtime's files: log channels and type-word tests.
#include <cstdarg>
#include <cstdint>
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

// Encodes a record straight into `out`; false on failure.
bool encodeInto(const MessageInfo* info, platform::Bytes& out);

// Frees one element of a repeated field (or a singular value) of the given kind.
void freeValue(void* value, uint32_t type);

}  // namespace zidedova::nano

// The stream callbacks (nanopb's callback signature) and the two-pass encoder over a filled structure.
#include <pb.h>
namespace zidedova {
bool NANODecodeString(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANODecodeRepeatedUInt64(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool NANOEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool NANOEncodeRepeatedUInt64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
int32_t NANOEncodeMessage(const pb_msgdesc_t* fields, const void* structure, uint8_t** out);
}  // namespace zidedova
