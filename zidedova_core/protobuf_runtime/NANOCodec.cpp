// Decoding and encoding of records through nanopb: one generic routine per step, driven by the
// message's schema (slot -> field number, nested schemas) and the descriptor nanopb generated.
#include <pb_common.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "zidedova_core/protobuf_runtime/internal/NANOInternal.h"

namespace zidedova {

using namespace nano;

namespace {

// Zeroed scratch memory for one decode or encode: nanopb structures and callback arguments. The first
// few kilobytes live inside the object (on the caller's stack); more come in chunks freed all at once.
class Scratch {
public:
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    // Zeroed, 16-byte aligned; nullptr when memory runs out. Every byte is zeroed, padding included:
    // a callback slot read from garbage would be called.
    void* allocate(size_t size) {
        size = (size + 15) & ~size_t(15);
        if (size > capacity_ - used_) {
            size_t chunk = std::max(size, kChunkBytes);
            auto* memory = static_cast<char*>(std::malloc(chunk));
            if (!memory) return nullptr;
            chunks_.push_back(std::unique_ptr<char, FreeDeleter>(memory));
            current_ = memory;
            used_ = 0;
            capacity_ = chunk;
        }
        void* out = current_ + used_;
        used_ += size;
        return std::memset(out, 0, size);
    }
    template <class T>
    T* make() {
        static_assert(std::is_trivially_destructible_v<T>);
        void* memory = allocate(sizeof(T));
        return memory ? new (memory) T{} : nullptr;
    }

private:
    struct FreeDeleter {
        void operator()(char* p) const { std::free(p); }
    };
    static constexpr size_t kInlineBytes = 2048;
    static constexpr size_t kChunkBytes = 16384;
    alignas(16) char inline_[kInlineBytes];
    char* current_ = inline_;
    size_t used_ = 0;
    size_t capacity_ = kInlineBytes;
    std::vector<std::unique_ptr<char, FreeDeleter>> chunks_;
};

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
    Scratch scratch;
    auto* base = static_cast<char*>(scratch.allocate(schema.structSize));
    if (!base) return layout;
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
    static auto* mutex = new platform::dispatch::Mutex;
    static auto* cache = new std::map<const NANOMessageSchema*, std::unique_ptr<SlotLayout>>;
    platform::dispatch::MutexLock lock(*mutex);
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
//
// One pass: nanopb fills the structure's scalars while the callbacks store strings straight into
// their slots and gather repeated elements, which become exactly sized element arrays once the pass
// ends (whether or not it succeeded, so nothing gathered is lost to the record's own freeing).

// A singular string's slot.
struct StringTarget {
    MessageInfo* info;
    uint32_t index;
};

// A repeated field's elements while they are decoded: raw varints (uint64_t), string records
// (NANOString) or element records (MessageInfo*).
struct Collector {
    NANOArray* array;
    uint32_t type;
    const NANOMessageSchema* element;  // message elements
    unsigned char* items;              // malloc'd
    uint32_t size;
    uint32_t capacity;
    Collector* next;
};

size_t itemBytes(uint32_t type) { return isStringKind(type) ? sizeof(NANOString) : sizeof(uint64_t); }

// Room for one more item (zeroed); nullptr when the field cannot grow.
void* appendItem(Collector& c) {
    size_t bytes = itemBytes(c.type);
    if (c.size == c.capacity) {
        if (c.capacity >= UINT32_MAX / 2) return nullptr;
        uint32_t capacity = c.capacity ? c.capacity * 2 : 4;
        auto* grown = static_cast<unsigned char*>(std::realloc(c.items, size_t(capacity) * bytes));
        if (!grown) return nullptr;
        c.items = grown;
        c.capacity = capacity;
    }
    return std::memset(c.items + size_t(c.size++) * bytes, 0, bytes);
}

void freeItems(Collector& c) {
    size_t bytes = itemBytes(c.type);
    for (uint32_t e = 0; e < c.size; ++e) {
        unsigned char* item = c.items + size_t(e) * bytes;
        if (isStringKind(c.type)) {
            std::free(reinterpret_cast<NANOString*>(item)->bytes);
        } else if (isMessageKind(c.type)) {
            MessageInfo* element;
            std::memcpy(&element, item, sizeof element);
            NANOFreeMessageInfo(element);
        }
    }
    std::free(c.items);
    c.items = nullptr;
    c.size = c.capacity = 0;
}

// Moves the gathered elements into the field's array; false when the array cannot be made.
bool finishCollector(Collector& c) {
    NANOArray* array = c.array;
    if (c.size == 0) {
        freeItems(c);
        return true;
    }
    array->elements = allocateElements(c.size, c.type);
    if (!array->elements) {
        freeItems(c);
        return false;
    }
    array->count = c.size;
    array->filled = c.size;
    size_t bytes = itemBytes(c.type);
    for (uint32_t e = 0; e < c.size; ++e) {
        unsigned char* item = c.items + size_t(e) * bytes;
        if (isMessageKind(c.type)) {
            std::memcpy(&array->elements[e], item, sizeof(void*));
        } else {
            std::memcpy(*elementSlot(array, e, c.type), item, bytes);
        }
    }
    std::free(c.items);
    c.items = nullptr;
    c.size = c.capacity = 0;
    return true;
}

struct DecodeState {
    Scratch scratch;
    Collector* collectors = nullptr;

    bool finish() {
        bool ok = true;
        for (Collector* c = collectors; c; c = c->next) ok = finishCollector(*c) && ok;
        collectors = nullptr;
        return ok;
    }
    ~DecodeState() { finish(); }
};

// Reads `length` bytes into a fresh string record (a zero byte after them the length does not count).
bool readString(pb_istream_t* stream, NANOString* record, size_t length) {
    record->bytes = static_cast<uint8_t*>(std::malloc(length + 1));
    if (!record->bytes) return false;
    if (!pb_read(stream, record->bytes, length)) {
        std::free(record->bytes);
        record->bytes = nullptr;
        return false;
    }
    record->bytes[length] = 0;
    record->length = uint32_t(length);
    return true;
}

bool withinStringCap(size_t length) {
    if (length <= kNANOMaxDecodedStringBytes) return true;
    print("Unable to process proto stream. Buffer is too big. %zu > %d", length, int(kNANOMaxDecodedStringBytes));
    return false;
}

bool decodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* target = arg ? static_cast<StringTarget*>(*arg) : nullptr;
    if (!target) return false;
    MessageInfo* info = target->info;
    if (auto* existing = static_cast<NANOString*>(info->fields[target->index])) {
        if (!existing->bytes) {
            print("<ERROR> String decoder failed: string data is NULL");
            return false;
        }
        return pb_read(stream, nullptr, stream->bytes_left);  // the first occurrence wins
    }
    size_t length = stream->bytes_left;
    if (!withinStringCap(length)) return false;
    auto* record = static_cast<NANOString*>(*cellSlot(info, target->index));
    if (readString(stream, record, length)) return true;
    NANOFreeField(info, int32_t(target->index));
    return false;
}

bool decodeRepeatedString(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* c = arg ? static_cast<Collector*>(*arg) : nullptr;
    if (!c) return false;
    size_t length = stream->bytes_left;
    if (!withinStringCap(length)) return false;
    auto* record = static_cast<NANOString*>(appendItem(*c));
    if (!record) return false;
    if (readString(stream, record, length)) return true;
    c->size--;
    return false;
}

bool decodeRepeatedVarint(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* c = arg ? static_cast<Collector*>(*arg) : nullptr;
    if (!c) return false;
    uint64_t value = 0;
    if (!pb_decode_varint(stream, &value)) return false;
    auto* item = static_cast<uint64_t*>(appendItem(*c));
    if (!item) return false;
    *item = value;
    return true;
}

// The read callback nanopb gives streams over a buffer (their state is the read position).
decltype(pb_istream_t::callback) bufferStreamCallback() {
    static const auto callback = pb_istream_from_buffer(nullptr, 0).callback;
    return callback;
}

bool decodeRepeatedMessage(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* c = arg ? static_cast<Collector*>(*arg) : nullptr;
    const char* name = c && c->element ? c->element->name : "(unknown)";
    if (!c || !c->array || !c->element) {
        print("<ERROR> %s decoder failed: Invalid arg parameter", name);
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
    void* item = element ? appendItem(*c) : nullptr;
    if (!item || !NANOInitMessageInfo(element, *c->element)) {
        if (item) c->size--;
        NANOFreeMessageInfo(element);
        print("<ERROR> %s decoder failed: Unable to initialize MessageInfo", name);
        return false;
    }
    std::memcpy(item, &element, sizeof element);  // kept by the array even when it fails below
    if (!NANODecodeMessageInfo(bytes, length, element)) {
        print("<ERROR> %s decoder failed: Unable to decode repeated %s", name, name);
        return false;
    }
    return true;
}

bool setDecodeCallbacks(MessageInfo* info, void* structure, DecodeState& state) {
    const NANOMessageSchema& schema = *info->schema;
    return forEachSlot(schema, structure, [&](uint32_t i, SlotField& iter) {
        uint32_t type = schema.types[i];
        if (isRepeated(type)) {
            auto* array = static_cast<NANOArray*>(info->fields[i]);
            if (!array) return false;
            NANOFreeArray(array, type);
            bool (*decode)(pb_istream_t*, const pb_field_t*, void**) = nullptr;
            if (isMessageKind(type)) {
                if (!schema.nested[i]) return false;
                decode = decodeRepeatedMessage;
            } else if (isStringKind(type)) {
                decode = decodeRepeatedString;
            } else if (isVarintKind(type)) {
                decode = decodeRepeatedVarint;
            } else {
                return false;  // repeated fixed-width kinds are not carried by this runtime
            }
            auto* c = state.scratch.make<Collector>();
            if (!c) return false;
            c->array = array;
            c->type = type;
            c->element = schema.nested[i];
            c->next = state.collectors;
            state.collectors = c;
            auto* callback = static_cast<pb_callback_t*>(iter.pData);
            callback->funcs.decode = decode;
            callback->arg = c;
        } else if (isStringKind(type)) {
            auto* target = state.scratch.make<StringTarget>();
            if (!target) return false;
            *target = {info, i};
            auto* callback = static_cast<pb_callback_t*>(iter.pData);
            callback->funcs.decode = decodeString;
            callback->arg = target;
        } else if (isMessageKind(type)) {
            if (!schema.nested[i]) return false;
            NANOFreeField(info, int32_t(i));
            auto* nested = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
            info->fields[i] = nested;
            if (!nested || !NANOInitMessageInfo(nested, *schema.nested[i])) return false;
            if (!setDecodeCallbacks(nested, iter.pData, state)) return false;
        }
        return true;
    });
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
        void** slot = cellSlot(info, i);
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

// ---------------------------------------------------------------- encoding

// What a repeated-message callback needs beyond the array: the element message, and the elements'
// structures, prepared once and reused by the sizing and the writing pass.
struct RepeatedMessageArg {
    const NANOArray* array;
    const NANOMessageSchema* element;
    Scratch* scratch;
    void** prepared;  // `array->count` structures, made at the first pass
};

bool encodeRepeatedMessage(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

bool prepareEncode(const MessageInfo* info, void* structure, Scratch& scratch) {
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
                auto* ctx = scratch.make<RepeatedMessageArg>();
                if (!ctx) return false;
                *ctx = {array, schema.nested[i], &scratch, nullptr};
                callback->funcs.encode = encodeRepeatedMessage;
                callback->arg = ctx;
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
        if (isMessageKind(type)) return prepareEncode(static_cast<const MessageInfo*>(value), iter.pData, scratch);
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
    auto* ctx = arg ? static_cast<RepeatedMessageArg*>(*arg) : nullptr;
    if (!ctx || !ctx->array || !ctx->element || !ctx->scratch) return false;
    const NANOArray* array = ctx->array;
    if (array->count > 0 && !array->elements) return false;
    if (!ctx->prepared) {
        ctx->prepared = static_cast<void**>(ctx->scratch->allocate(array->count * sizeof(void*)));
        if (!ctx->prepared) return false;
    }
    for (uint32_t e = 0; e < array->count; ++e) {
        void*& structure = ctx->prepared[e];
        if (!structure) {
            auto* element = static_cast<const MessageInfo*>(array->elements[e]);
            if (!element || element->schema != ctx->element) return false;
            structure = ctx->scratch->allocate(ctx->element->structSize);
            if (!structure || !prepareEncode(element, structure, *ctx->scratch)) return false;
        }
        if (!pb_encode_tag_for_field(stream, field)) return false;
        if (!pb_encode_submessage(stream, ctx->element->descriptor, structure)) return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------- stream callbacks

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
    DecodeState state;
    void* structure = state.scratch.allocate(schema.structSize);
    if (!structure || !setDecodeCallbacks(info, structure, state)) {
        print("<ERROR> %s decoder failed: Unable to set decoders", schema.name);
        return false;
    }
    pb_istream_t stream = pb_istream_from_buffer(bytes, length);
    bool decoded = pb_decode(&stream, schema.descriptor, structure);
    if (!state.finish()) {
        print("<ERROR> %s decoder failed: Unable to allocate arrays", schema.name);
        return false;
    }
    if (!decoded) {
        print("<ERROR> %s decoder failed: %s\n", schema.name, PB_GET_ERROR(&stream));
        return false;
    }
    storeDecodedFields(info, structure);
    return true;
}

int32_t NANOEncodeMessageInfo(const MessageInfo* info, uint8_t** out) {
    if (!out) return -1;
    *out = nullptr;
    if (!info || !info->fields || !info->schema) return -1;
    const NANOMessageSchema& schema = *info->schema;
    Scratch scratch;
    void* structure = scratch.allocate(schema.structSize);
    if (!structure || !prepareEncode(info, structure, scratch)) return -1;
    return NANOEncodeMessage(schema.descriptor, structure, out);
}

bool nano::encodeInto(const MessageInfo* info, platform::Bytes& out) {
    if (!info || !info->fields || !info->schema) return false;
    const NANOMessageSchema& schema = *info->schema;
    Scratch scratch;
    void* structure = scratch.allocate(schema.structSize);
    if (!structure || !prepareEncode(info, structure, scratch)) return false;
    return encodeTwoPasses(schema.descriptor, structure, [&](size_t size) {
        out.resize(size);
        return out.data() ? out.data() : reinterpret_cast<uint8_t*>(&out);  // an empty message: nothing is written
    });
}

}  // namespace zidedova
