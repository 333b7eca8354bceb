#include "transfer/kept_connection.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <string>

namespace {

using ovan::IdleConnections;
using ovan::UrlParts;

UrlParts server(const wchar_t* host, INTERNET_PORT port, bool secure = true)
{
    UrlParts url;
    url.host = host;
    url.path = L"/files/a.dll";
    url.port = port;
    url.secure = secure;
    return url;
}

// Only the next request to the server an answer left a connection open to may reuse it, and only once.
TEST(IdleConnections, BelongToOneServerAndRouteAndAreTakenOnce)
{
    IdleConnections idle;
    idle.note(L"", server(L"Updates.example.com", 443));
    EXPECT_FALSE(idle.take(L"", server(L"updates.example.com", 8443)));
    EXPECT_FALSE(idle.take(L"", server(L"updates.example.com", 443, false)));
    EXPECT_FALSE(idle.take(L"proxy:3128", server(L"updates.example.com", 443)));
    EXPECT_FALSE(idle.take(L"", server(L"files.example.com", 443)));
    EXPECT_TRUE(idle.take(L"", server(L"updates.example.com", 443)));
    EXPECT_FALSE(idle.take(L"", server(L"updates.example.com", 443)));
}

TEST(KeptConnection, AnswersThatLeaveTheirConnectionOpen)
{
    struct Case {
        const wchar_t* version;
        const wchar_t* connection;
        bool keeps;
    };
    const Case cases[] = {
        {L"HTTP/1.1", L"", true},
        {L"HTTP/1.1", L"keep-alive", true},
        {L"HTTP/1.1", L"close", false},
        {L"HTTP/1.1", L" Close ", false},
        {L"HTTP/1.0", L"", false},
        {L"HTTP/1.0", L"Keep-Alive", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ovan::answerKeepsConnection(c.version, c.connection), c.keeps) << c.version << " " << c.connection;
    }
}

TEST(KeptConnection, OnlyADropBeforeTheAnswerIsOneToSendAgain)
{
    for (unsigned long code : {static_cast<unsigned long>(WSAECONNRESET), 12030ul, 12152ul}) {
        EXPECT_TRUE(ovan::droppedBeforeAnswer(code)) << code;
    }
    // Refused, unresolved, timed out, a failed TLS handshake: a new connection would meet the same.
    for (unsigned long code : {12029ul, 12007ul, 12002ul, 12175ul, static_cast<unsigned long>(WSAETIMEDOUT)}) {
        EXPECT_FALSE(ovan::droppedBeforeAnswer(code)) << code;
    }
}

}  // namespace
