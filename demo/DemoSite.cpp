#include "demo/DemoSite.h"

#include <map>

#include "demo/Certificates.h"
#include "platform/foundation/URL.h"

namespace tesmar_demo {

namespace {

std::string page(const std::string& title, const std::string& body) {
    return "<!doctype html><html><head><title>" + title + "</title></head><body><h1>" + title + "</h1>" + body +
           "</body></html>";
}

}  // namespace

DemoSite::DemoSite(const std::string& hostName, const std::string& directory) : hostName_(hostName) {
    ServerPKI pki = ServerPKI::make(hostName);
    rootPath_ = writePEMFile(directory + "/demo-site-root.pem", pki.root.certificatePEM);
    ServerFiles files = writeServerFiles(directory, pki.leaf, {&pki.intermediate}, "demo-site");
    server_ = std::make_unique<HttpServer>(files.certificateChainPath, files.privateKeyPath);

    const std::string html = "text/html; charset=utf-8";
    server_->route(
        "GET", "/",
        Reply::text(page("Tesmar Intranet", "<ul><li><a href=\"/login\">Log in</a></li>"
                                            "<li><a href=\"/news\">News</a></li>"
                                            "<li><a href=\"/window\" target=\"_blank\">Open in a new window</a></li>"
                                            "<li><a href=\"/alert\">Announcement</a></li>"
                                            "<li><a href=\"https://news.elsewhere.example/\">Outside news</a></li>"
                                            "<li><a href=\"mailto:helpdesk@tesmar.example\">Mail the help desk</a></li>"
                                            "<li><a href=\"tel:+15550100\">Call the help desk</a></li></ul>"),
                    200, html));
    server_->route("GET", "/login",
                   Reply::text(page("Logged in", "<a href=\"/\">Home</a>"), 200, html)
                       .header("Set-Cookie", std::string(kSessionCookie) + "=" + kSessionValue + "; Path=/; Secure"));
    server_->route("GET", "/signin",
                   Reply::text(page("Sign in", "<form method=\"post\" action=\"/signin\">"
                                               "<input type=\"hidden\" name=\"next\" value=\"/news\">"
                                               "<input name=\"user\"> <input type=\"password\" name=\"password\">"
                                               " <button>Sign in</button></form>"),
                               200, html));
    // A sign-in that only its own pages may send, as sites guard a form against other sites' pages.
    const std::string origin = "https://" + hostName;
    server_->route("POST", "/signin", Reply::dynamic([html, origin](const RecordedRequest& request, Reply& out) {
                       if (request.header("Origin") != origin ||
                           request.header("Referer").value_or("").rfind(origin + "/", 0) != 0) {
                           out = Reply::withStatus(403);
                           return;
                       }
                       auto form = platform::URLComponents::fromString("?" + request.body);
                       auto items = form ? form->queryItems() : std::nullopt;
                       std::map<std::string, std::string> fields;
                       for (const auto& item : items.value_or(std::vector<platform::URLQueryItem>()))
                           fields[item.name] = item.value.value_or("");
                       if (fields["user"].empty() || fields["password"].empty()) {
                           out = Reply::withStatus(400);
                           return;
                       }
                       out = Reply::text(page("Signed in", "<a href=\"" + fields["next"] + "\">Go on</a>"), 200, html)
                                 .header("Set-Cookie",
                                         std::string(kSessionCookie) + "=" + kSessionValue + "; Path=/; Secure");
                   }));
    server_->route("GET", "/news", Reply::text(page("News", "<p>The canteen opens at eight.</p>"), 200, html));
    server_->route("GET", "/window",
                   Reply::text(page("New window", "<button onclick=\"window.close()\">Close</button>"), 200, html));
    server_->route(
        "GET", "/alert",
        Reply::text(page("Announcement", std::string("<script>alert('") + kAlertText + "')</script>"), 200, html));
    server_->route("POST", kRegisterPath, Reply::json("{\"success\":true}"));
    // "/moved?to=URL": a server redirect to anywhere, for the roads a redirect can take.
    server_->route("GET", "/moved", Reply::dynamic([](const RecordedRequest& request, Reply& out) {
                       for (const auto& [name, value] : request.queryItems)
                           if (name == "to") {
                               out = Reply::redirect(value);
                               return;
                           }
                       out = Reply::withStatus(400);
                   }));
}

DemoSite::~DemoSite() {
    if (server_) server_->stop();
}

std::pair<std::string, std::string> DemoSite::connectToEntry() const {
    return {hostName_ + ":443", "127.0.0.1:" + std::to_string(server_->port())};
}

}  // namespace tesmar_demo
