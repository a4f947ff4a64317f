// Message objects and the generic accessors that read and write any message by slot index.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "zidedova_core/protobuf_runtime/internal/NANOInternal.h"

namespace zidedova {

using namespace nano;

// ---------------------------------------------------------------- objects

NANOMessage::NANOMessage(const NANOMessageSchema& schema) : schema_(&schema) {
    auto* info = static_cast<MessageInfo*>(std::calloc(1, sizeof(MessageInfo)));
    if (info && NANOInitMessageInfo(info, schema)) {
        info_ = info;
    } else {
        NANOFreeMessageInfo(info);
    }
}

NANOMessage::~NANOMessage() { NANOFreeMessageInfo(info_); }

std::shared_ptr<NANOMessage> NANOMessage::withMessageInfo(const NANOMessageSchema& schema, const MessageInfo* info) {
    if (info && info->messageID != schema.name) return nullptr;
    std::shared_ptr<NANOMessage> message = schema.create();
    if (!message || !message->info_) return nullptr;
    if (!info) return message;
    if (!NANOCopyMessageInfo(&message->info_, info)) return nullptr;
    return message;
}

std::shared_ptr<NANOMessage> NANOMessage::withBuffer(const NANOMessageSchema& schema, const uint8_t* bytes,
                                                     size_t length) {
    // Decoded straight into the new object's record: a message that does not decode is dropped whole.
    std::shared_ptr<NANOMessage> message = schema.create();
    if (!message || !message->info_ || message->info_->schema != &schema) return nullptr;
    if (!NANODecodeMessageInfo(bytes, length, message->info_)) return nullptr;
    return message;
}

std::optional<platform::Bytes> NANOMessage::protoBuffer() const {
    platform::Bytes out;
    if (!info_ || !encodeInto(info_, out)) return std::nullopt;
    return out;
}

// ---------------------------------------------------------------- checks

namespace {

const char* kindName(uint32_t want) {
    switch (want) {
    case kNANOTypeBool:
        return "BOOL";
    case kNANOTypeInt32:
        return "INT32";
    case kNANOTypeInt64:
        return "INT64";
    case kNANOTypeDouble:
        return "DOUBLE";
    case kNANOTypeString:
        return "STRING";
    case kNANOTypeBytes:
        return "BYTES";
    case kNANOTypeMessage:
        return "MESSAGE";
    default:
        return "?";
    }
}

// The record behind an object, or null after logging "<operation> can't be performed".
MessageInfo* initialized(const NANOMessage& message, const char* operation) {
    MessageInfo* info = message.messageInfo();
    if (!info || !info->fields) {
        systemLog("ProtocolBuffer message hasn't been initialized. %s can't be performed", operation);
        return nullptr;
    }
    return info;
}

// Index inside the message and a type word the accessor accepts; logs the failure otherwise.
bool accepts(const MessageInfo* info, int32_t index, uint32_t want) {
    if (!validIndex(info, index)) {
        systemLog("<Nano/Failure> Field index out of range. Message: %s, field ID: %d", info->messageID, index);
        return false;
    }
    uint32_t type = info->types[index];
    bool ok = false;
    switch (want) {
    case kNANOTypeBool:
        ok = (type & 0x28) == 0x20;
        break;
    case kNANOTypeInt32:
        ok = (type & 0x1C0) && !(type & kNANOTypeRepeated);
        break;
    case kNANOTypeInt64:
        ok = (type & 0x600) && !(type & kNANOTypeRepeated);
        break;
    case kNANOTypeDouble:
        ok = (type & 0x1008) == 0x1000;
        break;
    case kNANOTypeString:
        ok = (type & 0x2008) == 0x2000;
        break;
    case kNANOTypeBytes:
        ok = (type & 0x8008) == 0x8000;
        break;
    case kNANOTypeMessage:
        ok = (type & 0x4008) == 0x4000;
        break;
    }
    if (!ok)
        systemLog("<Nano/Failure> Field type isn't a scalar %s. Message: %s, field ID: %d", kindName(want),
                  info->messageID, index);
    return ok;
}

uint64_t cellWord(const void* cell) {
    uint64_t v;
    std::memcpy(&v, cell, sizeof v);
    return v;
}

}  // namespace

// ---------------------------------------------------------------- scalars

bool NANOHasField(const NANOMessage& message, int32_t index) {
    MessageInfo* info = message.messageInfo();
    if (!info || !info->fields) {
        systemLog("ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
                  "Message name %s",
                  message.messageID());
        return false;
    }
    if (!validIndex(info, index)) return false;
    if (info->types && isRepeated(info->types[index])) return true;
    return info->fields[index] != nullptr;
}

void NANOClearField(NANOMessage& message, int32_t index) {
    MessageInfo* info = message.messageInfo();
    if (!info || !info->fields) {
        systemLog("ProtocolBuffer message hasn't been initialized. ClearField can't be performed");
        return;
    }
    NANOFreeField(info, index);
}

bool NANOGetBool(const NANOMessage& message, int32_t index) {
    MessageInfo* info = initialized(message, "GetBool");
    if (!info || !accepts(info, index, kNANOTypeBool) || !info->fields[index]) return false;
    return *static_cast<const uint8_t*>(info->fields[index]) != 0;
}

void NANOSetBool(NANOMessage& message, int32_t index, bool value) {
    MessageInfo* info = initialized(message, "SetBool");
    if (info && accepts(info, index, kNANOTypeBool)) NANOStoreBool(cellSlot(info, uint32_t(index)), value);
}

int32_t NANOGetInt32(const NANOMessage& message, int32_t index) {
    MessageInfo* info = initialized(message, "GetInt32");
    if (!info || !accepts(info, index, kNANOTypeInt32) || !info->fields[index]) return 0;
    return int32_t(uint32_t(cellWord(info->fields[index])));
}

void NANOSetInt32(NANOMessage& message, int32_t index, int32_t value) {
    MessageInfo* info = initialized(message, "SetInt32");
    if (info && accepts(info, index, kNANOTypeInt32)) NANOStoreUInt32(cellSlot(info, uint32_t(index)), uint32_t(value));
}

int64_t NANOGetInt64(const NANOMessage& message, int32_t index) {
    MessageInfo* info = initialized(message, "GetInt64");
    if (!info || !accepts(info, index, kNANOTypeInt64) || !info->fields[index]) return 0;
    return int64_t(cellWord(info->fields[index]));
}

void NANOSetInt64(NANOMessage& message, int32_t index, int64_t value) {
    MessageInfo* info = initialized(message, "SetInt64");
    if (info && accepts(info, index, kNANOTypeInt64)) NANOStoreUInt64(cellSlot(info, uint32_t(index)), uint64_t(value));
}

double NANOGetDouble(const NANOMessage& message, int32_t index) {
    MessageInfo* info = initialized(message, "GetDouble");
    if (!info || !accepts(info, index, kNANOTypeDouble) || !info->fields[index]) return 0.0;
    double v;
    std::memcpy(&v, info->fields[index], sizeof v);
    return v;
}

void NANOSetDouble(NANOMessage& message, int32_t index, double value) {
    MessageInfo* info = initialized(message, "SetDouble");
    if (info && accepts(info, index, kNANOTypeDouble)) NANOStoreDouble(cellSlot(info, uint32_t(index)), value);
}

// ---------------------------------------------------------------- strings, bytes, messages

std::optional<std::string> NANOGetString(const NANOMessage& message, int32_t index) {
    MessageInfo* info = initialized(message, "GetString");
    if (!info || !accepts(info, index, kNANOTypeString)) return std::nullopt;
    auto* record = static_cast<const NANOString*>(info->fields[index]);
    if (!record || !record->bytes) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(record->bytes), record->length);
}

namespace {

// The field's record, made when absent, with its old bytes freed; then filled with a copy.
void storeBytes(MessageInfo* info, int32_t index, const uint8_t* bytes, size_t length) {
    void** slot = cellSlot(info, uint32_t(index));
    auto* record = static_cast<NANOString*>(*slot);
    if (!record) return;
    NANOFreeString(record);
    record->bytes = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    if (!record->bytes) return;
    if (length) std::memcpy(record->bytes, bytes, length);
    record->length = uint32_t(length);
}

}  // namespace

void NANOSetString(NANOMessage& message, int32_t index, const std::optional<std::string>& value) {
    MessageInfo* info = initialized(message, "SetString");
    if (!info || !accepts(info, index, kNANOTypeString)) return;
    if (!value) {
        NANOFreeField(info, index);  // no value: the field goes
        return;
    }
    storeBytes(info, index, reinterpret_cast<const uint8_t*>(value->data()), value->size());
}

void NANOSetBytes(NANOMessage& message, int32_t index, const std::optional<platform::Bytes>& value) {
    MessageInfo* info = initialized(message, "SetBytes");
    if (!info || !accepts(info, index, kNANOTypeBytes)) return;
    if (!value) {
        NANOFreeField(info, index);  // no value: the field goes
        return;
    }
    storeBytes(info, index, value->data(), value->size());
}

std::shared_ptr<NANOMessage> NANOGetMessage(const NANOMessage& message, int32_t index,
                                            const NANOMessageSchema& schema) {
    MessageInfo* info = initialized(message, "GetMessage");
    if (!info || !accepts(info, index, kNANOTypeMessage) || !info->fields[index]) return nullptr;
    return NANOMessage::withMessageInfo(schema, static_cast<const MessageInfo*>(info->fields[index]));
}

void NANOSetMessage(NANOMessage& message, int32_t index, const NANOMessage* value) {
    MessageInfo* info = initialized(message, "SetMessage");
    if (!info || !accepts(info, index, kNANOTypeMessage)) return;
    if (!value) {
        NANOFreeField(info, index);  // no value: the field goes
        return;
    }
    const NANOMessageSchema* expected = info->schema->nested[index];
    if (!value->messageInfo() || value->messageInfo()->schema != expected) {
        systemLog("<ERROR> Invalid object type. Message fields expect %s. Type: %s",
                  expected ? expected->className : "?", value->schema().className);
        return;
    }
    MessageInfo* copy = nullptr;
    if (!NANOCopyMessageInfo(&copy, value->messageInfo())) {
        NANOFreeMessageInfo(copy);
        return;
    }
    NANOFreeField(info, index);
    info->fields[index] = copy;
}

// ---------------------------------------------------------------- arrays

namespace {

const char* typeNameOf(const NANOElement& element) {
    switch (element.index()) {
    case 0:
    case 1:
    case 2:
    case 3:
        return "NSNumber";
    case 4:
        return "NSString";
    case 5:
        return "NSData";
    default: {
        auto& m = std::get<std::shared_ptr<NANOMessage>>(element);
        return m ? m->schema().className : "nil";
    }
    }
}

bool isNumber(const NANOElement& e) { return e.index() <= 3; }

int64_t numberAsInt64(const NANOElement& e) {
    if (auto* b = std::get_if<bool>(&e)) return *b ? 1 : 0;
    if (auto* i = std::get_if<int64_t>(&e)) return *i;
    if (auto* u = std::get_if<uint64_t>(&e)) return int64_t(*u);
    double d = std::get<double>(e);
    // Out-of-range doubles have no integer value; they store as 0 rather than as undefined behaviour.
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return 0;
    return int64_t(d);
}

double numberAsDouble(const NANOElement& e) {
    if (auto* b = std::get_if<bool>(&e)) return *b ? 1 : 0;
    if (auto* i = std::get_if<int64_t>(&e)) return double(*i);
    if (auto* u = std::get_if<uint64_t>(&e)) return double(*u);
    return std::get<double>(e);
}

const char* expectation(uint32_t type) {
    if (type & kNANOTypeBool) return "Boolean fields expect NSNumber";
    if (type & (kNANOTypeInt32 | kNANOTypeUInt32)) return "Int32 fields expect NSNumber";
    if (type & (kNANOTypeInt64 | kNANOTypeUInt64)) return "Int64 fields expect NSNumber";
    if (type & kNANOTypeFloat) return "Float fields expect NSNumber";
    if (type & kNANOTypeDouble) return "Double fields expect NSNumber";
    if (type & kNANOTypeEnum) return "Enum fields expect NSNumber";
    if (type & kNANOTypeString) return "String fields expect NSString";
    if (type & kNANOTypeBytes) return "Bytes fields expect NSData";
    return "Message fields expect NANOMessageBase";
}

}  // namespace

std::optional<std::vector<NANOElement>> NANOGetArray(const NANOMessage& message, int32_t index,
                                                     const NANOMessageSchema* elementSchema) {
    MessageInfo* info = initialized(message, "GetArray");
    if (!info) return std::nullopt;
    if (!validIndex(info, index) || !isRepeated(info->types[index])) {
        systemLog("<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d", info->messageID, index);
        return std::nullopt;
    }
    auto* array = static_cast<const NANOArray*>(info->fields[index]);
    if (!array) {
        systemLog("<ERROR> Repeated field should have been allocated");
        return std::nullopt;
    }
    uint32_t type = info->types[index];
    std::vector<NANOElement> out;
    if (!array->elements) return out;
    const NANOMessageSchema* schema = elementSchema ? elementSchema : info->schema->nested[index];
    for (uint32_t e = 0; e < array->count; ++e) {
        const void* element = array->elements[e];
        if (!element) {
            systemLog("<ERROR> Unable to convert NULL data to an ObjC object");
            continue;
        }
        if (type & kNANOTypeBool) {
            out.emplace_back(bool(*static_cast<const uint8_t*>(element) != 0));
        } else if (type & (kNANOTypeEnum | kNANOTypeInt32)) {
            out.emplace_back(int64_t(int32_t(uint32_t(cellWord(element)))));
        } else if (type & kNANOTypeUInt32) {
            out.emplace_back(int64_t(uint32_t(cellWord(element))));
        } else if (type & kNANOTypeInt64) {
            out.emplace_back(int64_t(cellWord(element)));
        } else if (type & kNANOTypeUInt64) {
            out.emplace_back(uint64_t(cellWord(element)));
        } else if (type & kNANOTypeFloat) {
            float f;
            std::memcpy(&f, element, sizeof f);
            out.emplace_back(double(f));
        } else if (type & kNANOTypeDouble) {
            double d;
            std::memcpy(&d, element, sizeof d);
            out.emplace_back(d);
        } else if (isStringKind(type)) {
            auto* record = static_cast<const NANOString*>(element);
            if (!record->bytes) continue;
            if (type & kNANOTypeString)
                out.emplace_back(std::string(reinterpret_cast<const char*>(record->bytes), record->length));
            else
                out.emplace_back(platform::Bytes(record->bytes, record->bytes + record->length));
        } else if (isMessageKind(type) && schema) {
            if (auto m = NANOMessage::withMessageInfo(*schema, static_cast<const MessageInfo*>(element)))
                out.emplace_back(std::move(m));
        } else {
            systemLog("<ERROR> Unable to convert byte data to an ObjC object. Unknown type. %d", int(type));
        }
    }
    return out;
}

void NANOSetArray(NANOMessage& message, int32_t index, const std::optional<std::vector<NANOElement>>& array) {
    MessageInfo* info = initialized(message, "SetArray");
    if (!info) return;
    if (!validIndex(info, index) || !isRepeated(info->types[index])) {
        systemLog("<Nano/Failure> Field type isn't REPEATED. Message: %s, field ID: %d", info->messageID, index);
        return;
    }
    auto* record = static_cast<NANOArray*>(info->fields[index]);
    if (!record) {
        systemLog("<ERROR> Repeated field should have been allocated");
        return;
    }
    uint32_t type = info->types[index];
    NANOFreeField(info, index);
    if (!array || array->empty()) return;
    if (array->size() > std::numeric_limits<uint32_t>::max()) return;
    record->elements = allocateElements(uint32_t(array->size()), type);
    if (!record->elements) {
        systemLog("<ERROR> Unable to set NULL data to an ObjC object");
        return;
    }
    record->count = uint32_t(array->size());
    const NANOMessageSchema* elementSchema = info->schema->nested[index];
    for (size_t e = 0; e < array->size(); ++e) {
        const NANOElement& object = (*array)[e];
        void** slot = elementSlot(record, uint32_t(e), type);
        bool ok = true;
        if (type & kNANOTypeBool) {
            ok = isNumber(object);
            if (ok) NANOStoreBool(slot, numberAsInt64(object) != 0 || numberAsDouble(object) != 0);
        } else if (type & (kNANOTypeEnum | kNANOTypeInt32 | kNANOTypeUInt32)) {
            ok = isNumber(object);
            if (ok) NANOStoreUInt32(slot, uint32_t(uint64_t(numberAsInt64(object))));
        } else if (type & (kNANOTypeInt64 | kNANOTypeUInt64)) {
            ok = isNumber(object);
            if (ok)
                NANOStoreUInt64(slot, std::holds_alternative<uint64_t>(object) ? std::get<uint64_t>(object)
                                                                               : uint64_t(numberAsInt64(object)));
        } else if (type & kNANOTypeFloat) {
            ok = isNumber(object);
            if (ok) NANOStoreFloat(slot, float(numberAsDouble(object)));
        } else if (type & kNANOTypeDouble) {
            ok = isNumber(object);
            if (ok) NANOStoreDouble(slot, numberAsDouble(object));
        } else if (type & kNANOTypeString) {
            auto* s = std::get_if<std::string>(&object);
            ok = s != nullptr;
            if (ok) NANOStoreString(slot, reinterpret_cast<const uint8_t*>(s->data()), s->size());
        } else if (type & kNANOTypeBytes) {
            auto* b = std::get_if<platform::Bytes>(&object);
            ok = b != nullptr;
            if (ok) NANOStoreString(slot, b->data(), b->size());
        } else if (isMessageKind(type)) {
            auto* m = std::get_if<std::shared_ptr<NANOMessage>>(&object);
            ok = m && *m && (*m)->messageInfo() && (*m)->messageInfo()->schema == elementSchema;
            MessageInfo* copy = nullptr;
            if (ok) ok = NANOCopyMessageInfo(&copy, (*m)->messageInfo());
            if (ok) {
                *slot = copy;
            } else {
                NANOFreeMessageInfo(copy);
            }
        } else {
            systemLog("<ERROR> Unable to convert ObjC object to byte data. Unknown type. %d", int(type));
            NANOFreeField(info, index);
            return;
        }
        if (!ok) {
            systemLog("<ERROR> Invalid object type. %s. Type: %s", expectation(type), typeNameOf(object));
            NANOFreeField(info, index);
            return;
        }
    }
}

}  // namespace zidedova
