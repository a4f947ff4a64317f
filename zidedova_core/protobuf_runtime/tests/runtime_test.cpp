// The message runtime through the diagnostics messages: accessors, arrays, decoding and encoding.
#include <gtest/gtest.h>

#include <mutex>

#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"

namespace zidedova {
namespace {

using platform::Bytes;

class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        NANOSetLogSink([this](bool, const std::string& line) {
            std::lock_guard lock(mutex_);
            lines_.push_back(line);
        });
    }
    void TearDown() override { NANOSetLogSink(nullptr); }
    bool logged(const std::string& fragment) {
        std::lock_guard lock(mutex_);
        for (auto& l : lines_)
            if (l.find(fragment) != std::string::npos) return true;
        return false;
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
};

Bytes encode(const NANOMessage& m) {
    auto bytes = m.protoBuffer();
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(Bytes{});
}

// Sets every slot of a message (unwritten schema fields included) to a distinct value.
void fillEverySlot(NANOMessage& m, int seed) {
    const NANOMessageSchema& s = m.schema();
    for (uint32_t i = 0; i < s.slotCount; ++i) {
        int32_t slot = int32_t(i);
        uint32_t t = s.types[i];
        std::string text = std::string(s.name) + "-" + std::to_string(seed * 100 + slot);
        if (t & kNANOTypeRepeated) {
            std::vector<NANOElement> elements;
            if (t & kNANOTypeMessage) {
                auto e = NANOMessage::withMessageInfo(*s.nested[i], nullptr);
                fillEverySlot(*e, seed + 1);
                elements = {e, e};
            } else if (t & kNANOTypeString) {
                elements = {text, std::string()};
            } else if (t & kNANOTypeBytes) {
                elements = {Bytes(text.begin(), text.end()), Bytes{0, 1, 2}};
            } else {
                elements = {int64_t(seed), int64_t(-1), int64_t(300)};
            }
            NANOSetArray(m, slot, elements);
        } else if (t & kNANOTypeMessage) {
            auto e = NANOMessage::withMessageInfo(*s.nested[i], nullptr);
            fillEverySlot(*e, seed + 1);
            NANOSetMessage(m, slot, e.get());
        } else if (t & kNANOTypeString) {
            NANOSetString(m, slot, text);
        } else if (t & kNANOTypeBytes) {
            NANOSetBytes(m, slot, Bytes(text.begin(), text.end()));
        } else if (t & kNANOTypeBool) {
            NANOSetBool(m, slot, (seed + slot) % 2 == 0);
        } else if (t & 0x1C0) {
            NANOSetInt32(m, slot, -(seed * 1000 + slot));
        } else if (t & 0x600) {
            NANOSetInt64(m, slot, -(int64_t(seed) << 40) - slot);
        }
    }
}

TEST_F(RuntimeTest, FreshMessageHasOnlyItsRepeatedFieldsAndEncodesEmpty) {
    for (const NANOMessageSchema* s :
         {&LLNPBLogRequest::messageSchema(), &LLNPBLogEvent::messageSchema(), &ZDVPBICoreConfiguration::messageSchema(),
          &LLNPBClientInfo::messageSchema(), &LLNPBIosClientInfo::messageSchema(), &ZDVPBErrorInfo::messageSchema()}) {
        SCOPED_TRACE(s->name);
        auto m = NANOMessage::withMessageInfo(*s, nullptr);
        ASSERT_TRUE(m);
        for (uint32_t i = 0; i < s->slotCount; ++i) {
            bool repeated = s->types[i] & kNANOTypeRepeated;
            EXPECT_EQ(NANOHasField(*m, int32_t(i)), repeated) << i;
            if (repeated) {
                EXPECT_EQ(NANOGetArray(*m, int32_t(i)).value().size(), 0u);
            }
        }
        auto bytes = m->protoBuffer();
        ASSERT_TRUE(bytes);
        EXPECT_TRUE(bytes->empty());
    }
}

TEST_F(RuntimeTest, Int32ScalarsSignExtendButArrayElementsAreZeroExtended) {
    ZDVPBErrorInfo error;
    NANOSetInt32(error, ZDVPBErrorInfo::error_code, -1);
    EXPECT_EQ(NANOGetInt32(error, ZDVPBErrorInfo::error_code), -1);
    EXPECT_EQ(encode(error), (Bytes{0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

    LLNPBLogEvent event;
    NANOSetArray(event, LLNPBLogEvent::test_code, std::vector<NANOElement>{int64_t(-1)});
    Bytes bytes = encode(event);
    EXPECT_EQ(bytes, (Bytes{0xA0, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}));
    auto back = NANOMakeFromBuffer<LLNPBLogEvent>(bytes);
    ASSERT_TRUE(back);
    auto elements = NANOGetArray(*back, LLNPBLogEvent::test_code).value();
    ASSERT_EQ(elements.size(), 1u);
    EXPECT_EQ(std::get<int64_t>(elements[0]), -1);
}

TEST_F(RuntimeTest, EmptyStringIsPresentAndEncoded) {
    ZDVPBErrorInfo error;
    NANOSetString(error, ZDVPBErrorInfo::error_domain, std::string());
    EXPECT_TRUE(NANOHasField(error, ZDVPBErrorInfo::error_domain));
    EXPECT_EQ(NANOGetString(error, ZDVPBErrorInfo::error_domain), std::string());
    EXPECT_EQ(encode(error), (Bytes{0x1A, 0x00}));
    auto back = NANOMakeFromBuffer<ZDVPBErrorInfo>(Bytes{0x1A, 0x00});
    ASSERT_TRUE(back);
    EXPECT_EQ(NANOGetString(*back, ZDVPBErrorInfo::error_domain), std::string());
    NANOSetString(error, ZDVPBErrorInfo::error_domain, std::nullopt);
    EXPECT_FALSE(NANOHasField(error, ZDVPBErrorInfo::error_domain));
}

TEST_F(RuntimeTest, SetArrayWithAWrongElementLeavesTheFieldEmpty) {
    LLNPBLogEvent event;
    NANOSetArray(event, LLNPBLogEvent::test_code, std::vector<NANOElement>{int64_t(4)});
    NANOSetArray(event, LLNPBLogEvent::test_code, std::vector<NANOElement>{int64_t(1), std::string("x")});
    EXPECT_TRUE(logged("<ERROR> Invalid object type. Int32 fields expect NSNumber. Type: NSString"));
    EXPECT_EQ(NANOGetArray(event, LLNPBLogEvent::test_code)->size(), 0u);

    // A message array takes elements of its own message only.
    LLNPBLogRequest request;
    auto wrong = NANOMake<ZDVPBErrorInfo>();
    NANOSetArray(request, LLNPBLogRequest::log_event, std::vector<NANOElement>{std::shared_ptr<NANOMessage>(wrong)});
    EXPECT_TRUE(logged("Message fields expect NANOMessageBase. Type: ZDVPBErrorInfo"));
    EXPECT_EQ(NANOGetArray(request, LLNPBLogRequest::log_event)->size(), 0u);
}

TEST_F(RuntimeTest, MisusedAccessorsAreRefused) {
    LLNPBLogEvent event;
    struct Case {
        const char* name;
        std::function<void()> call;
        const char* line;
    };
    auto config = NANOMake<ZDVPBICoreConfiguration>();
    const Case cases[] = {
        {"index past the end", [&] { NANOSetInt64(event, 18, 1); }, "out of range"},
        {"negative index", [&] { NANOSetString(event, -1, std::string("x")); }, "out of range"},
        {"bool on an int64", [&] { NANOSetBool(event, LLNPBLogEvent::event_time_ms, true); },
         "Field type isn't a scalar BOOL. Message: LogEvent, field ID: 0"},
        {"bytes on a string", [&] { NANOSetBytes(event, 3, Bytes{1}); }, "Field type isn't a scalar BYTES"},
        {"bytes on an int64", [&] { NANOSetBytes(event, LLNPBLogEvent::event_time_ms, Bytes{1}); },
         "Field type isn't a scalar BYTES"},
        {"string on a repeated field", [&] { NANOSetString(event, LLNPBLogEvent::test_code, std::string("x")); },
         "Field type isn't a scalar STRING"},
        {"array on a scalar", [&] { NANOSetArray(event, LLNPBLogEvent::event_time_ms, std::nullopt); },
         "Field type isn't REPEATED. Message: LogEvent, field ID: 0"},
        {"message of another class", [&] { NANOSetMessage(*config, ZDVPBICoreConfiguration::error_info, &event); },
         "Type: LLNPBLogEvent"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lines_.clear();
        c.call();
        EXPECT_TRUE(logged(c.line));
    }
    EXPECT_EQ(encode(event), Bytes{});
    EXPECT_FALSE(NANOHasField(*config, ZDVPBICoreConfiguration::error_info));
    EXPECT_FALSE(NANOHasField(event, 99));
    EXPECT_FALSE(NANOFreeField(event.messageInfo(), 18));
    EXPECT_TRUE(logged("<ERROR> LogEvent: Cannot deallocate field 18: Unknown field"));
}

TEST_F(RuntimeTest, MessagesOfAnotherClassAreNotAdopted) {
    ZDVPBICoreConfiguration config;
    ZDVPBErrorInfo error;
    NANOSetBool(error, ZDVPBErrorInfo::error_flag, true);
    NANOSetMessage(config, ZDVPBICoreConfiguration::error_info, &error);
    EXPECT_TRUE(NANOGetMessage<ZDVPBErrorInfo>(config, ZDVPBICoreConfiguration::error_info));
    EXPECT_FALSE(NANOGetMessage(config, ZDVPBICoreConfiguration::error_info, LLNPBLogEvent::messageSchema()));
    EXPECT_FALSE(NANOMake<LLNPBLogEvent>(error.messageInfo()));

    // Getting a nested message hands out a copy.
    auto copy = NANOGetMessage<ZDVPBErrorInfo>(config, ZDVPBICoreConfiguration::error_info);
    NANOSetBool(*copy, ZDVPBErrorInfo::error_flag, false);
    EXPECT_TRUE(NANOGetBool(*NANOGetMessage<ZDVPBErrorInfo>(config, ZDVPBICoreConfiguration::error_info),
                            ZDVPBErrorInfo::error_flag));
}

TEST_F(RuntimeTest, DecodedStringsAreCappedAtOneMebibyte) {
    for (size_t length : {size_t(1048576), size_t(1048577)}) {
        SCOPED_TRACE(length);
        Bytes wire = {0x1A};  // ErrorInfo.error_domain
        uint64_t v = length;
        while (v >= 0x80) {
            wire.push_back(uint8_t(v | 0x80));
            v >>= 7;
        }
        wire.push_back(uint8_t(v));
        wire.resize(wire.size() + length, 'a');
        auto m = NANOMakeFromBuffer<ZDVPBErrorInfo>(wire);
        if (length == 1048576) {
            ASSERT_TRUE(m);
            EXPECT_EQ(NANOGetString(*m, ZDVPBErrorInfo::error_domain)->size(), length);
        } else {
            EXPECT_FALSE(m);
            EXPECT_TRUE(logged("Buffer is too big. 1048577 > 1048576"));
        }
    }
}

TEST_F(RuntimeTest, DecodingKeepsTheFirstStringAndNoDeclaredDefaults) {
    auto m = NANOMakeFromBuffer<ZDVPBErrorInfo>(Bytes{0x1A, 0x01, 'a', 0x1A, 0x01, 'b'});
    ASSERT_TRUE(m);
    EXPECT_EQ(NANOGetString(*m, ZDVPBErrorInfo::error_domain), "a");

    auto event = NANOMakeFromBuffer<LLNPBLogEvent>(Bytes{0x08, 0x05});
    ASSERT_TRUE(event);
    EXPECT_FALSE(NANOHasField(*event, 12));  // field 15, declared default 180000
    EXPECT_EQ(NANOGetInt64(*event, LLNPBLogEvent::event_time_ms), 5);

    auto client = NANOMakeFromBuffer<LLNPBClientInfo>(Bytes{0x08, 0x03});
    ASSERT_TRUE(client);
    EXPECT_FALSE(NANOGetMessage<LLNPBIosClientInfo>(*client, LLNPBClientInfo::ios_client_info));
    EXPECT_EQ(NANOGetInt32(*client, LLNPBClientInfo::client_type), 3);

    auto request = NANOMakeFromBuffer<LLNPBLogRequest>(Bytes{});
    ASSERT_TRUE(request);
    EXPECT_FALSE(NANOHasField(*request, LLNPBLogRequest::client_info));
    EXPECT_FALSE(NANOHasField(*request, LLNPBLogRequest::log_source));  // declared default -1
}

TEST_F(RuntimeTest, EveryMessageRoundTripsByteForByteWithNestedFieldsKept) {
    for (const NANOMessageSchema* s :
         {&LLNPBLogRequest::messageSchema(), &LLNPBLogEvent::messageSchema(), &ZDVPBICoreConfiguration::messageSchema(),
          &LLNPBClientInfo::messageSchema(), &LLNPBIosClientInfo::messageSchema(), &ZDVPBErrorInfo::messageSchema()}) {
        SCOPED_TRACE(s->name);
        auto m = NANOMessage::withMessageInfo(*s, nullptr);
        fillEverySlot(*m, 1);
        Bytes first = encode(*m);
        ASSERT_FALSE(first.empty());
        auto decoded = NANOMessage::withBuffer(*s, first.data(), first.size());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(encode(*decoded), first);
        for (uint32_t i = 0; i < s->slotCount; ++i) EXPECT_TRUE(NANOHasField(*decoded, int32_t(i))) << i;
    }

    // Scalars and repeated fields inside nested messages survive decoding.
    LLNPBLogRequest request;
    fillEverySlot(request, 1);
    auto decoded = NANOMakeFromBuffer<LLNPBLogRequest>(encode(request));
    ASSERT_TRUE(decoded);
    auto client = NANOGetMessage<LLNPBClientInfo>(*decoded, LLNPBLogRequest::client_info);
    ASSERT_TRUE(client);
    EXPECT_EQ(NANOGetInt32(*client, LLNPBClientInfo::client_type), -2000);
    auto ios = NANOGetMessage<LLNPBIosClientInfo>(*client, LLNPBClientInfo::ios_client_info);
    ASSERT_TRUE(ios);
    EXPECT_EQ(NANOGetString(*ios, LLNPBIosClientInfo::os_version), "IosClientInfo-303");
    auto events = NANOGetArray(*decoded, LLNPBLogRequest::log_event).value();
    ASSERT_EQ(events.size(), 2u);
    auto event = std::static_pointer_cast<LLNPBLogEvent>(std::get<std::shared_ptr<NANOMessage>>(events[1]));
    EXPECT_EQ(NANOGetArray(*event, LLNPBLogEvent::test_code)->size(), 3u);
    EXPECT_EQ(NANOGetInt64(*event, LLNPBLogEvent::event_uptime_ms), -(int64_t(2) << 40) - 1);
}

TEST_F(RuntimeTest, BrokenInputIsRefused) {
    const Bytes inputs[] = {
        {0x0A},                    // LogRequest client_info: length missing
        {0x1A, 0x05, 0x08},        // log_event: truncated submessage
        {0x1A, 0x02, 0x0A, 0x05},  // log_event whose string runs past its end
        {0x2A, 0x80},              // serialized_log_events: unterminated length
        {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        // Whole elements first, then a broken one: what was gathered goes with the message.
        {0x1A, 0x02, 0x08, 0x01, 0x1A, 0x03, 0x12, 0x01, 'x', 0x1A, 0x05, 0x08},
        {0x2A, 0x01, 'a', 0x2A, 0x00, 0x2A, 0x05, 'b'},
        {0x1A, 0x04, 0xA0, 0x01, 0x05, 0xA0},  // log_event whose test_code varint is cut off
    };
    for (const Bytes& in : inputs) EXPECT_FALSE(NANOMakeFromBuffer<LLNPBLogRequest>(in));
}

// Repeated fields are gathered in one pass however many elements come, packed or not, in wire order.
TEST_F(RuntimeTest, RepeatedFieldsKeepEveryElementInOrder) {
    for (int count : {0, 1, 4, 5, 300}) {
        SCOPED_TRACE(count);
        std::vector<NANOElement> codes, files, events;
        for (int i = 0; i < count; ++i) {
            codes.emplace_back(int64_t(i * 1000 - 7));
            std::string text = "file-" + std::to_string(i);
            files.emplace_back(Bytes(text.begin(), text.end()));
            auto event = std::make_shared<LLNPBLogEvent>();
            NANOSetInt64(*event, LLNPBLogEvent::event_time_ms, i);
            NANOSetArray(*event, LLNPBLogEvent::test_code, std::vector<NANOElement>{int64_t(i), int64_t(-i)});
            events.emplace_back(std::shared_ptr<NANOMessage>(event));
        }
        LLNPBLogRequest request;
        NANOSetArray(request, LLNPBLogRequest::serialized_log_events, files);
        NANOSetArray(request, LLNPBLogRequest::log_event, events);
        auto decoded = NANOMakeFromBuffer<LLNPBLogRequest>(encode(request));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(NANOGetArray(*decoded, LLNPBLogRequest::serialized_log_events), files);
        auto back = NANOGetArray(*decoded, LLNPBLogRequest::log_event).value();
        ASSERT_EQ(back.size(), size_t(count));
        for (int i = 0; i < count; ++i) {
            auto& e = *std::get<std::shared_ptr<NANOMessage>>(back[size_t(i)]);
            EXPECT_EQ(NANOGetInt64(e, LLNPBLogEvent::event_time_ms), i);
            EXPECT_EQ(NANOGetArray(e, LLNPBLogEvent::test_code)->size(), 2u);
        }

        LLNPBLogEvent event;
        NANOSetArray(event, LLNPBLogEvent::test_code, codes);
        auto again = NANOMakeFromBuffer<LLNPBLogEvent>(encode(event));
        ASSERT_TRUE(again);
        EXPECT_EQ(NANOGetArray(*again, LLNPBLogEvent::test_code), codes);
    }
    // The same values packed into one length-delimited field.
    auto packed = NANOMakeFromBuffer<LLNPBLogEvent>(Bytes{0xA2, 0x01, 0x03, 0x01, 0x02, 0x7F, 0xA0, 0x01, 0x05});
    ASSERT_TRUE(packed);
    EXPECT_EQ(NANOGetArray(*packed, LLNPBLogEvent::test_code),
              (std::vector<NANOElement>{int64_t(1), int64_t(2), int64_t(127), int64_t(5)}));
}

// Fields are stored beside the record; clearing and setting again must leave no trace of the old value.
TEST_F(RuntimeTest, ClearedFieldsCanBeSetAgain) {
    ZDVPBErrorInfo error;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        NANOSetString(error, ZDVPBErrorInfo::error_domain, std::string(size_t(round) * 40, 'd'));
        NANOSetString(error, ZDVPBErrorInfo::error_domain, "domain-" + std::to_string(round));
        NANOSetInt32(error, ZDVPBErrorInfo::error_code, round - 1);
        EXPECT_EQ(encode(*NANOMakeFromBuffer<ZDVPBErrorInfo>(encode(error))), encode(error));
        auto copy = NANOMake<ZDVPBErrorInfo>(error.messageInfo());
        NANOClearField(error, ZDVPBErrorInfo::error_domain);
        NANOClearField(error, ZDVPBErrorInfo::error_code);
        EXPECT_FALSE(NANOHasField(error, ZDVPBErrorInfo::error_domain));
        EXPECT_FALSE(NANOHasField(error, ZDVPBErrorInfo::error_code));
        EXPECT_EQ(encode(error), Bytes{});
        EXPECT_EQ(NANOGetString(*copy, ZDVPBErrorInfo::error_domain), "domain-" + std::to_string(round));
        EXPECT_EQ(NANOGetInt32(*copy, ZDVPBErrorInfo::error_code), round - 1);
    }
}

}  // namespace
}  // namespace zidedova
