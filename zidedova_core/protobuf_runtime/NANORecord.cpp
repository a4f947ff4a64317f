// Records: init, free, copy and the low-level stores.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "zidedova_core/protobuf_runtime/internal/NANOInternal.h"

namespace zidedova {

namespace {

platform::dispatch::Mutex& sinkMutex() {
    static platform::dispatch::Mutex m;
    return m;
}
NANOLogSink& sinkSlot() {
    static auto* sink = new NANOLogSink;  // never destroyed: queues may log while the process exits
    return *sink;
}

void emit(bool system, const char* format, va_list args) {
    char buffer[512];
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    std::string line(buffer, n < 0 ? 0 : std::min<size_t>(size_t(n), sizeof buffer - 1));
    while (!line.empty() && line.back() == '\n') line.pop_back();
    NANOLogSink sink;
    {
        platform::dispatch::MutexLock lock(sinkMutex());
        sink = sinkSlot();
    }
    if (sink) return sink(system, line);
    if (system) return platform::consoleLog(line);
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

void NANOSetLogSink(NANOLogSink sink) {
    platform::dispatch::MutexLock lock(sinkMutex());
    sinkSlot() = std::move(sink);
}

namespace nano {

void systemLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(true, format, args);
    va_end(args);
}

void print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(false, format, args);
    va_end(args);
}

void freeValue(void* value, uint32_t type) {
    if (!value) return;
    if (isStringKind(type)) {
        auto* s = static_cast<NANOString*>(value);
        std::free(s->bytes);
        std::free(s);
    } else if (isMessageKind(type)) {
        NANOFreeMessageInfo(static_cast<MessageInfo*>(value));
    } else {
        std::free(value);
    }
}

// Element cells sit right after the pointers; only cell and string kinds have them.
static bool hasElementCells(uint32_t type) { return isCellKind(type) || isStringKind(type); }

static bool isInlineElement(const NANOArray* array, const void* element, uint32_t type) {
    if (!hasElementCells(type) || !array->elements) return false;
    auto* cells = reinterpret_cast<const char*>(array->elements + array->count);
    auto* p = static_cast<const char*>(element);
    return p >= cells && p < cells + size_t(array->count) * kCellBytes;
}

void** allocateElements(uint32_t count, uint32_t type) {
    size_t bytes = size_t(count) * (sizeof(void*) + (hasElementCells(type) ? kCellBytes : 0));
    return static_cast<void**>(std::calloc(1, bytes ? bytes : sizeof(void*)));
}

void** elementSlot(NANOArray* array, uint32_t e, uint32_t type) {
    void** slot = &array->elements[e];
    if (!*slot && hasElementCells(type))
        *slot = reinterpret_cast<char*>(array->elements + array->count) + size_t(e) * kCellBytes;
    return slot;
}

}  // namespace nano

using namespace nano;

bool NANOInitMessageInfo(MessageInfo* info, const NANOMessageSchema& schema) {
    if (!info) return false;
    info->messageID = schema.name;
    info->types = schema.types;
    info->schema = &schema;
    size_t bytes = size_t(schema.slotCount) * (sizeof(void*) + kCellBytes);
    info->fields = static_cast<void**>(std::calloc(1, bytes ? bytes : sizeof(void*)));
    if (!info->fields) return false;
    for (uint32_t i = 0; i < schema.slotCount; ++i)
        if (isRepeated(schema.types[i])) info->fields[i] = inlineCell(info, i);
    return true;
}

void NANOFreeArray(NANOArray* array, uint32_t type) {
    if (!array) {
        print("<ERROR> Unable to initialize the array. Array pointer is NULL");
        return;
    }
    if (array->elements) {
        for (uint32_t i = 0; i < array->count; ++i) {
            void* element = array->elements[i];
            if (!isInlineElement(array, element, type))
                freeValue(element, type);
            else if (isStringKind(type))
                std::free(static_cast<NANOString*>(element)->bytes);
        }
        std::free(array->elements);
    }
    array->elements = nullptr;
    array->count = 0;
    array->filled = 0;
}

void NANOFreeString(NANOString* string) {
    if (!string) {
        print("<ERROR> Unable to dealloc string field. String struct is NULL");
        return;
    }
    std::free(string->bytes);
    string->bytes = nullptr;
    string->length = 0;
    string->word = 0;
}

bool NANOFreeField(MessageInfo* info, int32_t index) {
    if (!validIndex(info, index)) {
        print("<ERROR> %s: Cannot deallocate field %d: Unknown field\n",
              info && info->messageID ? info->messageID : "(null)", index);
        return false;
    }
    uint32_t type = info->types[index];
    void*& slot = info->fields[index];
    if (isRepeated(type)) {
        if (slot) NANOFreeArray(static_cast<NANOArray*>(slot), type);
        return true;
    }
    if (slot && isInlineCell(info, uint32_t(index), slot)) {
        if (isStringKind(type)) std::free(static_cast<NANOString*>(slot)->bytes);
        std::memset(slot, 0, kCellBytes);
    } else {
        freeValue(slot, type);
    }
    slot = nullptr;
    return true;
}

void NANOFreeMessageInfo(MessageInfo* info) {
    if (!info) return;
    if (info->fields && info->schema) {
        for (uint32_t i = 0; i < info->schema->slotCount; ++i) {
            NANOFreeField(info, int32_t(i));
            if (isRepeated(info->types[i]) && !isInlineCell(info, i, info->fields[i])) std::free(info->fields[i]);
        }
    }
    std::free(info->fields);
    std::free(info);
}

namespace {

// Copies a string value into `to` (a zeroed or emptied record); a refused value (no bytes) stays so.
bool copyString(NANOString* to, const NANOString* from) {
    if (!from->bytes) return true;
    void* slot = to;
    NANOStoreString(&slot, from->bytes, from->length);
    return to->bytes != nullptr;
}

// Copies one value of the given kind into `*slot` (pointed at a cell for cells and strings).
bool copyValue(void** slot, const void* value, uint32_t type) {
    if (isMessageKind(type)) {
        MessageInfo* out = nullptr;
        if (!NANOCopyMessageInfo(&out, static_cast<const MessageInfo*>(value))) {
            NANOFreeMessageInfo(out);
            return false;
        }
        *slot = out;
        return true;
    }
    if (!*slot) return false;
    if (isStringKind(type)) return copyString(static_cast<NANOString*>(*slot), static_cast<const NANOString*>(value));
    std::memcpy(*slot, value, (type & kNANOTypeFloat) ? sizeof(float) : sizeof(uint64_t));
    return true;
}

}  // namespace

bool NANOCopyMessageInfo(MessageInfo** dest, const MessageInfo* src) {
    if (!dest || !src || !src->fields || !src->schema) return false;
    NANOFreeMessageInfo(*dest);
    *dest = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    if (!*dest || !NANOInitMessageInfo(*dest, *src->schema)) return false;
    MessageInfo* out = *dest;
    for (uint32_t i = 0; i < src->schema->slotCount; ++i) {
        uint32_t type = src->types[i];
        const void* value = src->fields[i];
        if (!value) continue;
        if (!isRepeated(type)) {
            void** slot = isMessageKind(type) ? &out->fields[i] : cellSlot(out, i);
            if (!copyValue(slot, value, type)) return false;
            continue;
        }
        auto* from = static_cast<const NANOArray*>(value);
        auto* to = static_cast<NANOArray*>(out->fields[i]);
        if (from->count == 0 || !from->elements) continue;
        to->elements = allocateElements(from->count, type);
        if (!to->elements) return false;
        to->count = from->count;
        for (uint32_t e = 0; e < from->count; ++e) {
            if (!from->elements[e]) continue;
            if (!copyValue(elementSlot(to, e, type), from->elements[e], type)) return false;
        }
    }
    return true;
}

namespace {

void* cellFor(void** slot, size_t size) {
    if (!*slot) *slot = std::calloc(1, size);
    return *slot;
}

}  // namespace

void NANOStoreBool(void** slot, bool value) {
    if (!slot) return print("<ERROR> Unable to set bool. Destination pointer is NULL");
    if (auto* cell = static_cast<uint64_t*>(cellFor(slot, sizeof(uint64_t)))) *cell = value ? 1 : 0;
}

void NANOStoreUInt32(void** slot, uint32_t value) {
    if (!slot) return print("<ERROR> Unable to set uint32. Destination pointer is NULL");
    if (auto* cell = static_cast<uint64_t*>(cellFor(slot, sizeof(uint64_t)))) *cell = value;
}

void NANOStoreUInt64(void** slot, uint64_t value) {
    if (!slot) return print("<ERROR> Unable to set uint64. Destination pointer is NULL");
    if (auto* cell = static_cast<uint64_t*>(cellFor(slot, sizeof(uint64_t)))) *cell = value;
}

void NANOStoreFloat(void** slot, float value) {
    if (!slot) return print("<ERROR> Unable to set float. Destination pointer is NULL");
    if (auto* cell = static_cast<float*>(cellFor(slot, sizeof(float)))) *cell = value;
}

void NANOStoreDouble(void** slot, double value) {
    if (!slot) return print("<ERROR> Unable to set double. Destination pointer is NULL");
    if (auto* cell = static_cast<double*>(cellFor(slot, sizeof(double)))) *cell = value;
}

void NANOStoreString(void** slot, const uint8_t* bytes, size_t length) {
    if (!slot) return print("<ERROR> Unable to set string. Destination array is NULL");
    auto* record = static_cast<NANOString*>(cellFor(slot, sizeof(NANOString)));
    if (!record) return;
    std::free(record->bytes);
    record->bytes = static_cast<uint8_t*>(std::calloc(length + 1, 1));
    record->length = 0;
    if (!record->bytes) return;
    if (length) std::memcpy(record->bytes, bytes, length);
    record->length = uint32_t(length);
}

}  // namespace zidedova
