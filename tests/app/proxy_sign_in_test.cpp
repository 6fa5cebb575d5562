// Which 407 may show the proxy sign-in dialog, from the system's proxy settings and the request's
// TLS state: the user's credentials must only ever go to a proxy.
#include <gtest/gtest.h>

#include "app/proxy_sign_in.h"

TEST(ProxySignIn, PlainRequestsCountAsProxiedOnlyWithNoWayAround)
{
    struct Case {
        const wchar_t* proxy;
        const wchar_t* bypass;
        bool proxied;
    };
    const Case cases[] = {
        {L"127.0.0.1:3128", nullptr, true},
        {L"127.0.0.1:3128", L"", true},
        {L"proxy.example:8080", L"<local>", true},
        {L"proxy.example:8080", L" <LOCAL> ; ", true},
        {L"http=proxy.example:8080;https=proxy.example:8443", nullptr, true},
        {L"HTTP=proxy.example:8080", L"<local>", true},
        // A way around the proxy: the server may have been asked directly.
        {L"proxy.example:8080", L"*.quorvel.com", false},
        {L"proxy.example:8080", L"<local>;127.0.0.1", false},
        {L"proxy.example:8080", L"<-loopback>", false},
        {L"proxy.example:8080", L"<local>x", false},
        // Plain requests are not sent to the proxy at all.
        {L"https=proxy.example:8443", nullptr, false},
        {L"https=proxy.example:8443;ftp=proxy.example:21", nullptr, false},
        {L"http=", nullptr, false},
        {L"xhttp=proxy.example:8080", nullptr, false},
        {L"", nullptr, false},
        {nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plain_requests_use_proxy(c.proxy, c.bypass), c.proxied)
            << (c.proxy ? c.proxy : L"(null)") << " bypass " << (c.bypass ? c.bypass : L"(null)");
    }
}

// Over https a 407 before TLS can only be a proxy's answer to the CONNECT (whatever chose that
// proxy); after it, the server's. A plain one counts only when the request surely went through one.
TEST(ProxySignIn, OnlyAProxysOwnAnswerAsks)
{
    struct Case {
        bool through_proxy;
        bool https;
        bool tunnel_made;
        bool asked;
    };
    const Case cases[] = {
        {true, false, false, true},   // the proxy's answer to a plain request
        {true, true, false, true},    // the proxy's answer to the CONNECT
        {false, true, false, true},   // the same, to a proxy that a configuration script chose
        {true, true, true, false},    // the server's, from inside the tunnel
        {false, true, true, false},   // the server's, asked directly
        {false, false, false, false}, // a plain request that may have gone around the proxy
    };
    for (const Case& c : cases) {
        EXPECT_EQ(proxy_asked(c.through_proxy, c.https, c.tunnel_made), c.asked)
            << c.through_proxy << c.https << c.tunnel_made;
    }
}
