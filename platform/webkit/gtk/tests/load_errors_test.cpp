// The engine's load errors, as the codes web-view delegates (and the app's connection-lost view) expect.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <webkit2/webkit2.h>

#include "demo/Certificates.h"
#include "platform/urlsession/URLError.h"
#include "platform/webkit/WebKitTypes.h"
#include "platform/webkit/gtk/internal/LoadErrors.h"

namespace {

using platform::webkit::gtk::certificateNameError;
using platform::webkit::gtk::loadError;

TEST(LoadErrors, EngineErrorsBecomeTheURLErrorsDelegatesExpect) {
    struct Row {
        const char* label;
        GQuark domain;
        int code;
        std::string expectedDomain;
        int64_t expectedCode;
    } rows[] = {
        {"refused connection", G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED, platform::kURLErrorDomain, -1004},
        // The loopback proxy closes the tunnel of a host it cannot reach.
        {"tunnel closed by the proxy", G_IO_ERROR, G_IO_ERROR_CONNECTION_CLOSED, platform::kURLErrorDomain, -1004},
        {"proxy failed", G_IO_ERROR, G_IO_ERROR_PROXY_FAILED, platform::kURLErrorDomain, -1004},
        {"time-out", G_IO_ERROR, G_IO_ERROR_TIMED_OUT, platform::kURLErrorDomain, -1001},
        {"cancelled I/O", G_IO_ERROR, G_IO_ERROR_CANCELLED, platform::kURLErrorDomain, -999},
        {"no network", G_IO_ERROR, G_IO_ERROR_NETWORK_UNREACHABLE, platform::kURLErrorDomain, -1009},
        {"unknown host", G_RESOLVER_ERROR, G_RESOLVER_ERROR_NOT_FOUND, platform::kURLErrorDomain, -1003},
        {"bad certificate", G_TLS_ERROR, G_TLS_ERROR_BAD_CERTIFICATE, platform::kURLErrorDomain, -1202},
        {"cancelled load", WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED, platform::kURLErrorDomain, -999},
        {"other scheme", WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL, platform::kURLErrorDomain, -1002},
        {"transport", WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_TRANSPORT, platform::kURLErrorDomain, -1004},
        {"URI the engine will not show", WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI,
         platform::kURLErrorDomain, -1002},
        // A navigation stopped by a decision keeps the engine's own domain and code.
        {"interrupted by a decision", WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE,
         platform::webkit::kWebKitEngineErrorDomain, 102},
        {"unknown I/O error", G_IO_ERROR, G_IO_ERROR_NOT_FOUND, platform::kURLErrorDomain, -1},
        {"unknown domain", g_quark_from_static_string("some-other-quark"), 7, platform::kURLErrorDomain, -1},
    };
    auto url = platform::URL::string("https://intranet.tesmar.example/news");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        auto error = loadError(g_quark_to_string(row.domain), row.code, "engine message", url);
        EXPECT_EQ(error.domain, row.expectedDomain);
        EXPECT_EQ(error.code, row.expectedCode);
    }
}

// A refused certificate whose name is what failed says which names it is for; other refusals keep the plain text.
TEST(LoadErrors, ACertificateForAnotherHostSaysWhichNamesItIsFor) {
    constexpr auto kBadName = G_TLS_CERTIFICATE_BAD_IDENTITY;
    struct Row {
        const char* label;
        std::string commonName;
        std::vector<std::string> dnsNames;
        int errors;
        std::optional<std::string> failure;  // code and description
    } rows[] = {
        {"several names",
         "a.test",
         {"a.test", "www.a.test"},
         kBadName | G_TLS_CERTIFICATE_UNKNOWN_CA,
         "-1202 The certificate for this server is invalid: its name does not match intranet.tesmar.example; it is "
         "made out to a.test, www.a.test."},
        {"a common name only",
         "b.test",
         {},
         kBadName,
         "-1202 The certificate for this server is invalid: its name does not match intranet.tesmar.example; it is "
         "made out to b.test."},
        {"its name matches",
         "intranet.tesmar.example",
         {"intranet.tesmar.example"},
         G_TLS_CERTIFICATE_UNKNOWN_CA,
         std::nullopt},
    };
    auto url = platform::URL::string("https://intranet.tesmar.example/news");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        tesmar_demo::CertificateSpec spec;
        spec.commonName = row.commonName;
        spec.dnsNames = row.dnsNames;
        GTlsCertificate* certificate =
            g_tls_certificate_new_from_pem(tesmar_demo::makeSelfSigned(spec).certificatePEM.c_str(), -1, nullptr);
        ASSERT_TRUE(certificate);
        auto error = certificateNameError(certificate, GTlsCertificateFlags(row.errors), url);
        g_object_unref(certificate);
        EXPECT_EQ(error ? std::optional(std::to_string(error->code) + " " + error->localizedDescription())
                        : std::nullopt,
                  row.failure);
    }
}

}  // namespace
