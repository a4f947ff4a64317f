// The reporter's log on a disk that refuses it: said once, its lines kept and appended in order once the
// disk takes them again, no line written twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crash_reporter/SdkLog.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PendingWrites.h"
#include "testing/FullDisk.h"
#include "testing/TemporaryDeviceRoot.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

TEST(SdkLog, RefusedLinesAreSaidOnceKeptAndAppendedWhenTheDiskTakesThem) {
    struct Row {
        const char* name;
        const char* error;
        std::function<std::function<void()>(const fs::path& log)> refuse;  // answers how to end it
    };
    const Row rows[] = {
        // Room for the first line and part of the second, which is cut back.
        {"a full disk", "File too large",
         [](const fs::path&) -> std::function<void()> {
             auto full = std::make_shared<tesmar_testing::FullDisk>(40);
             return [full] { full->lift(); };
         }},
        {"a folder in the file's place", "Is a directory",
         [](const fs::path& log) -> std::function<void()> {
             fs::create_directories(log);
             return [log] { fs::remove(log); };
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        tesmar_testing::TemporaryDeviceRoot device("sdk-log");
        const fs::path path = fs::path(device.path()) / "Library/Caches/com.dodoredized" / dodoredized::kSdkLogFileName;
        std::vector<Value> said;
        auto token = platform::DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
            if (name.rfind("storage.", 0) == 0)
                said.push_back(Value::dictionary({{"event", name}, {"fields", fields}}));
        });
        dodoredized::SdkLog log(path.string());
        auto end = row.refuse(path);
        log.info("first");
        log.info("second");
        log.warning("third");
        end();
        const std::string relative = "Library/Caches/com.dodoredized/sdk.log";
        ASSERT_EQ(said.size(), 1u);
        EXPECT_EQ(said[0],
                  Value::dictionary({{"event", "storage.failed"},
                                     {"fields", Value::dictionary({{"path", relative}, {"error", row.error}})}}));
        platform::PendingWrites::flushAll();  // the app leaving
        EXPECT_EQ(said.back(), Value::dictionary({{"event", "storage.recovered"},
                                                  {"fields", Value::dictionary({{"path", relative}})}}));
        std::ifstream in(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find(' ') + 1));
        EXPECT_EQ(lines, (std::vector<std::string>{"first", "second", "third"}));
    }
}

}  // namespace
