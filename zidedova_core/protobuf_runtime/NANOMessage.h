#pragma once
// The protocol-buffer message runtime. A message is a record (MessageInfo) owning one slot per field in
// the message's own slot order, plus a thin object (NANOMessage) that owns one record. Fields
// are read and written by slot index through the generic accessors below; the wire work (tags, varints,
// submessage framing) is nanopb's, driven by the descriptor its generator made from the message's .proto.
//
// A message class is a NANOMessageSchema (name, type words, slot -> field number, nested schemas,
// nanopb descriptor and struct size) and a NANOMessage subclass naming it. Every operation here is one
// generic routine over that table.
//
// Presence: a NULL slot is an absent field. Scalars live in 8-byte cells (float cells 4 bytes) always
// written as a whole 64-bit word (bools 0/1, 32-bit values zero-extended). Strings and bytes are
// NANOString records, repeated fields NANOArray records made at init and kept until the message is
// freed (a repeated field is always present). The slot array and the cells and records of its
// singular scalars, strings and repeated fields are one allocation, so present fields cost no heap
// cell of their own (string bytes and nested messages do). Declared defaults never reach the record.
//
// Failures are logged and answered with the absent value (getters) or no change (setters); nothing
// here throws. Log lines of the object-level accessors go to the system log (the app's console); the
// record routines, stream callbacks, decoders and encoders print to the runtime's print channel
// (standard error here: standard output carries the host's event lines). Both go through one sink that
// tests may replace.
//
// Threads: none inside. A record and its object belong to one thread at a time; callers serialize.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Value.h"

struct pb_msgdesc_s;

namespace zidedova {

// Type words: exactly one kind bit; 0x08 marks a repeated field; 0x02 is set on singular fields.
inline constexpr uint32_t kNANOTypeSingular = 0x0002;
inline constexpr uint32_t kNANOTypeRepeated = 0x0008;
inline constexpr uint32_t kNANOTypeBool = 0x0020;
inline constexpr uint32_t kNANOTypeEnum = 0x0040;
inline constexpr uint32_t kNANOTypeInt32 = 0x0080;
inline constexpr uint32_t kNANOTypeUInt32 = 0x0100;
inline constexpr uint32_t kNANOTypeInt64 = 0x0200;
inline constexpr uint32_t kNANOTypeUInt64 = 0x0400;
inline constexpr uint32_t kNANOTypeFloat = 0x0800;
inline constexpr uint32_t kNANOTypeDouble = 0x1000;
inline constexpr uint32_t kNANOTypeString = 0x2000;
inline constexpr uint32_t kNANOTypeMessage = 0x4000;
inline constexpr uint32_t kNANOTypeBytes = 0x8000;

// Decoded strings and bytes above this are refused.
inline constexpr size_t kNANOMaxDecodedStringBytes = 1048576;

struct NANOString {
    uint32_t word;    // 0 for strings and bytes
    uint32_t length;  // authoritative
    uint8_t* bytes;   // non-NULL for a present value, also when empty
};

struct NANOArray {
    uint32_t filled;  // elements stored (equals `count` once a decode ends)
    uint32_t count;
    void** elements;  // `count` element pointers, NULL when there are none
};

struct NANOMessageSchema;

struct MessageInfo {
    void** fields;                    // one slot per field; NULL: not initialized
    const uint32_t* types;            // the schema's type words
    const char* messageID;            // the schema's name (compared by pointer)
    const NANOMessageSchema* schema;  // slot count, field numbers, nested messages, descriptor
};

class NANOMessage;

struct NANOMessageSchema {
    const char* name;       // "LogEvent"
    const char* className;  // "LLNPBLogEvent"
    uint32_t slotCount;
    const uint32_t* types;                     // slot order
    const uint32_t* fieldNumbers;              // slot order
    const char* const* slotNames;              // slot order; nullptr entries for unnamed fields
    const NANOMessageSchema* const* nested;    // slot order; the message of message slots
    const pb_msgdesc_s* descriptor;            // nanopb field table
    size_t structSize;                         // the nanopb structure
    std::shared_ptr<NANOMessage> (*create)();  // an empty object of the message's class
};

// --- records ---
// Init: slot array zeroed, empty NANOArray records in repeated slots. NO for a NULL record.
bool NANOInitMessageInfo(MessageInfo* info, const NANOMessageSchema& schema);
// Frees one field and empties its slot (a repeated field is emptied, its record kept). NO for an
// index outside the message.
bool NANOFreeField(MessageInfo* info, int32_t index);
// Frees every field, the repeated records, the slot array and the record itself. NULL is ignored.
void NANOFreeMessageInfo(MessageInfo* info);
// Frees *dest, makes a fresh record of src's message there and deep-copies every present field.
bool NANOCopyMessageInfo(MessageInfo** dest, const MessageInfo* src);
// Decodes into an initialized record in one pass: repeated elements are gathered, then stored in
// exactly sized arrays. On failure the record is left partly filled (nothing leaks).
bool NANODecodeMessageInfo(const uint8_t* bytes, size_t length, MessageInfo* info);
// Two-pass encode; the buffer (malloc'd, caller frees) through `out`. The length, or -1.
int32_t NANOEncodeMessageInfo(const MessageInfo* info, uint8_t** out);

// Low-level stores on a slot address (the cell or record is made when the slot is NULL).
void NANOStoreBool(void** slot, bool value);
void NANOStoreUInt32(void** slot, uint32_t value);
void NANOStoreUInt64(void** slot, uint64_t value);
void NANOStoreFloat(void** slot, float value);
void NANOStoreDouble(void** slot, double value);
// Copies `length` bytes followed by a zero byte the length does not count.
void NANOStoreString(void** slot, const uint8_t* bytes, size_t length);
void NANOFreeString(NANOString* string);
// Frees the elements (by the field's kind) and the element array; zeroes both counts. Record kept.
void NANOFreeArray(NANOArray* array, uint32_t type);

// --- objects ---
class NANOMessage {
public:
    explicit NANOMessage(const NANOMessageSchema& schema);
    virtual ~NANOMessage();
    NANOMessage(const NANOMessage&) = delete;
    NANOMessage& operator=(const NANOMessage&) = delete;

    // An object of the schema's class holding a deep copy of `info` (an empty message for NULL);
    // nullptr when `info` belongs to another message or the copy fails.
    static std::shared_ptr<NANOMessage> withMessageInfo(const NANOMessageSchema& schema, const MessageInfo* info);
    // Decodes serialized bytes; nullptr when they do not decode.
    static std::shared_ptr<NANOMessage> withBuffer(const NANOMessageSchema& schema, const uint8_t* bytes,
                                                   size_t length);

    // The serialized bytes; nullopt when encoding fails. An empty message gives empty bytes.
    std::optional<platform::Bytes> protoBuffer() const;
    const char* messageID() const { return schema_->name; }
    MessageInfo* messageInfo() const { return info_; }
    const NANOMessageSchema& schema() const { return *schema_; }

private:
    const NANOMessageSchema* schema_;
    MessageInfo* info_ = nullptr;  // null only when the init failed
};

// Typed construction for message classes (T: a NANOMessage subclass with static messageSchema()).
template <class T>
std::shared_ptr<T> NANOMake(const MessageInfo* info = nullptr) {
    return std::static_pointer_cast<T>(NANOMessage::withMessageInfo(T::messageSchema(), info));
}
template <class T>
std::shared_ptr<T> NANOMakeFromBuffer(const platform::Bytes& bytes) {
    return std::static_pointer_cast<T>(NANOMessage::withBuffer(T::messageSchema(), bytes.data(), bytes.size()));
}

// --- generic accessors (slot index) ---
bool NANOHasField(const NANOMessage& message, int32_t index);
void NANOClearField(NANOMessage& message, int32_t index);
bool NANOGetBool(const NANOMessage& message, int32_t index);
void NANOSetBool(NANOMessage& message, int32_t index, bool value);
int32_t NANOGetInt32(const NANOMessage& message, int32_t index);
void NANOSetInt32(NANOMessage& message, int32_t index, int32_t value);
int64_t NANOGetInt64(const NANOMessage& message, int32_t index);
void NANOSetInt64(NANOMessage& message, int32_t index, int64_t value);
double NANOGetDouble(const NANOMessage& message, int32_t index);
void NANOSetDouble(NANOMessage& message, int32_t index, double value);
std::optional<std::string> NANOGetString(const NANOMessage& message, int32_t index);
void NANOSetString(NANOMessage& message, int32_t index, const std::optional<std::string>& value);
void NANOSetBytes(NANOMessage& message, int32_t index, const std::optional<platform::Bytes>& value);
// A deep copy of the nested message as an object of `schema`'s class; nullptr when absent or when the
// field holds another message.
std::shared_ptr<NANOMessage> NANOGetMessage(const NANOMessage& message, int32_t index, const NANOMessageSchema& schema);
template <class T>
std::shared_ptr<T> NANOGetMessage(const NANOMessage& message, int32_t index) {
    return std::static_pointer_cast<T>(NANOGetMessage(message, index, T::messageSchema()));
}
// Stores a deep copy. A value of another message than the field's is refused (logged); nullptr clears.
void NANOSetMessage(NANOMessage& message, int32_t index, const NANOMessage* value);

// Elements of repeated fields as objects: numbers (bool, signed, unsigned, double), strings, data and
// messages.
using NANOElement =
    std::variant<bool, int64_t, uint64_t, double, std::string, platform::Bytes, std::shared_ptr<NANOMessage>>;
// nullopt when the field is not a repeated field of an initialized message. Message elements are made
// as objects of `elementSchema` (the field's own message when null); elements of another message are
// skipped.
std::optional<std::vector<NANOElement>> NANOGetArray(const NANOMessage& message, int32_t index,
                                                     const NANOMessageSchema* elementSchema = nullptr);
// Replaces the field's elements; nullopt empties it. The first element of the wrong kind is logged and
// leaves the field empty.
void NANOSetArray(NANOMessage& message, int32_t index, const std::optional<std::vector<NANOElement>>& array);

// Where the runtime's log lines go. `systemLog` is true for the object-level accessors' lines and false
// for the print channel. nullptr restores the default (system log: the console; print: stderr).
using NANOLogSink = std::function<void(bool systemLog, const std::string& line)>;
void NANOSetLogSink(NANOLogSink sink);

}  // namespace zidedova
