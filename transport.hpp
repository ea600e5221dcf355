// SPDX-License-Identifier: ISC
// The transport: one connection kept for the run, the rules that decide
// when it may carry the next page and when a fetch has gone on too long,
// the one more try on a new connection, and the count of every byte the
// service sends.
#ifndef DOVREL_TRANSPORT_HPP
#define DOVREL_TRANSPORT_HPP

#include "api.hpp"

#include <array>
#include <cstdint>
#include <string_view>

#include <curl/curl.h>

// Every byte that arrives during a fetch, on every connection it used:
// the body as sent and the header lines, each up to TT_MAX_ANSWER, with
// room for the TLS handshake and the framing around them. A flood of
// anything else (TLS messages, padding, HTTP/2 frames) ends well before
// 1 MiB.
constexpr std::uint64_t TT_MAX_RECEIVED = std::uint64_t{3} * TT_MAX_ANSWER;

// What one fetch came to: a whole answer with its HTTP status, its body in
// the answer's context; or nothing, and fetch_message() says why.
struct fetched {
	bool answered = false;
	long http_status = 0;
};

// Fetches url into answer, whose tokener is set, on the kept connection
// where it can be trusted.
fetched fetch(const char *url, fetch_ctx &answer);

// The message of the last failure, for tt_errstr; writable, for the
// address checks that fail before any transfer.
std::array<char, CURL_ERROR_SIZE> &fetch_message();

void set_fetch_message(std::string_view msg);

#endif
