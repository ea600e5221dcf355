// SPDX-License-Identifier: ISC
// Page service client: fetches one teletext page as JSON over HTTP and
// decodes its markup into a 24 x 40 grid of coloured cells.
#ifndef DOVREL_API_HPP
#define DOVREL_API_HPP

#include <array>
#include <cstddef>
#include <cstdint>

constexpr int TT_ROWS = 24;
constexpr int TT_COLS = 40;

// Status codes of tt_get; tt_errstr gives their messages.
constexpr int TT_OK = 0;
constexpr int TT_EARG = 1;
constexpr int TT_EXFER = 2;
constexpr int TT_EHTTP = 3;
constexpr int TT_EDATA = 4;

// Colour numbers, in the order of the ANSI colour codes.
constexpr std::int32_t TT_BLACK = 0;
constexpr std::int32_t TT_RED = 1;
constexpr std::int32_t TT_GREEN = 2;
constexpr std::int32_t TT_YELLOW = 3;
constexpr std::int32_t TT_BLUE = 4;
constexpr std::int32_t TT_MAGENTA = 5;
constexpr std::int32_t TT_CYAN = 6;
constexpr std::int32_t TT_WHITE = 7;

struct tt_attr {
	std::int32_t fg;
	std::int32_t bg;
};

constexpr bool operator==(tt_attr a, tt_attr b) { return a.fg == b.fg && a.bg == b.bg; }

// A page text of at most 15 characters and its NUL.
using tt_link = std::array<char, 16>;

// One screen. Nothing in it is allocated: the caller owns the storage and
// every fetch rewrites it in place.
struct tt_page {
	std::array<std::array<std::int32_t, TT_COLS>, TT_ROWS> text;
	std::array<std::array<tt_attr, TT_COLS>, TT_ROWS> attr;
	tt_link id;           // the page text the page was requested with
	tt_link next_page;    // the answer's "nextPage", or empty
	tt_link next_subpage; // the answer's "nextSubPage", or empty
};

// Fetches page (a NUL-terminated page text such as "100" or "100-2") into
// *pg and returns a status code. page may point into pg->next_subpage.
int tt_get(const char *page, tt_page *pg);

// The message for a status code; never null.
const char *tt_errstr(int status);

// The rest is the client's inside, declared here so that the tests and the
// fuzzers can drive each step on its own.
struct json_tokener;
struct json_object;

// The largest answer taken, counted three times: the body as it arrives,
// chunk framing and all; the body once decoded; and the header and trailer
// lines. Everything else the connection carries is bounded with them, in
// the transport.
// A page is a few kilobytes, and the parsed document costs many times its
// text (a body of empty objects, a few hundred times).
constexpr std::size_t TT_MAX_ANSWER = std::size_t{256} * 1024;

// A service that has sent nothing of the answer for this long is given up
// on.
constexpr long TT_STALL_SECONDS = 30;

// Why a transfer was stopped from inside, for the message tt_errstr gives.
enum class tt_refusal : std::uint8_t { none, data, too_large, too_slow, no_connection, memory };

// The answer as it arrives.
struct fetch_ctx {
	int err = 0;                       // 0, or TT_EDATA once the body has been refused
	json_tokener *tok = nullptr;       // incremental parser for this transfer
	json_object *obj = nullptr;        // the complete JSON value, once there is one
	std::size_t received = 0;          // decoded body bytes so far
	tt_refusal why = tt_refusal::none; // set whenever the body is refused
};

// libcurl's write callback: feeds one body chunk to the tokener.
std::size_t jsonwrite(char *chunk, std::size_t size, std::size_t count, void *ctx);

// Makes ctx ready for the answer to come again from the start.
void restart_answer(fetch_ctx &ctx);

// The URL of page on the service host names (DOVREL_HOST; the built-in
// one when null or empty): TT_OK, or the status tt_get gives for a page
// text or service address that makes no URL. Nothing goes over the
// network.
int page_url(std::array<char, 1024> &url, const char *host, const char *page);

// What tt_get does once the transfer has succeeded: checks the HTTP status
// and the document, copies the links and decodes the content.
int take_answer(long http_status, json_object *obj, const char *page, tt_page *pg);

// Decodes page markup into the grid of *pg; writes all 960 cells.
void parse(const char *content, tt_page *pg);

#endif
