#include "measurement/storage/MSRNameUtil.h"

#include <cctype>
#include <map>
#include <set>

#include "measurement/storage/MSRMonitor.h"
#include "platform/objc/Runtime.h"

namespace measurement {

namespace {

const std::map<std::string, std::string, std::less<>>& eventNames() {
    static const auto* table = new std::map<std::string, std::string, std::less<>>{
        {"_cd", "campaign_details"},
        {"_ai", "app_install"},
        {"_au", "app_update"},
        {"_e", "user_engagement"},
        {"_f", "first_open"},
        {"_iap", "in_app_purchase"},
        {"_nd", "notification_dismiss"},
        {"_nf", "notification_foreground"},
        {"_no", "notification_open"},
        {"_nr", "notification_receive"},
        {"_ou", "os_update"},
        {"_s", "session_start"},
        {"_vs", "screen_view"},
        {"_err", "error"},
        {"_ae", "app_exception"},
    };
    return *table;
}

const std::map<std::string, std::string, std::less<>>& userPropertyNames() {
    static const auto* table = new std::map<std::string, std::string, std::less<>>{
        {"_fot", "first_open_time"},  {"_fi", "first_open_after_install"},  {"_id", "user_id"},
        {"_ln", "last_notification"}, {"_lte", "lifetime_user_engagement"}, {"_sid", "session_id"},
        {"_sno", "session_number"},
    };
    return *table;
}

const std::set<std::string, std::less<>>& reservedEventNames() {
    static const auto* names = new std::set<std::string, std::less<>>{"ad_activeview",
                                                                      "ad_click",
                                                                      "ad_exposure",
                                                                      "ad_impression",
                                                                      "ad_query",
                                                                      "adunit_exposure",
                                                                      "app_clear_data",
                                                                      "app_exception",
                                                                      "app_install",
                                                                      "app_remove",
                                                                      "app_update",
                                                                      "app_upgrade",
                                                                      "error",
                                                                      "first_open",
                                                                      "first_visit",
                                                                      "in_app_purchase",
                                                                      "notification_dismiss",
                                                                      "notification_foreground",
                                                                      "notification_open",
                                                                      "notification_receive",
                                                                      "os_update",
                                                                      "screen_view",
                                                                      "session_start",
                                                                      "user_engagement"};
    return *names;
}

const std::set<std::string, std::less<>>& reservedUserPropertyNames() {
    static const auto* names = new std::set<std::string, std::less<>>{
        "first_open_after_install", "first_open_time", "first_visit_time", "last_deep_link_referrer", "user_id"};
    return *names;
}

std::string display(const platform::Value& name, const std::map<std::string, std::string, std::less<>>& table) {
    const std::string* s = name.asString();
    if (!s) return name.description();
    if (s->empty()) return *s;
    auto it = table.find(*s);
    if (it == table.end()) return *s;
    if (MSRMonitor::shared()->isDebugMode() && platform::objc::lookUpClass("DOREdozadedo"))
        return it->second + " (" + *s + ")";
    return *s;
}

MSRNameError validate(const std::string& name, size_t maxLength, const std::set<std::string, std::less<>>& reserved) {
    if (name.empty() || name.size() > maxLength) return MSRNameError::Invalid;
    if (!std::isalpha(static_cast<unsigned char>(name[0]))) return MSRNameError::Invalid;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return MSRNameError::Invalid;
    for (const char* prefix : {"zidedova_", "vodezu_"})
        if (name.rfind(prefix, 0) == 0) return MSRNameError::Reserved;
    if (reserved.count(name)) return MSRNameError::Reserved;
    return MSRNameError::None;
}

}  // namespace

std::string MSRPublicEventNameForInternalName(const platform::Value& name) { return display(name, eventNames()); }

std::string MSRPublicUserPropertyNameForInternalName(const platform::Value& name) {
    if (const std::string* s = name.asString(); s && s->rfind("_exp_", 0) == 0) return "experiment_id (" + *s + ")";
    return display(name, userPropertyNames());
}

MSRNameError MSRValidatePublicEventName(const std::string& name) { return validate(name, 40, reservedEventNames()); }

MSRNameError MSRValidatePublicUserPropertyName(const std::string& name) {
    return validate(name, 24, reservedUserPropertyNames());
}

}  // namespace measurement
