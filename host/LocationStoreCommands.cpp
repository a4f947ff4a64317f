#include "host/LocationStoreCommands.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "platform/foundation/JSON.h"
#include "platform/storekit/StoreKit.h"

namespace tesmar_host {

using platform::Value;
using Kind = Command::Kind;
namespace corelocation = platform::corelocation;
namespace storekit = platform::storekit;

namespace {

std::optional<double> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// A quantity of 1 to 1000, a state name; the transaction as the payload keeps it.
std::string transaction(const std::string& sku, int64_t quantity, const std::string& state, Value& out) {
    if (sku.empty()) return "a purchase needs a product identifier";
    if (quantity < 1 || quantity > 1000) return "a purchase's quantity is 1 to 1000, not " + std::to_string(quantity);
    auto parsed = storekit::transactionStateNamed(state);
    if (!parsed || (*parsed != storekit::TransactionState::Purchased && *parsed != storekit::TransactionState::Failed &&
                    *parsed != storekit::TransactionState::Restored))
        return "a purchase's state is purchased, failed or restored, not '" + state + "'";
    out = Value::dictionary({{"sku", sku}, {"quantity", quantity}, {"state", state}});
    return "";
}

}  // namespace

std::optional<corelocation::Position> parsePosition(const std::vector<std::string>& parts, std::string& error) {
    if (parts.size() < 2 || parts.size() > 4) {
        error = "a position is LAT LONG [HACC [VACC]]";
        return std::nullopt;
    }
    std::vector<double> values;
    for (const auto& p : parts) {
        auto v = number(p);
        if (!v) {
            error = "'" + p + "' is not a number";
            return std::nullopt;
        }
        values.push_back(*v);
    }
    corelocation::Position position;
    position.latitude = values[0];
    position.longitude = values[1];
    if (values.size() > 2) position.horizontalAccuracy = values[2];
    if (values.size() > 3) position.verticalAccuracy = values[3];
    if (std::fabs(position.latitude) > 90 || std::fabs(position.longitude) > 180) {
        error = "latitude is -90 to 90 and longitude -180 to 180";
        return std::nullopt;
    }
    return position;
}

std::string parseLocationStoreArgument(Kind kind, const std::string& verb, const std::string& rest, Command& command) {
    auto parts = words(rest);
    switch (kind) {
    case Kind::LocationPermission:
        if (parts.size() != 1 || !corelocation::authorizationStatusNamed(parts[0]))
            return verb + " takes not-determined, restricted, denied, always or when-in-use";
        command.text = parts[0];
        return "";
    case Kind::Location: {
        std::string error;
        auto position = parsePosition(parts, error);
        if (!position) return verb + ": " + error;
        command.payload = Value::dictionary({{"lat", position->latitude},
                                             {"long", position->longitude},
                                             {"hacc", position->horizontalAccuracy},
                                             {"vacc", position->verticalAccuracy}});
        return "";
    }
    case Kind::LocationServices:
        if (rest != "on" && rest != "off") return verb + " takes 'on' or 'off'";
        command.up = rest == "on";
        return "";
    case Kind::StoreProduct: {
        if (parts.size() != 3) return verb + " takes SKU PRICE CURRENCY";
        auto price = number(parts[1]);
        if (!price || *price < 0) return verb + ": '" + parts[1] + "' is not a price";
        if (parts[2].size() != 3) return verb + ": '" + parts[2] + "' is not a three-letter currency code";
        command.payload = Value::dictionary({{"sku", parts[0]}, {"price", *price}, {"currency", parts[2]}});
        return "";
    }
    case Kind::Purchase: {
        if (parts.empty() || parts.size() > 3) return verb + " takes SKU [QTY] [purchased|failed|restored]";
        int64_t quantity = 1;
        std::string state = "purchased";
        for (size_t i = 1; i < parts.size(); ++i) {
            if (auto n = number(parts[i]); n && i == 1) {
                if (*n != std::floor(*n)) return verb + ": '" + parts[i] + "' is not a whole quantity";
                quantity = static_cast<int64_t>(*n);
            } else {
                state = parts[i];
            }
        }
        Value one;
        if (auto error = transaction(parts[0], quantity, state, one); !error.empty()) return verb + ": " + error;
        command.payload = Value::array({one});
        return "";
    }
    case Kind::Purchases: {
        auto value = platform::json::read(rest);
        if (!value) return verb + ": bad JSON: " + value.error().localizedDescription();
        const platform::ValueArray* list = value.value().asArray();
        if (!list || list->empty()) return verb + " takes a non-empty JSON array of purchases";
        platform::ValueArray batch;
        for (const Value& item : *list) {
            if (!item.isDictionary() || !item["sku"].isString())
                return verb + ": each purchase is an object with a \"sku\" string";
            auto quantity = item.find("quantity") ? item["quantity"].asInteger() : std::optional<int64_t>(1);
            if (!quantity || item["quantity"].isBool()) return verb + ": \"quantity\" must be a whole number";
            Value one;
            if (auto error = transaction(item["sku"].stringOr(""), *quantity, item["state"].stringOr("purchased"), one);
                !error.empty())
                return verb + ": " + error;
            batch.push_back(std::move(one));
        }
        command.payload = Value(std::move(batch));
        return "";
    }
    default:
        return verb + " is not a location or store command";
    }
}

std::optional<std::string> runLocationStoreCommand(const Command& command) {
    switch (command.kind) {
    case Kind::LocationPermission:
        corelocation::setAuthorizationStatus(*corelocation::authorizationStatusNamed(command.text));
        return std::nullopt;
    case Kind::Location:
        corelocation::setPosition({command.payload["lat"].doubleOr(0), command.payload["long"].doubleOr(0),
                                   command.payload["hacc"].doubleOr(5), command.payload["vacc"].doubleOr(5)});
        return std::nullopt;
    case Kind::LocationServices:
        corelocation::setServicesEnabled(command.up);
        return std::nullopt;
    case Kind::StoreProduct:
        storekit::addProduct({command.payload["sku"].stringOr(""), command.payload["price"].doubleOr(0),
                              command.payload["currency"].stringOr("")});
        return std::nullopt;
    case Kind::Purchase:
    case Kind::Purchases: {
        std::vector<storekit::TransactionSpec> batch;
        for (const Value& item : *command.payload.asArray())
            batch.push_back({item["sku"].stringOr(""), item["quantity"].asInteger().value_or(1),
                             *storekit::transactionStateNamed(item["state"].stringOr("purchased"))});
        storekit::deliverTransactions(batch);
        return std::nullopt;
    }
    default:
        return "not a location or store command";
    }
}

}  // namespace tesmar_host
