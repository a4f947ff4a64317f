// Decoding and encoding of records through nanopb: one generic routine per step, driven by the
// message's schema (slot -> field number, nested schemas) and the descriptor nanopb generated.
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "zidedova_core/protobuf_runtime/internal/NANOInternal.h"

namespace zidedova {

using namespace nano;

namespace {

// What a repeated-message callback needs beyond the array: the element message.
struct RepeatedMessageArg {
    NANOArray* array;
    const NANOMessageSchema* element;
};

// Callback arguments live here for the length of one decode or encode.
using ArgArena = std::deque<RepeatedMessageArg>;

// Zeroed storage for one nanopb structure (its members need at most 8-byte alignment). Every byte is
// zeroed, padding included: a callback slot read from garbage would be called.
class StructBuffer {
public:
    explicit StructBuffer(size_t size) : storage_((size + 7) / 8, 0) {}
    void* data() { return storage_.data(); }

private:
    std::vector<uint64_t> storage_;
};

bool findField(pb_field_iter_t& iter, const pb_msgdesc_t* descriptor, void* structure, uint32_t fieldNumber) {
    return pb_field_iter_begin(&iter, descriptor, structure) && pb_field_iter_find(&iter, fieldNumber) &&
           iter.tag == fieldNumber;
}

// The descriptor's field agrees with the slot's type word, so the runtime never reads or writes the
// structure with the wrong layout.
bool fieldMatches(const pb_field_iter_t& iter, uint32_t type) {
    bool callback = PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK;
    if (isRepeated(type) || isStringKind(type)) return callback && iter.data_size == sizeof(pb_callback_t);
    if (callback || PB_HTYPE(iter.type) != PB_HTYPE_OPTIONAL || !iter.pSize) return false;
    if (isMessageKind(type)) return PB_LTYPE_IS_SUBMSG(iter.type);
    if (type & kNANOTypeBool) return iter.data_size == sizeof(bool);
    if (type & (kNANOTypeEnum | kNANOTypeInt32 | kNANOTypeUInt32 | kNANOTypeFloat))
        return iter.data_size == 4;
    if (type & (kNANOTypeInt64 | kNANOTypeUInt64 | kNANOTypeDouble)) return iter.data_size == 8;
    return false;
}

// ---------------------------------------------------------------- decoding

bool decodeRepeatedMessage(pb_istream_t* stream, const pb_field_t* field, void** arg);

bool setDecodeCallbacks(MessageInfo* info, void* structure, ArgArena& arena) {
    const NANOMessageSchema& schema = *info->schema;
    for (uint32_t i = 0; i < schema.slotCount; ++i) {
        uint32_t type = schema.types[i];
        pb_field_iter_t iter;
        if (!findField(iter, schema.descriptor, structure, schema.fieldNumbers[i]) ||
            !fieldMatches(iter, type))
            return false;
        if (isRepeated(type)) {
            auto* array = static_cast<NANOArray*>(info->fields[i]);
            if (!array) return false;
            NANOFreeArray(array, type);
            auto* callback = static_cast<pb_callback_t*>(iter.pData);
            if (isMessageKind(type)) {
                if (!schema.nested[i]) return false;
                arena.push_back({array, schema.nested[i]});
                callback->funcs.decode = decodeRepeatedMessage;
                callback->arg = &arena.back();
            } else if (isStringKind(type)) {
                callback->funcs.decode = NANODecodeRepeatedString;
                callback->arg = array;
            } else if (isVarintKind(type)) {
                callback->funcs.decode = NANODecodeRepeatedUInt64;
                callback->arg = array;
            } else {
                return false;  // repeated fixed-width kinds are not carried by this runtime
            }
        } else if (isStringKind(type)) {
            auto* callback = static_cast<pb_callback_t*>(iter.pData);
            callback->funcs.decode = NANODecodeString;
            callback->arg = &info->fields[i];
        } else if (isMessageKind(type)) {
            if (!schema.nested[i]) return false;
            NANOFreeField(info, int32_t(i));
            auto* nested = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
            info->fields[i] = nested;
            if (!nested || !NANOInitMessageInfo(nested, *schema.nested[i])) return false;
            if (!setDecodeCallbacks(nested, iter.pData, arena)) return false;
        }
    }
    return true;
}

// Element arrays for what the first pass counted, nested messages included.
bool allocateArrays(MessageInfo* info) {
    const NANOMessageSchema& schema = *info->schema;
    for (uint32_t i = 0; i < schema.slotCount; ++i) {
        uint32_t type = schema.types[i];
        if (isRepeated(type)) {
            auto* array = static_cast<NANOArray*>(info->fields[i]);
            if (!array) {
                print("<ERROR> Cannot allocate %s arrays. Missing params field (%s)", schema.name,
                      schema.slotNames[i] ? schema.slotNames[i] : "?");
                return false;
            }
            array->filled = 0;
            if (array->count > 0) {
                array->elements = static_cast<void**>(std::calloc(array->count, sizeof(void*)));
                if (!array->elements) {
                    array->count = 0;
                    return false;
                }
            }
        } else if (isMessageKind(type) && info->fields[i]) {
            if (!allocateArrays(static_cast<MessageInfo*>(info->fields[i]))) return false;
        }
    }
    return true;
}

// Present scalars into their cells; absent nested messages dropped; present ones recursed into.
void storeDecodedFields(MessageInfo* info, void* structure) {
    const NANOMessageSchema& schema = *info->schema;
    for (uint32_t i = 0; i < schema.slotCount; ++i) {
        uint32_t type = schema.types[i];
        if (isRepeated(type) || isStringKind(type)) continue;
        pb_field_iter_t iter;
        if (!findField(iter, schema.descriptor, structure, schema.fieldNumbers[i])) continue;
        bool present = iter.pSize && *static_cast<const bool*>(iter.pSize);
        if (isMessageKind(type)) {
            if (!present) {
                NANOFreeField(info, int32_t(i));
            } else if (info->fields[i]) {
                storeDecodedFields(static_cast<MessageInfo*>(info->fields[i]), iter.pData);
            }
            continue;
        }
        if (!present) continue;
        void** slot = &info->fields[i];
        if (type & kNANOTypeBool) {
            NANOStoreBool(slot, *static_cast<const bool*>(iter.pData));
        } else if (type & (kNANOTypeEnum | kNANOTypeInt32 | kNANOTypeUInt32)) {
            uint32_t v;
            std::memcpy(&v, iter.pData, sizeof v);
            NANOStoreUInt32(slot, v);
        } else if (type & (kNANOTypeInt64 | kNANOTypeUInt64)) {
            uint64_t v;
            std::memcpy(&v, iter.pData, sizeof v);
            NANOStoreUInt64(slot, v);
        } else if (type & kNANOTypeFloat) {
            float v;
            std::memcpy(&v, iter.pData, sizeof v);
            NANOStoreFloat(slot, v);
        } else if (type & kNANOTypeDouble) {
            double v;
            std::memcpy(&v, iter.pData, sizeof v);
            NANOStoreDouble(slot, v);
        }
    }
}

// Repeated fields here or in a singular nested message need the counting pass.
bool needsSecondPass(const NANOMessageSchema& schema) {
    for (uint32_t i = 0; i < schema.slotCount; ++i) {
        if (isRepeated(schema.types[i])) return true;
        if (isMessageKind(schema.types[i]) && schema.nested[i] && needsSecondPass(*schema.nested[i]))
            return true;
    }
    return false;
}

bool decodeRepeatedMessage(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto* ctx = arg ? static_cast<RepeatedMessageArg*>(*arg) : nullptr;
    const char* name = ctx && ctx->element ? ctx->element->name : "(unknown)";
    if (!ctx || !ctx->array || !ctx->element) {
        print("<ERROR> %s decoder failed: Invalid arg parameter", name);
        return false;
    }
    NANOArray* array = ctx->array;
    if (!array->elements) {
        if (!pb_read(stream, nullptr, stream->bytes_left)) {
            print("<ERROR> %s decoder failed: %s\n", name, PB_GET_ERROR(stream));
            return false;
        }
        if (array->count == UINT32_MAX) return false;
        array->count++;
        return true;
    }
    if (array->filled >= array->count) {
        print("<ERROR> %s decoder failed: More elements than counted", name);
        return false;
    }
    std::vector<pb_byte_t> buffer(stream->bytes_left);
    if (!pb_read(stream, buffer.data(), buffer.size())) {
        print("<ERROR> %s decoder failed: Unable to extract buffer from stream", name);
        return false;
    }
    auto* element = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    if (!element || !NANOInitMessageInfo(element, *ctx->element)) {
        NANOFreeMessageInfo(element);
        print("<ERROR> %s decoder failed: Unable to initialize MessageInfo", name);
        return false;
    }
    array->elements[array->filled++] = element;
    if (!NANODecodeMessageInfo(buffer.data(), buffer.size(), element)) {
        print("<ERROR> %s decoder failed: Unable to decode repeated %s", name, name);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- encoding

bool encodeRepeatedMessage(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

bool prepareEncode(const MessageInfo* info, void* structure, ArgArena& arena) {
    const NANOMessageSchema& schema = *info->schema;
    for (uint32_t i = 0; i < schema.slotCount; ++i) {
        uint32_t type = schema.types[i];
        void* value = info->fields[i];
        pb_field_iter_t iter;
        if (!findField(iter, schema.descriptor, structure, schema.fieldNumbers[i]) ||
            !fieldMatches(iter, type))
            return false;
        if (isRepeated(type)) {
            auto* array = static_cast<NANOArray*>(value);
            if (!array) {
                print("<ERROR> %s Encoder: '%s' should have been allocated", schema.name,
                      schema.slotNames[i] ? schema.slotNames[i] : "?");
                return false;
            }
            if (array->count == 0) continue;
            auto* callback = static_cast<pb_callback_t*>(iter.pData);
            if (isMessageKind(type)) {
                if (!schema.nested[i]) return false;
                arena.push_back({array, schema.nested[i]});
                callback->funcs.encode = encodeRepeatedMessage;
                callback->arg = &arena.back();
            } else if (isStringKind(type)) {
                callback->funcs.encode = NANOEncodeRepeatedString;
                callback->arg = array;
            } else if (isVarintKind(type)) {
                callback->funcs.encode = NANOEncodeRepeatedUInt64;
                callback->arg = array;
            } else {
                return false;
            }
            continue;
        }
        if (!value) continue;
        if (isStringKind(type)) {
            auto* callback = static_cast<pb_callback_t*>(iter.pData);
            callback->funcs.encode = NANOEncodeString;
            callback->arg = value;
            continue;
        }
        *static_cast<bool*>(iter.pSize) = true;
        if (isMessageKind(type)) {
            if (!prepareEncode(static_cast<const MessageInfo*>(value), iter.pData, arena)) return false;
        } else if (type & kNANOTypeBool) {
            *static_cast<bool*>(iter.pData) = *static_cast<const uint8_t*>(value) != 0;
        } else {
            // Cells are little-endian words: the field takes its low bytes.
            std::memcpy(iter.pData, value, iter.data_size);
        }
    }
    return true;
}

bool encodeRepeatedMessage(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    auto* ctx = arg ? static_cast<const RepeatedMessageArg*>(*arg) : nullptr;
    if (!ctx || !ctx->array || !ctx->element) return false;
    const NANOArray* array = ctx->array;
    if (array->count > 0 && !array->elements) return false;
    for (uint32_t e = 0; e < array->count; ++e) {
        auto* element = static_cast<const MessageInfo*>(array->elements[e]);
        if (!element || element->schema != ctx->element) return false;
        StructBuffer structure(ctx->element->structSize);
        ArgArena arena;
        if (!prepareEncode(element, structure.data(), arena)) return false;
        if (!pb_encode_tag_for_field(stream, field)) return false;
        if (!pb_encode_submessage(stream, ctx->element->descriptor, structure.data())) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- stream callbacks

bool NANODecodeString(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto** slot = arg ? static_cast<void**>(*arg) : nullptr;
    if (!slot) return false;
    if (auto* existing = static_cast<NANOString*>(*slot)) {
        if (!existing->bytes) {
            print("<ERROR> String decoder failed: string data is NULL");
            return false;
        }
        return pb_read(stream, nullptr, stream->bytes_left);  // the first occurrence wins
    }
    size_t length = stream->bytes_left;
    if (length > kNANOMaxDecodedStringBytes) {
        print("Unable to process proto stream. Buffer is too big. %zu > %d", length,
              int(kNANOMaxDecodedStringBytes));
        return false;
    }
    auto* record = static_cast<NANOString*>(std::calloc(1, sizeof(NANOString)));
    if (!record) return false;
    *slot = record;
    record->bytes = static_cast<uint8_t*>(std::calloc(length + 1, 1));
    if (!record->bytes) return false;
    if (!pb_read(stream, record->bytes, length)) {
        std::free(record->bytes);
        record->bytes = nullptr;
        return false;
    }
    record->length = uint32_t(length);
    return true;
}

bool NANODecodeRepeatedString(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto* array = arg ? static_cast<NANOArray*>(*arg) : nullptr;
    if (!array) return false;
    if (!array->elements) {
        if (array->count == UINT32_MAX) return false;
        array->count++;
        return pb_read(stream, nullptr, stream->bytes_left);
    }
    if (array->filled >= array->count) return false;
    void* slot = &array->elements[array->filled++];
    return NANODecodeString(stream, field, &slot);
}

bool NANODecodeRepeatedUInt64(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto* array = arg ? static_cast<NANOArray*>(*arg) : nullptr;
    if (!array) return false;
    uint64_t value = 0;
    if (!pb_decode_varint(stream, &value)) return false;
    if (!array->elements) {
        if (array->count == UINT32_MAX) return false;
        array->count++;
        return true;
    }
    if (array->filled >= array->count) return false;
    NANOStoreUInt64(&array->elements[array->filled++], value);
    return true;
}

bool NANOEncodeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    auto* record = arg ? static_cast<const NANOString*>(*arg) : nullptr;
    if (!record || !record->bytes) return false;
    return pb_encode_tag_for_field(stream, field) && pb_encode_string(stream, record->bytes, record->length);
}

bool NANOEncodeRepeatedString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    auto* array = arg ? static_cast<const NANOArray*>(*arg) : nullptr;
    if (!array) return false;
    if (array->count == 0) return true;
    if (!array->elements) return false;
    for (uint32_t e = 0; e < array->count; ++e) {
        void* element = array->elements[e];
        if (!NANOEncodeString(stream, field, &element)) return false;
    }
    return true;
}

bool NANOEncodeRepeatedUInt64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    auto* array = arg ? static_cast<const NANOArray*>(*arg) : nullptr;
    if (!array) return false;
    if (array->count == 0) return true;
    if (!array->elements) return false;
    for (uint32_t e = 0; e < array->count; ++e) {
        auto* cell = static_cast<const uint64_t*>(array->elements[e]);
        if (!cell) return false;
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, *cell)) return false;
    }
    return true;
}

int32_t NANOEncodeMessage(const pb_msgdesc_t* fields, const void* structure, uint8_t** out) {
    if (!out) return -1;
    *out = nullptr;
    size_t size = 0;
    if (!pb_get_encoded_size(&size, fields, structure) || size > INT32_MAX) return -1;
    auto* buffer = static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
    if (!buffer) return -1;
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, size);
    if (!pb_encode(&stream, fields, structure) || stream.bytes_written != size) {
        std::free(buffer);
        return -1;
    }
    *out = buffer;
    return int32_t(size);
}

// ---------------------------------------------------------------- messages

bool NANODecodeMessageInfo(const uint8_t* bytes, size_t length, MessageInfo* info) {
    if (!info || !info->fields || !info->schema) {
        print("<ERROR> %s decoder failed: message_info is NULL",
              info && info->messageID ? info->messageID : "Message");
        return false;
    }
    const NANOMessageSchema& schema = *info->schema;
    StructBuffer structure(schema.structSize);
    ArgArena arena;
    if (!setDecodeCallbacks(info, structure.data(), arena)) {
        print("<ERROR> %s decoder failed: Unable to set decoders", schema.name);
        return false;
    }
    pb_istream_t first = pb_istream_from_buffer(bytes, length);
    if (!pb_decode(&first, schema.descriptor, structure.data())) {
        print("<ERROR> %s decoder failed: %s\n", schema.name, PB_GET_ERROR(&first));
        return false;
    }
    if (needsSecondPass(schema)) {
        if (!allocateArrays(info)) {
            print("<ERROR> %s decoder failed: Unable to allocate arrays", schema.name);
            return false;
        }
        pb_istream_t second = pb_istream_from_buffer(bytes, length);
        if (!pb_decode(&second, schema.descriptor, structure.data())) {
            print("<ERROR> %s decoder failed: %s\n", schema.name, PB_GET_ERROR(&second));
            return false;
        }
    }
    storeDecodedFields(info, structure.data());
    return true;
}

int32_t NANOEncodeMessageInfo(const MessageInfo* info, uint8_t** out) {
    if (!out) return -1;
    *out = nullptr;
    if (!info || !info->fields || !info->schema) return -1;
    const NANOMessageSchema& schema = *info->schema;
    StructBuffer structure(schema.structSize);
    ArgArena arena;
    if (!prepareEncode(info, structure.data(), arena)) return -1;
    return NANOEncodeMessage(schema.descriptor, structure.data(), out);
}

}  // namespace zidedova
