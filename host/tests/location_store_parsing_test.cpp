// The location and store flags and commands: what each accepts and how it refuses.
#include <gtest/gtest.h>

#include "host/Commands.h"
#include "host/Options.h"

namespace {

using namespace tesmar_host;
using platform::Value;

TEST(HostLocationStoreOptions, FlagsAreReadOrRefused) {
    struct Case {
        std::vector<std::string> args;
        std::string error;  // empty: accepted
    } cases[] = {
        {{"--location-permission", "when-in-use", "--location", "52.5,13.4", "--payments", "disallowed", "--without",
          "StoreKit", "--without", "CoreLocation"},
         ""},
        {{"--location", "1,2,3,4"}, ""},
        {{"--location-permission", "granted"}, "--location-permission takes"},
        {{"--location", "91,0"}, "--location '91,0'"},
        {{"--location", "1,2,3"}, "--location '1,2,3'"},
        {{"--location", "1;2"}, "--location '1;2'"},
        {{"--payments", "yes"}, "--payments takes"},
        {{"--without", "UIKit"}, "--without takes CoreLocation or StoreKit"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {"tesmar-sim", "--bundle", "b"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto parsed = parseOptions(argv);
        if (c.error.empty()) {
            EXPECT_TRUE(parsed.options) << parsed.error;
        } else {
            EXPECT_FALSE(parsed.options) << c.error;
            EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
        }
    }
    auto parsed = parseOptions({"tesmar-sim", "--bundle", "b", "--location", "1,2,30,40", "--without", "StoreKit"});
    ASSERT_TRUE(parsed.options);
    EXPECT_DOUBLE_EQ(parsed.options->location->verticalAccuracy, 40);
    EXPECT_TRUE(parsed.options->without.count("StoreKit"));
    EXPECT_TRUE(parsed.options->paymentsAllowed);
}

TEST(HostLocationStoreCommands, EachVerbChecksItsArgument) {
    struct Case {
        std::string line;
        std::string error;  // empty: accepted
    } cases[] = {
        {"location-permission always", ""},
        {"location-permission maybe", "location-permission takes"},
        {"location 1 2", ""},
        {"location 1 2 3 4", ""},
        {"location 1", "location: a position is"},
        {"location 1 200", "longitude"},
        {"location a b", "'a' is not a number"},
        {"location-services off", ""},
        {"location-services maybe", "takes 'on' or 'off'"},
        {"store-product gems 0.99 EUR", ""},
        {"store-product gems -1 EUR", "is not a price"},
        {"store-product gems 1 EURO", "three-letter"},
        {"purchase gems", ""},
        {"purchase gems 3 restored", ""},
        {"purchase gems failed", ""},
        {"purchase gems 0", "quantity is 1 to 1000"},
        {"purchase gems 2 purchasing", "purchased, failed or restored"},
        {"purchases [{\"sku\":\"a\",\"quantity\":2},{\"sku\":\"b\",\"state\":\"restored\"}]", ""},
        {"purchases []", "non-empty JSON array"},
        {"purchases {\"sku\":\"a\"}", "non-empty JSON array"},
        {"purchases [{\"quantity\":1}]", "\"sku\" string"},
        {"purchases [{\"sku\":\"a\",\"quantity\":true}]", "whole number"},
        {"purchases [{\"sku\":\"a\"", "bad JSON"},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        if (c.error.empty()) {
            EXPECT_TRUE(parsed.command) << c.line << ": " << parsed.error;
        } else {
            EXPECT_FALSE(parsed.command) << c.line;
            EXPECT_NE(parsed.error.find(c.error), std::string::npos) << c.line << ": " << parsed.error;
        }
    }
    auto batch = parseCommand("purchases [{\"sku\":\"a\",\"quantity\":2},{\"sku\":\"b\"}]");
    ASSERT_TRUE(batch.command);
    ASSERT_EQ(batch.command->payload.asArray()->size(), 2u);
    EXPECT_EQ((*batch.command->payload.asArray())[1]["quantity"], Value(1));
    EXPECT_EQ((*batch.command->payload.asArray())[1]["state"], Value("purchased"));
}

}  // namespace
