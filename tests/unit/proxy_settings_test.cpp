#include "transfer/proxy_settings.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ovan;

TEST(ProxyForScheme, PicksTheEntryForTheScheme)
{
    struct Row {
        const wchar_t* list;
        const wchar_t* http;
        const wchar_t* https;
    };
    const Row rows[] = {
        {L"", L"", L""},
        {L"proxy.corp:3128", L"proxy.corp:3128", L"proxy.corp:3128"},
        {L"http=a:1;https=b:2", L"a:1", L"b:2"},
        {L"HTTPS=b:2 ; Http=a:1", L"a:1", L"b:2"},
        {L"http=a:1", L"a:1", L""},
        {L"ftp=f:21;socks=s:1080", L"", L""},
        {L"a:1;http=h:2", L"h:2", L"a:1"},
        {L"http://p.corp:8080", L"http://p.corp:8080", L"http://p.corp:8080"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message() << std::string(row.list, row.list + wcslen(row.list)));
        EXPECT_EQ(proxyForScheme(row.list, false), row.http);
        EXPECT_EQ(proxyForScheme(row.list, true), row.https);
    }
}

UrlParts url(const wchar_t* host, INTERNET_PORT port = 443, bool secure = true)
{
    UrlParts parts;
    parts.host = host;
    parts.port = port;
    parts.secure = secure;
    return parts;
}

TEST(BypassesProxy, ReadsTheListAsTheBrowserDoes)
{
    struct Row {
        const char* what;
        const wchar_t* list;
        UrlParts url;
        bool direct;
    };
    const Row rows[] = {
        {"empty list", L"", url(L"intranet"), false},
        {"<local>: a name without a dot", L"<local>", url(L"intranet"), true},
        {"<local>: localhost has no dot either", L"<local>", url(L"localhost"), true},
        {"<local>: a dotted name", L"<local>", url(L"updates.example.com"), false},
        {"<local>: an address", L"<local>", url(L"127.0.0.1"), false},
        {"<local> in any case", L"<Local>", url(L"intranet"), true},
        {"wildcard subdomain", L"*.example.com", url(L"files.example.com"), true},
        {"wildcard needs the dot", L"*.example.com", url(L"example.com"), false},
        {"wildcard ignores case", L"*.example.com", url(L"FILES.Example.COM"), true},
        {"wildcard elsewhere", L"files.*.com", url(L"files.example.com"), true},
        {"leading dot is a wildcard", L".example.com", url(L"cdn.example.com"), true},
        {"address range", L"10.*", url(L"10.1.2.3"), true},
        {"address range is anchored", L"10.*", url(L"110.1.2.3"), false},
        {"plain name is exact", L"example.com", url(L"example.com"), true},
        {"plain name no subdomain", L"example.com", url(L"www.example.com"), false},
        {"scheme that matches", L"https://files.example.com", url(L"files.example.com"), true},
        {"scheme that does not", L"http://files.example.com", url(L"files.example.com"), false},
        {"port that matches", L"files.example.com:8443", url(L"files.example.com", 8443), true},
        {"port that does not", L"files.example.com:8443", url(L"files.example.com", 443), false},
        {"several entries, blanks and commas", L"a.com; b.com , <local>", url(L"b.com"), true},
        {"none of several", L"a.com;b.com;<local>", url(L"c.com"), false},
        {"only a star", L"*", url(L"anything.example"), true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(bypassesProxy(row.list, row.url), row.direct) << row.what;
    }
}

}  // namespace
