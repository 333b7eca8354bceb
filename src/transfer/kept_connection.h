#pragma once

#include "transfer/url_parts.h"

#include <set>
#include <string>

namespace ovan {

// WinHTTP keeps a connection open after an answer read to its end and hands it to the next request to the
// same server on that session, but tells nobody whether a request got such a connection. A server that drops
// it meanwhile (its keep-alive timeout, a restart) fails that request before any byte of the answer arrives.
// So a kept session notes which servers it left an open connection to: the next request there is the one that
// may have reused it.
class IdleConnections {
public:
    // After an answer read to its end that leaves its connection open.
    void note(const std::wstring& proxy, const UrlParts& url);

    // Whether a request to the server may go out on a connection left open; it is taken either way, since a
    // request that fails takes its connection down with it.
    bool take(const std::wstring& proxy, const UrlParts& url);

private:
    std::set<std::wstring> servers_;
};

// Whether a request failed as one does on a connection its server had dropped: reset, or closed before an answer.
bool droppedBeforeAnswer(unsigned long code);

// Whether an answer of this HTTP version and Connection header leaves its connection open.
bool answerKeepsConnection(const std::wstring& version, const std::wstring& connection);

}  // namespace ovan
