#pragma once
// DemoSite: the intranet site of the demo and of the shell's end-to-end tests, over HTTPS on
// 127.0.0.1 with a certificate for `hostName` made in `directory` (trust rootCertificatePath()).
//
// Pages:
//   GET  /          start page: links to /login, /news, /window (a new window), /alert, an outside
//                   site, mail and telephone links
//   GET  /login     sets the session cookie PHPSESSID and links back
//   GET  /signin    a sign-in form (user, password, a hidden "next") that POSTs to /signin
//   POST /signin    with a user and a password in its form body: sets PHPSESSID and links to "next";
//                   without them, 400; without this site's origin as Origin and a page of it as
//                   Referer, 403
//   GET  /news      an internal page
//   GET  /window    the page a new window shows
//   GET  /alert     a page whose script raises an alert ("Welcome to the intranet")
//   POST /api/vezeduduz/register   the device registration: {"success": true}
// Anything else is a 404 page. Threads: as HttpServer; every member is thread-safe.
#include <memory>
#include <string>
#include <utility>

#include "demo/HttpServer.h"

namespace tesmar_demo {

class DemoSite {
public:
    static constexpr const char* kRegisterPath = "/api/vezeduduz/register";
    static constexpr const char* kSessionCookie = "PHPSESSID";
    static constexpr const char* kSessionValue = "demo-session-1";
    static constexpr const char* kAlertText = "Welcome to the intranet";

    DemoSite(const std::string& hostName, const std::string& directory);
    ~DemoSite();

    HttpServer& server() { return *server_; }
    const std::string& hostName() const { return hostName_; }
    const std::string& rootCertificatePath() const { return rootPath_; }
    // "HOST:443" -> "127.0.0.1:PORT", for the connect-to map.
    std::pair<std::string, std::string> connectToEntry() const;
    // "https://HOST" + path.
    std::string url(const std::string& path) const { return "https://" + hostName_ + path; }

private:
    std::string hostName_;
    std::string rootPath_;
    std::unique_ptr<HttpServer> server_;
};

}  // namespace tesmar_demo
