// Decoding and encoding of records through nanopb: one generic routine per step, driven by the
// message's schema (slot -> field number, nested schemas) and the descriptor nanopb generated.
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
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

// The descriptor's field agrees with the slot's type word, so the runtime never reads or writes the
// structure with the wrong layout.
bool fieldMatches(const pb_field_iter_t& iter, uint32_t type) {
    bool callback = PB_ATYPE(iter.type) == PB_ATYPE_CALLBACK;
    if (isRepeated(type) || isStringKind(type)) return callback && iter.data_size == sizeof(pb_callback_t);
    if (callback || PB_HTYPE(iter.type) != PB_HTYPE_OPTIONAL || !iter.pSize) return false;
    if (isMessageKind(type)) return PB_LTYPE_IS_SUBMSG(iter.type);
    if (type & kNANOTypeBool) return iter.data_size == sizeof(bool);
    if (type & (kNANOTypeEnum | kNANOTypeInt32 | kNANOTypeUInt32 | kNANOTypeFloat)) return iter.data_size == 4;
    if (type & (kNANOTypeInt64 | kNANOTypeUInt64 | kNANOTypeDouble)) return iter.data_size == 8;
    return false;
}

// Zeroed storage for one nanopb structure (its members need at most 8-byte alignment). Every byte is
// zeroed, padding included: a callback slot read from garbage would be called.
class StructBuffer {
public:
    explicit StructBuffer(size_t size) {
        size_t words = (size + 7) / 8;
        if (words > kInlineWords)
            heap_.assign(words, 0);
        else
            std::memset(inline_, 0, words * 8);
    }
    void* data() { return heap_.empty() ? static_cast<void*>(inline_) : heap_.data(); }

private:
    static constexpr size_t kInlineWords = 256;
    uint64_t inline_[kInlineWords];
    std::vector<uint64_t> heap_;
};

// Where each slot's field lives in the nanopb structure (offsets from its start), worked out once per
// message from the descriptor and checked against the type words.
struct SlotLayout {
    bool valid = false;
    struct Entry {
        ptrdiff_t data = 0;
        ptrdiff_t size = -1;  // the has_ flag; -1 when the field has none
        size_t dataSize = 0;
    };
    std::vector<Entry> slots;
};

// One slot's field inside a particular structure (the names follow nanopb's field iterator).
struct SlotField {
    void* pData;
    void* pSize;
    size_t data_size;
};

SlotLayout computeSlotLayout(const NANOMessageSchema& schema) {
    SlotLayout layout;
    layout.slots.resize(schema.slotCount);
    StructBuffer probe(schema.structSize);
    auto* base = static_cast<char*>(probe.data());
    std::vector<bool> seen(schema.slotCount, false);
    pb_field_iter_t iter;
    if (pb_field_iter_begin(&iter, schema.descriptor, base)) {
        do {
            for (uint32_t i = 0; i < schema.slotCount; ++i) {
                if (schema.fieldNumbers[i] != iter.tag) continue;
                if (seen[i] || !fieldMatches(iter, schema.types[i])) return layout;
                seen[i] = true;
                auto& entry = layout.slots[i];
                entry.data = static_cast<char*>(iter.pData) - base;
                entry.size = iter.pSize ? static_cast<char*>(iter.pSize) - base : -1;
                entry.dataSize = iter.data_size;
            }
        } while (pb_field_iter_next(&iter));
    }
    for (bool s : seen)
        if (!s) return layout;
    layout.valid = true;
    return layout;
}

const SlotLayout& sharedSlotLayout(const NANOMessageSchema& schema) {
    // Never destroyed: the logger's queue may still encode while the process exits.
    static auto* mutex = new std::mutex;
    static auto* cache = new std::map<const NANOMessageSchema*, std::unique_ptr<SlotLayout>>;
    std::lock_guard lock(*mutex);
    auto& entry = (*cache)[&schema];
    if (!entry) entry = std::make_unique<SlotLayout>(computeSlotLayout(schema));
    return *entry;
}

// A few recent answers per thread, so the common case takes no lock.
const SlotLayout& slotLayout(const NANOMessageSchema& schema) {
    constexpr size_t kWays = 8;
    thread_local const NANOMessageSchema* keys[kWays] = {};
    thread_local const SlotLayout* values[kWays] = {};
    size_t way = (reinterpret_cast<uintptr_t>(&schema) >> 4) % kWays;
    if (keys[way] != &schema) {
        values[way] = &sharedSlotLayout(schema);
        keys[way] = &schema;
    }
    return *values[way];
}

// Calls fn(slot, field) for every slot, in slot order; false when the schema and the descriptor
// disagree or fn refuses.
template <class Fn>
bool forEachSlot(const NANOMessageSchema& schema, void* structure, Fn&& fn) {
    const SlotLayout& layout = slotLayout(schema);
    if (!layout.valid) return false;
    auto* base = static_cast<char*>(structure);
    for (uint32_t i = 0; i < schema.slotCount; ++i) {
        const auto& e = layout.slots[i];
        SlotField field{base + e.data, e.size >= 0 ? base + e.size : nullptr, e.dataSize};
        if (!fn(i, field)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- decoding

bool decodeRepeatedMessage(pb_istream_t* stream, const pb_field_t* field, void** arg);

bool setDecodeCallbacks(MessageInfo* info, void* structure, ArgArena& arena) {
    const NANOMessageSchema& schema = *info->schema;
    return forEachSlot(schema, structure, [&](uint32_t i, SlotField& iter) {
        uint32_t type = schema.types[i];
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
        return true;
    });
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
    forEachSlot(schema, structure, [&](uint32_t i, SlotField& iter) {
        uint32_t type = schema.types[i];
        if (isRepeated(type) || isStringKind(type)) return true;
        bool present = iter.pSize && *static_cast<const bool*>(iter.pSize);
        if (isMessageKind(type)) {
            if (!present) {
                NANOFreeField(info, int32_t(i));
            } else if (info->fields[i]) {
                storeDecodedFields(static_cast<MessageInfo*>(info->fields[i]), iter.pData);
            }
            return true;
        }
        if (!present) return true;
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
        return true;
    });
}

// Repeated fields here or in a singular nested message need the counting pass.
bool needsSecondPass(const NANOMessageSchema& schema) {
    for (uint32_t i = 0; i < schema.slotCount; ++i) {
        if (isRepeated(schema.types[i])) return true;
        if (isMessageKind(schema.types[i]) && schema.nested[i] && needsSecondPass(*schema.nested[i])) return true;
    }
    return false;
}

// The read callback nanopb gives streams over a buffer (their state is the read position).
decltype(pb_istream_t::callback) bufferStreamCallback() {
    static const auto callback = pb_istream_from_buffer(nullptr, 0).callback;
    return callback;
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
    // Buffer streams (every stream this runtime makes) are read in place; others through a copy.
    std::vector<pb_byte_t> copy;
    const pb_byte_t* bytes = nullptr;
    size_t length = stream->bytes_left;
    if (stream->callback == bufferStreamCallback()) {
        bytes = static_cast<const pb_byte_t*>(stream->state);
    } else {
        copy.resize(length);
        bytes = copy.data();
    }
    if (!pb_read(stream, copy.empty() ? nullptr : copy.data(), length)) {
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
    if (!NANODecodeMessageInfo(bytes, length, element)) {
        print("<ERROR> %s decoder failed: Unable to decode repeated %s", name, name);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- encoding

bool encodeRepeatedMessage(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

bool prepareEncode(const MessageInfo* info, void* structure, ArgArena& arena) {
    const NANOMessageSchema& schema = *info->schema;
    return forEachSlot(schema, structure, [&](uint32_t i, SlotField& iter) {
        uint32_t type = schema.types[i];
        void* value = info->fields[i];
        if (isRepeated(type)) {
            auto* array = static_cast<NANOArray*>(value);
            if (!array) {
                print("<ERROR> %s Encoder: '%s' should have been allocated", schema.name,
                      schema.slotNames[i] ? schema.slotNames[i] : "?");
                return false;
            }
            if (array->count == 0) return true;
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
            return true;
        }
        if (!value) return true;
        if (isStringKind(type)) {
            auto* callback = static_cast<pb_callback_t*>(iter.pData);
            callback->funcs.encode = NANOEncodeString;
            callback->arg = value;
            return true;
        }
        *static_cast<bool*>(iter.pSize) = true;
        if (isMessageKind(type)) return prepareEncode(static_cast<const MessageInfo*>(value), iter.pData, arena);
        if (type & kNANOTypeBool) {
            *static_cast<bool*>(iter.pData) = *static_cast<const uint8_t*>(value) != 0;
        } else {
            // Cells are little-endian words: the field takes its low bytes.
            std::memcpy(iter.pData, value, iter.data_size);
        }
        return true;
    });
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
        print("Unable to process proto stream. Buffer is too big. %zu > %d", length, int(kNANOMaxDecodedStringBytes));
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

namespace {

// Sizing pass, then the real one into a buffer of exactly that size (from `allocate`).
template <class Allocate>
bool encodeTwoPasses(const pb_msgdesc_t* fields, const void* structure, Allocate&& allocate) {
    size_t size = 0;
    if (!pb_get_encoded_size(&size, fields, structure) || size > INT32_MAX) return false;
    uint8_t* buffer = allocate(size);
    if (!buffer) return false;
    pb_ostream_t stream = pb_ostream_from_buffer(buffer, size);
    return pb_encode(&stream, fields, structure) && stream.bytes_written == size;
}

}  // namespace

int32_t NANOEncodeMessage(const pb_msgdesc_t* fields, const void* structure, uint8_t** out) {
    if (!out) return -1;
    *out = nullptr;
    uint8_t* buffer = nullptr;
    size_t length = 0;
    bool ok = encodeTwoPasses(fields, structure, [&](size_t size) {
        length = size;
        buffer = static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
        return buffer;
    });
    if (!ok) {
        std::free(buffer);
        return -1;
    }
    *out = buffer;
    return int32_t(length);
}

// ---------------------------------------------------------------- messages

bool NANODecodeMessageInfo(const uint8_t* bytes, size_t length, MessageInfo* info) {
    if (!info || !info->fields || !info->schema) {
        print("<ERROR> %s decoder failed: message_info is NULL", info && info->messageID ? info->messageID : "Message");
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

bool nano::encodeInto(const MessageInfo* info, platform::Bytes& out) {
    if (!info || !info->fields || !info->schema) return false;
    const NANOMessageSchema& schema = *info->schema;
    StructBuffer structure(schema.structSize);
    ArgArena arena;
    if (!prepareEncode(info, structure.data(), arena)) return false;
    return encodeTwoPasses(schema.descriptor, structure.data(), [&](size_t size) {
        out.assign(size, 0);
        return out.data() ? out.data() : reinterpret_cast<uint8_t*>(&out);  // an empty message: nothing is written
    });
}

}  // namespace zidedova
