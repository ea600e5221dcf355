// SPDX-License-Identifier: ISC
// Page service client, from the page to the network: the character
// reference table and the markup decoder, the answer, the body's callbacks,
// the service's address, and the connection kept for the run with the
// fetch itself.
#include "api.hpp"
#include "compat.hpp"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <json-c/json.h>

// The build names the built-in service and the project's home page.
#if !defined(DOVREL_HOST) || !defined(DOVREL_HOME)
#error "DOVREL_HOST and DOVREL_HOME must be defined"
#endif

namespace {

struct entity {
	std::string_view name; // the whole reference, '&' and ';' included
	std::int32_t code;
};

constexpr std::array<entity, 67> entities{{
    {"&quot;", 0x22},   {"&amp;", 0x26},    {"&apos;", 0x27},   {"&lt;", 0x3C},     {"&gt;", 0x3E},
    {"&AElig;", 0xC6},  {"&Aacute;", 0xC1}, {"&Acirc;", 0xC2},  {"&Agrave;", 0xC0}, {"&Aring;", 0xC5},
    {"&Atilde;", 0xC3}, {"&Auml;", 0xC4},   {"&Ccedil;", 0xC7}, {"&ETH;", 0xD0},    {"&Eacute;", 0xC9},
    {"&Ecirc;", 0xCA},  {"&Egrave;", 0xC8}, {"&Euml;", 0xCB},   {"&Iacute;", 0xCD}, {"&Icirc;", 0xCE},
    {"&Igrave;", 0xCC}, {"&Iuml;", 0xCF},   {"&Ntilde;", 0xD1}, {"&Oacute;", 0xD3}, {"&Ocirc;", 0xD4},
    {"&Ograve;", 0xD2}, {"&Oslash;", 0xD8}, {"&Otilde;", 0xD5}, {"&Ouml;", 0xD6},   {"&THORN;", 0xDE},
    {"&Uacute;", 0xDA}, {"&Ucirc;", 0xDB},  {"&Ugrave;", 0xD9}, {"&Uuml;", 0xDC},   {"&Yacute;", 0xDD},
    {"&aacute;", 0xE1}, {"&acirc;", 0xE2},  {"&aelig;", 0xE6},  {"&agrave;", 0xE0}, {"&aring;", 0xE5},
    {"&atilde;", 0xE3}, {"&auml;", 0xE4},   {"&ccedil;", 0xE7}, {"&eacute;", 0xE9}, {"&ecirc;", 0xEA},
    {"&egrave;", 0xE8}, {"&eth;", 0xF0},    {"&euml;", 0xEB},   {"&iacute;", 0xED}, {"&icirc;", 0xEE},
    {"&igrave;", 0xEC}, {"&iuml;", 0xEF},   {"&ntilde;", 0xF1}, {"&oacute;", 0xF3}, {"&ocirc;", 0xF4},
    {"&ograve;", 0xF2}, {"&oslash;", 0xF8}, {"&otilde;", 0xF5}, {"&ouml;", 0xF6},   {"&szlig;", 0xDF},
    {"&thorn;", 0xFE},  {"&uacute;", 0xFA}, {"&ucirc;", 0xFB},  {"&ugrave;", 0xF9}, {"&uuml;", 0xFC},
    {"&yacute;", 0xFD}, {"&yuml;", 0xFF},
}};

constexpr tt_attr default_pair{TT_WHITE, TT_BLACK};

// Code points above this are private-use or beyond the teletext fonts and
// are shown as '%'.
constexpr std::int32_t last_shown = 0xEFFF;

// libcurl's message for the last failed transfer; tt_errstr hands it out.
std::array<char, CURL_ERROR_SIZE> curlerrbuf; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

/*
 * Colours
 */

constexpr std::size_t colour_stack_size = 8;

// The colour half of the decoder. Opening a tag saves the pair on a small
// stack and a closing marker brings it back; tags nested deeper than the
// stack only count, so their closings leave the colours as they are.
struct colours {
	tt_attr pair;
	std::array<tt_attr, colour_stack_size> stack; // entry n saved when depth went n-1 -> n
	int depth;
};

constexpr std::array<std::string_view, 8> colour_words{"black", "red",     "green", "yellow",
                                                       "blue",  "magenta", "cyan",  "white"};

// The colour number a word names, or -1. Whole words, case and all.
int colour_number(std::string_view word)
{
	for (std::size_t i = 0; i < colour_words.size(); ++i)
		if (word == colour_words[i])
			return static_cast<int>(i);
	return -1;
}

// The locale's classification would count 0xA0 in Latin-1 locales; markup
// separates its words with ASCII whitespace only.
bool is_ascii_space(char ch)
{
	return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

void tag_opened(colours &c)
{
	if (c.depth <= static_cast<int>(colour_stack_size) - 2)
		c.stack[static_cast<std::size_t>(c.depth) + 1] = c.pair;
	if (c.depth < INT_MAX)
		++c.depth;
}

void closing_marker(colours &c)
{
	if (c.depth < 2) {
		c.depth = 0;
		return;
	}
	// The '<' of a closing tag has raised the depth once more, so the
	// pair saved by the matching opening tag is one below the depth.
	if (c.depth <= static_cast<int>(colour_stack_size))
		c.pair = c.stack[static_cast<std::size_t>(c.depth) - 1];
	c.depth -= 2;
}

// begin..end are the raw bytes of a quoted attribute value, references and
// all. A word starting in the last three bytes is not read: a last word
// "red" needs a blank after it.
void value_complete(colours &c, const char *begin, const char *end)
{
	constexpr std::ptrdiff_t room_for_a_word = 4;
	// cppcheck-suppress knownConditionTrueFalse ; p moves on inside the loop
	for (const char *p = begin; end - p >= room_for_a_word;) {
		const bool background = std::strncmp(p, "bg-", 3) == 0;
		const char *word = background ? p + 3 : p;
		const char *word_end = word + 1;
		while (word_end < end && !is_ascii_space(*word_end))
			++word_end;
		const int n = colour_number({word, static_cast<std::size_t>(word_end - word)});
		if (n >= 0)
			(background ? c.pair.bg : c.pair.fg) = n;
		p = word_end;
		while (p < end && is_ascii_space(*p))
			++p;
	}
}

/*
 * Reading values
 */

std::int32_t read_hex_reference(const char *&p)
{
	char *end = nullptr;
	// strtoll accepts what strtol does here: leading blanks, a sign and a
	// 0x prefix. With no digits at all it leaves end at p + 3. Unlike a
	// long, a long long has 64 bits everywhere, so every platform keeps
	// the same low 32 bits.
	const long long n = std::strtoll(p + 3, &end, 16);
	p = end;
	if (*p == ';')
		++p;
	return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long long>(n)));
}

// p points at '&'.
std::int32_t read_reference(const char *&p)
{
	if (p[1] == '#' && p[2] == 'x')
		return read_hex_reference(p);
	// The second byte rules out most entries before strncmp runs; strncmp
	// stops at the content's NUL, so a short tail is safe.
	const auto *e = std::find_if(entities.begin(), entities.end(), [p](const entity &x) {
		return x.name[1] == p[1] && std::strncmp(p, x.name.data(), x.name.size()) == 0;
	});
	if (e == entities.end()) {
		++p;
		return '&';
	}
	p += e->name.size();
	return e->code;
}

bool is_continuation(unsigned char b) { return (b & 0xC0U) == 0x80U; }

// The length of the well-formed UTF-8 sequence at p (shortest form, no
// surrogates, at most U+10FFFF), or 0 if there is none.
int utf8_length(const unsigned char *p)
{
	const unsigned char b = p[0];
	if (b >= 0xC2 && b <= 0xDF)
		return is_continuation(p[1]) ? 2 : 0;
	if (b >= 0xE0 && b <= 0xEF) {
		const unsigned char lo = b == 0xE0 ? 0xA0 : 0x80;
		const unsigned char hi = b == 0xED ? 0x9F : 0xBF;
		return p[1] >= lo && p[1] <= hi && is_continuation(p[2]) ? 3 : 0;
	}
	if (b >= 0xF0 && b <= 0xF4) {
		const unsigned char lo = b == 0xF0 ? 0x90 : 0x80;
		const unsigned char hi = b == 0xF4 ? 0x8F : 0xBF;
		return p[1] >= lo && p[1] <= hi && is_continuation(p[2]) && is_continuation(p[3]) ? 4 : 0;
	}
	return 0;
}

// p points at a byte 0x80-0xFF. json-c hands over UTF-8, so a well-formed
// sequence is one character; any other byte stands for its Latin-1 self.
std::int32_t read_high_byte(const char *&p)
{
	const auto *u = reinterpret_cast<const unsigned char *>(p);
	const int len = utf8_length(u);
	if (len == 0) {
		++p;
		return u[0];
	}
	std::uint32_t cp = u[0] & (0xFFU >> (len + 1));
	for (int i = 1; i < len; ++i)
		cp = (cp << 6) | (u[i] & 0x3FU);
	p += len;
	return static_cast<std::int32_t>(cp);
}

// Reads one value at p and moves p past the bytes it consumed.
std::int32_t read_value(const char *&p)
{
	const auto b = static_cast<unsigned char>(*p);
	if (b == '&')
		return read_reference(p);
	if (b < 0x80) {
		++p;
		return b;
	}
	return read_high_byte(p);
}

/*
 * The decoder
 */

enum class markup : std::uint8_t { text, tag, value };

// The bytes that can matter inside a tag or a quoted value: the end of the
// text or line, a reference, and the markup's own characters. Everything
// else there is ignored, and a multibyte character never holds one of
// these, so the reader may pass over the rest a byte at a time.
constexpr std::array<bool, 256> bytes_that_matter(markup state)
{
	std::array<bool, 256> t{};
	for (const char ch : {'\0', '\n', '&', '"', '>'})
		t[static_cast<unsigned char>(ch)] = true;
	if (state == markup::tag)
		t['/'] = true;
	return t;
}

constexpr std::array<bool, 256> matters_in_tag = bytes_that_matter(markup::tag);
constexpr std::array<bool, 256> matters_in_value = bytes_that_matter(markup::value);

const char *skip_ignored(const char *p, markup state)
{
	const std::array<bool, 256> &matters = state == markup::tag ? matters_in_tag : matters_in_value;
	while (!matters[static_cast<unsigned char>(*p)])
		++p;
	return p;
}

void blank_to_end_of_row(tt_page *pg, std::size_t row, std::size_t col)
{
	for (; col < pg->text[row].size(); ++col) {
		pg->text[row][col] = ' ';
		pg->attr[row][col] = default_pair;
	}
}

void replace_unshown(tt_page *pg)
{
	const auto unshown = [](std::int32_t cp) { return cp > last_shown; };
	for (auto &row : pg->text)
		std::replace_if(row.begin(), row.end(), unshown, '%');
}

} // namespace

void parse(const char *content, tt_page *pg)
{
	const char *p = content;
	std::size_t row = 0;
	std::size_t col = 0;
	markup state = markup::text;
	const char *value_start = nullptr;
	colours c{default_pair, {}, 0};
	c.stack[0] = default_pair;

	for (;;) {
		if (*p == '\0' || *p == '\n') {
			// The end of the text is not passed, so every later row is
			// blanked in turn and all 24 are written.
			if (*p == '\n')
				++p;
			blank_to_end_of_row(pg, row, col);
			if (row == pg->text.size() - 1)
				return;
			++row;
			col = 0;
			continue;
		}

		if (state != markup::text) {
			p = skip_ignored(p, state);
			if (*p == '\0' || *p == '\n')
				continue;
		}
		const std::int32_t v = read_value(p);
		const char *last = p - 1; // the last byte the value consumed
		switch (state) {
		case markup::text:
			if (v == '<') {
				tag_opened(c);
				state = markup::tag;
			} else if (col < pg->text[row].size()) {
				pg->text[row][col] = v;
				pg->attr[row][col] = c.pair;
				++col;
			}
			break;
		case markup::tag:
			if (v == '"') {
				value_start = last;
				state = markup::value;
			} else if (v == '>') {
				state = markup::text;
			} else if (v == '/') {
				closing_marker(c);
			}
			break;
		case markup::value:
			if (v == '"' || v == '>') {
				value_complete(c, value_start + 1, last);
				state = v == '"' ? markup::tag : markup::text;
			}
			break;
		}
	}
}

namespace {

/*
 * The answer
 */

// Copies at most 15 bytes of src into a link field and ends it with NUL.
void copy_link(tt_link &field, const char *src)
{
	std::strncpy(field.data(), src, field.size() - 1);
	field.back() = '\0';
}

// A link that does not fit is left out rather than cut: a cut link names
// another page ("100-10" would become "100-1"), and so would one cut at a
// NUL inside it. A JSON null has no text form; the field stays empty for it
// too.
void copy_key(json_object *obj, const char *key, tt_link &field)
{
	json_object *v = nullptr;
	if (json_object_object_get_ex(obj, key, &v) == 0)
		return;
	const char *s = json_object_get_string(v);
	if (s == nullptr)
		return;
	const std::size_t len = std::strlen(s);
	if (len < field.size() && static_cast<std::size_t>(json_object_get_string_len(v)) <= len)
		copy_link(field, s);
}

} // namespace

int take_answer(long http_status, json_object *obj, const char *page, tt_page *pg)
{
	if (http_status < 200 || http_status > 299)
		return TT_EHTTP;
	if (obj == nullptr || json_object_is_type(obj, json_type_object) == 0)
		return TT_EDATA;

	// page may be pg->next_subpage: take the id before the links change.
	copy_link(pg->id, page);
	pg->next_page[0] = '\0';
	pg->next_subpage[0] = '\0';
	copy_key(obj, "nextPage", pg->next_page);
	copy_key(obj, "nextSubPage", pg->next_subpage);

	json_object *content = nullptr;
	if (json_object_object_get_ex(obj, "content", &content) == 0)
		return TT_EDATA;
	const char *markup_text = json_object_get_string(content);
	if (markup_text == nullptr)
		return TT_EDATA;
	parse(markup_text, pg);
	replace_unshown(pg);
	return TT_OK;
}

namespace {

/*
 * The body
 */

// JSON's own whitespace, which may follow a complete document.
bool is_json_space(std::string_view s) { return s.find_first_not_of(" \t\r\n") == std::string_view::npos; }

// The monotonic clock in milliseconds, which no change of the date moves.
long now_ms()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (static_cast<long>(t.tv_sec) * 1000) + (t.tv_nsec / 1000000);
}

void seen(fetch_ctx *fc, bool of_the_answer)
{
	fc->seen_ms = now_ms();
	if (of_the_answer)
		fc->answer_ms = fc->seen_ms;
}

// Stops the transfer: libcurl takes a short write for an error.
std::size_t refuse(fetch_ctx *fc, tt_refusal why)
{
	fc->err = TT_EDATA;
	fc->why = why;
	return 0;
}

} // namespace

std::size_t jsonwrite(char *chunk, std::size_t size, std::size_t count, void *ctx)
{
	auto *fc = static_cast<fetch_ctx *>(ctx);
	const std::size_t n = size * count;
	if (fc->err != 0)
		return refuse(fc, tt_refusal::data);
	fc->received += n;
	seen(fc, true);
	if (fc->received > TT_MAX_ANSWER)
		return refuse(fc, tt_refusal::too_large);
	// Whitespace may follow the document, in however many chunks;
	// anything else means the answer is not one document.
	if (fc->obj != nullptr)
		return is_json_space({chunk, n}) ? n : refuse(fc, tt_refusal::data);
	// The bound above keeps n far below the tokener's int length. Invalid
	// JSON in the last chunk is left for tt_get to find: no document.
	fc->obj = json_tokener_parse_ex(fc->tok, chunk, static_cast<int>(n));
	if (fc->obj == nullptr && json_tokener_get_error(fc->tok) != json_tokener_continue)
		fc->err = TT_EDATA;
	return n;
}

std::size_t headerwrite(char *line, std::size_t size, std::size_t count, void *ctx)
{
	auto *fc = static_cast<fetch_ctx *>(ctx);
	const std::size_t n = size * count;
	const std::string_view l{line, n};
	fc->headers += n;
	if (l.starts_with("HTTP/")) {
		// A 1xx answer only says that the answer is yet to come.
		const std::size_t code = l.find(' ');
		fc->interim = code != std::string_view::npos && code + 1 < n && l[code + 1] == '1';
	} else if (fc->sent > 0) {
		// A trailer line: the body's bytes as sent held it too, and it
		// counts here instead.
		fc->sent -= std::min(fc->sent, n);
		fc->trailer_open = l != "\r\n" && l != "\n";
	}
	seen(fc, !fc->interim);
	return fc->headers <= TT_MAX_ANSWER ? n : refuse(fc, tt_refusal::too_large);
}

namespace {

/*
 * The service's address
 */

// Whether s begins with a URL scheme and "://": a letter, then letters,
// digits, '+', '-' and '.'. Schemes are matched without regard to case;
// libcurl does the same.
bool has_scheme(std::string_view s)
{
	const auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
	if (s.empty() || !alpha(s[0]))
		return false;
	const std::size_t end =
	    s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
	if (end == std::string_view::npos)
		return false;
	s.remove_prefix(end); // substr could throw, and needs the C++ runtime
	return s.starts_with("://");
}

struct url_cleanup {
	void operator()(CURLU *u) const { curl_url_cleanup(u); }
};

// Whether an HTTP(S) base URL names no host. libcurl reads "http:///x" as
// the host x, so an empty authority is caught here first. Other schemes
// are refused by the transfer itself, in libcurl's words.
bool lacks_host(const char *base)
{
	if (strncasecmp(base, "http://", 7) != 0 && strncasecmp(base, "https://", 8) != 0)
		return false;
	const char *authority = std::strstr(base, "://") + 3;
	if (*authority == '\0' || *authority == '/')
		return true;
	const std::unique_ptr<CURLU, url_cleanup> u{curl_url()};
	return u && curl_url_set(u.get(), CURLUPART_URL, base, 0) == CURLUE_NO_HOST;
}

// Whether a service address given without a scheme has a colon that no
// port number follows in its host part ("http:/h", "https:h", "h:/x"):
// libcurl would look up the word before it as a host. The colons of an
// IPv6 literal are its own.
bool has_bad_port(std::string_view host)
{
	host = host.substr(0, host.find('/'));
	if (host.starts_with('[')) {
		const std::size_t end = host.find(']');
		host.remove_prefix(end == std::string_view::npos ? host.size() : end);
	}
	const std::size_t colon = host.find(':');
	return colon != std::string_view::npos &&
	       (colon + 1 == host.size() || host[colon + 1] < '0' || host[colon + 1] > '9');
}

// The service address is refused before any look-up: without a host, or
// with a word where its port should be, a word would be taken for a host,
// and a query or fragment would swallow the page's path. A query is named
// first: it is what turned the address into one without a host.
int check_service(const char *host, const char *base)
{
	const char *what = nullptr;
	if (std::strpbrk(host, "?#") != nullptr)
		what = "has a query or fragment";
	else if (!has_scheme(host) && has_bad_port(host))
		what = "has an empty or bad port";
	else if (lacks_host(base))
		what = "has no host";
	if (what == nullptr)
		return TT_OK;
	std::snprintf(curlerrbuf.data(), curlerrbuf.size(), "DOVREL_HOST %s: %s", what, host);
	return TT_EXFER;
}

} // namespace

int page_url(std::array<char, 1024> &url, const char *host, const char *page)
{
	// A DOVREL_HOST that begins with a scheme is the whole base URL (only
	// HTTP and HTTPS are then allowed); anything else is a host, optionally
	// with a path, spoken to over HTTP.
	if (host == nullptr || *host == '\0')
		host = DOVREL_HOST;
	std::array<char, 1024> base{};
	const int base_len =
	    std::snprintf(base.data(), base.size(), "%s%s", has_scheme(host) ? "" : "http://", host);
	// A URL cut short would fetch another resource.
	if (base_len < 0 || static_cast<std::size_t>(base_len) >= base.size())
		return TT_EARG;
	if (const int status = check_service(host, base.data()); status != TT_OK)
		return status;
	std::string_view b{base.data(), static_cast<std::size_t>(base_len)};
	if (b.ends_with('/'))
		b.remove_suffix(1);
	const int len =
	    std::snprintf(url.data(), url.size(), "%.*s/json/%s", static_cast<int>(b.size()), b.data(), page);
	return len < 0 || static_cast<std::size_t>(len) >= url.size() ? TT_EARG : TT_OK;
}

/*
 * The connection kept for the run
 */

// What the run keeps between fetches: one transfer handle, whose caches
// hold the connection to the service, its TLS session and the service's
// address, so that every page after the first travels on the connection
// the first one opened; and the sockets libcurl has open in it, so that a
// stall can be told from a slow link. libcurl hands out no socket while a
// transfer runs, so they are noted as it makes and closes them. The
// callbacks reach it through the data libcurl hands them.
struct kept_transfer {
	CURL *handle;
	CURLSH *sessions;                     // TLS sessions and addresses, kept when the handle is not
	std::array<curl_socket_t, 4> sockets; // CURL_SOCKET_BAD where free
	bool kernel_tells;                    // whether TCP_INFO answers, asked with the handle
	unsigned long made;                   // sockets made, for the connections tried
};

namespace {

// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
kept_transfer kept{
    nullptr, nullptr, {CURL_SOCKET_BAD, CURL_SOCKET_BAD, CURL_SOCKET_BAD, CURL_SOCKET_BAD}, false, 0};

void note_socket(kept_transfer &k, curl_socket_t from, curl_socket_t to)
{
	auto *const slot = std::find(k.sockets.begin(), k.sockets.end(), from);
	if (slot != k.sockets.end())
		*slot = to;
}

int socket_made(void *k, curl_socket_t fd, curlsocktype /*unused*/)
{
	auto &kt = *static_cast<kept_transfer *>(k);
	note_socket(kt, CURL_SOCKET_BAD, fd);
	++kt.made;
	return CURL_SOCKOPT_OK;
}

int socket_closing(void *k, curl_socket_t fd)
{
	note_socket(*static_cast<kept_transfer *>(k), fd, CURL_SOCKET_BAD);
	return close(fd);
}

// Bytes that reached the kernel this long after the last byte libcurl
// handed over are taken to be still on their way: a TLS record or a
// header line not yet whole.
constexpr long in_flight_ms = 1000;

// How long this fetch has had nothing of its answer, in ms; -1 while no
// connection is up (the rule for connecting governs that). The kernel says how
// long the liveliest connection has received nothing, but never more than
// the fetch has lasted, for a kept connection was silent while the user
// read the last page. While what arrived is still on its way, that is the
// figure; once libcurl has handed over all of it, only the answer counts,
// so that bytes which are not the answer (chunk extensions, interim
// answers, TLS messages) cannot keep a fetch going.
long silence_ms(const fetch_ctx &fc)
{
	long least = -1;
	for (const curl_socket_t fd : fc.kept->sockets) {
		const long ms = fd == CURL_SOCKET_BAD ? -1 : ms_since_received(fd);
		if (ms >= 0 && (least < 0 || ms < least))
			least = ms;
	}
	if (least < 0)
		return -1;
	const long now = now_ms();
	const long kernel = std::min(least, now - fc.start_ms);
	if (kernel + in_flight_ms < now - fc.seen_ms)
		return kernel;
	return std::max(kernel, now - fc.answer_ms);
}

// libcurl's progress callback, about once a second and after every read:
// the body as it arrives is bounded before decoding, so that an endless
// stream that decodes to nothing ends too, and so are the transport's own
// bytes; a fetch that has had nothing of its answer for the stall time
// ends, and so does one that has no connection after that time (SYNs
// dropped, an address that never answers), rather than wait out the
// kernel's retries.
int progress(void *ctx, curl_off_t /*unused*/, curl_off_t /*unused*/, curl_off_t /*unused*/,
             curl_off_t /*unused*/)
{
	auto *fc = static_cast<fetch_ctx *>(ctx);
	const long stall_ms = TT_STALL_SECONDS * 1000;
	const long silence = fc->kept->kernel_tells ? silence_ms(*fc) : 0;
	// A connection that the service has half closed says no more, but it
	// was there.
	fc->connected = fc->connected || silence >= 0;
	if (fc->sent > TT_MAX_ANSWER || fc->headers > TT_MAX_ANSWER)
		fc->why = tt_refusal::too_large;
	else if (silence >= stall_ms)
		fc->why = tt_refusal::too_slow;
	else if (!fc->connected && now_ms() - fc->start_ms >= stall_ms)
		fc->why = tt_refusal::no_connection;
	return fc->why == tt_refusal::none ? 0 : 1;
}

// libcurl's debug callback sees every byte as it arrives, before any
// decoding: the body with its chunk framing, and the TLS messages that
// carry no answer at all. The progress callback stops the transfer once
// they are too many.
int transport_bytes(CURL * /*unused*/, curl_infotype type, char * /*unused*/, std::size_t n, void *ctx)
{
	auto *fc = static_cast<fetch_ctx *>(ctx);
	if (type == CURLINFO_DATA_IN)
		fc->sent += n;
	else if (type == CURLINFO_SSL_DATA_IN)
		fc->headers += n;
	else
		return 0;
	seen(fc, false);
	return 0;
}

// Whether the connection on fd has bytes waiting that nobody asked for:
// a late answer, bytes past the end of the last one, a TLS record. A
// connection the service has closed has none; libcurl drops it itself and
// keeps its TLS session for the next.
bool has_stray_bytes(curl_socket_t fd)
{
	pollfd p{fd, POLLIN, 0};
	char b = 0;
	return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0 && recv(fd, &b, 1, MSG_PEEK) > 0;
}

bool kept_connection_has_stray_bytes()
{
	return std::any_of(kept.sockets.begin(), kept.sockets.end(),
	                   [](curl_socket_t fd) { return fd != CURL_SOCKET_BAD && has_stray_bytes(fd); });
}

// The content codings asked for: the token the service has always been
// sent first, then those this libcurl decodes.
const char *accepted_encodings()
{
	const bool zlib = (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_LIBZ) != 0;
	return zlib ? "application/json, gzip, deflate" : "application/json";
}

void set_options(CURL *h, const char *url, fetch_ctx *ctx, bool fresh)
{
	curl_easy_setopt(h, CURLOPT_ERRORBUFFER, curlerrbuf.data());
	curl_easy_setopt(h, CURLOPT_USERAGENT, "dovrel (+" DOVREL_HOME ")");
	curl_easy_setopt(h, CURLOPT_URL, url);
	curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, jsonwrite);
	curl_easy_setopt(h, CURLOPT_WRITEDATA, ctx);
	curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, headerwrite);
	curl_easy_setopt(h, CURLOPT_HEADERDATA, ctx);
	curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, accepted_encodings());
	// ftp://, file:// and the rest fail before any look-up or connection.
	allow_http_only(h);
	curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, socket_made);
	curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, ctx->kept);
	curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, socket_closing);
	curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, ctx->kept);
	curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress);
	curl_easy_setopt(h, CURLOPT_XFERINFODATA, ctx);
	curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
	curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, transport_bytes);
	curl_easy_setopt(h, CURLOPT_DEBUGDATA, ctx);
	curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
	// libcurl reads up to a hundred buffers before it calls back, so the
	// buffer bounds what a flood of bytes that are not the answer brings in
	// before it is stopped: well under 1 MiB. A page fits in one or two.
	curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 4096L);
	// HTTP/1.1 only: over HTTP/2 a service can send frames that are no
	// part of any answer, and a request sent as an idle connection closes
	// is lost, where over HTTP/1.1 libcurl sends it again.
	curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
	curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
	curl_easy_setopt(h, CURLOPT_SHARE, ctx->kept->sessions);
	// No overall time limit, which a slow link could need, but a service
	// that has stopped sending (or never started) does not hold the
	// terminal for ever. Where the kernel cannot say when the connection
	// last received anything, libcurl's rules stand in: the low-speed rule
	// counts body bytes only, and the connect time-out takes in the TLS
	// handshake.
	if (!ctx->kept->kernel_tells) {
		curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
		curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, TT_STALL_SECONDS);
		curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, TT_STALL_SECONDS);
	}
	// As OpenSSL and the curl tool read them: a private CA's certificates,
	// in a file or in a folder of hashed names.
	if (const char *ca = std::getenv("SSL_CERT_FILE"); ca != nullptr && *ca != '\0')
		curl_easy_setopt(h, CURLOPT_CAINFO, ca);
	if (const char *dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0')
		curl_easy_setopt(h, CURLOPT_CAPATH, dir);
}

void set_message(std::string_view msg)
{
	const std::size_t n = std::min(msg.size(), curlerrbuf.size() - 1);
	std::memcpy(curlerrbuf.data(), msg.data(), n);
	curlerrbuf[n] = '\0';
}

// The message for a transfer that failed.
void explain_failure(CURLcode rc, const fetch_ctx &ctx, bool connected)
{
	switch (ctx.why) {
	case tt_refusal::too_large:
		std::snprintf(curlerrbuf.data(), curlerrbuf.size(), "answer larger than %zu KiB",
		              TT_MAX_ANSWER / 1024);
		return;
	case tt_refusal::too_slow:
		// The words libcurl's own rule uses, which users know.
		std::snprintf(curlerrbuf.data(), curlerrbuf.size(),
		              "Operation too slow. Less than 1 bytes/sec transferred the last %ld seconds",
		              TT_STALL_SECONDS);
		return;
	case tt_refusal::no_connection:
		std::snprintf(curlerrbuf.data(), curlerrbuf.size(),
		              "Connection timed out after %ld milliseconds", now_ms() - ctx.start_ms);
		return;
	case tt_refusal::data:
		// A body refused by jsonwrite is the service's fault, not a
		// failure to write anything here, whatever libcurl calls it.
		set_message(tt_errstr(TT_EDATA));
		return;
	case tt_refusal::none:
		// libcurl's decoder refusing the body (two gzip members, bytes
		// past the stream) and a header line too long for it are the
		// service's fault too, not a failure to write or to find memory.
		if (rc == CURLE_WRITE_ERROR || header_line_too_long(rc, connected))
			set_message(tt_errstr(TT_EDATA));
		else if (curlerrbuf[0] == '\0')
			set_message(curl_easy_strerror(rc));
		return;
	}
}

struct tokener_free {
	void operator()(json_tokener *t) const { json_tokener_free(t); }
};
struct object_put {
	void operator()(json_object *o) const { json_object_put(o); }
};

// Whether the transfer that failed may be sent once more: it went out on
// a connection kept from an earlier page (it made no socket, and it had a
// service's address: a look-up that failed has none), and nothing of its
// answer came (an idle close racing the request, a reset, bytes that were
// no answer).
bool worth_a_new_connection(CURL *h, const fetch_ctx &ctx, unsigned long made_before)
{
	char *ip = nullptr;
	curl_easy_getinfo(h, CURLINFO_PRIMARY_IP, &ip);
	return kept.made == made_before && ip != nullptr && *ip != '\0' && ctx.headers == 0 &&
	       ctx.received == 0 && ctx.why == tt_refusal::none;
}

// Runs one transfer of url into a fresh context on the kept handle.
CURLcode transfer(CURL *h, const char *url, fetch_ctx &ctx, json_tokener *tok, bool fresh)
{
	const long now = now_ms();
	ctx =
	    fetch_ctx{0, tok, nullptr, 0, 0, tt_refusal::none, 0, false, false, now, now, now, &kept, false};
	// Every option is set afresh: only the caches outlive a fetch.
	curl_easy_reset(h);
	set_options(h, url, &ctx, fresh);
	CURLcode rc = curl_easy_perform(h);
	// The end of the trailer block is no line libcurl hands over.
	if (ctx.trailer_open)
		ctx.headers += 2;
	if (rc == CURLE_OK && (ctx.sent > TT_MAX_ANSWER || ctx.headers > TT_MAX_ANSWER)) {
		ctx.why = tt_refusal::too_large;
		rc = CURLE_ABORTED_BY_CALLBACK;
	}
	return rc;
}

} // namespace

int tt_get(const char *page, tt_page *pg)
{
	if (page == nullptr || pg == nullptr || *page == '\0')
		return TT_EARG;
	std::array<char, 1024> url{};
	if (const int status = page_url(url, std::getenv("DOVREL_HOST"), page); status != TT_OK)
		return status;

	const std::unique_ptr<json_tokener, tokener_free> tok{json_tokener_new()};
	if (!tok) {
		set_message("cannot create the JSON parser");
		return TT_EXFER;
	}
	// Whatever waits unread on the kept connection would be taken for this
	// page's answer. The page goes on a new connection, and the old one is
	// closed with the handle whose cache holds it, so that no later page
	// can be given it either.
	if (kept.handle != nullptr && kept_connection_has_stray_bytes()) {
		curl_easy_cleanup(kept.handle);
		kept.handle = nullptr;
	}
	if (kept.handle == nullptr) {
		kept.handle = curl_easy_init();
		kept.kernel_tells = kernel_tells_silence();
	}
	// A new handle for stray bytes still resumes the TLS session.
	if (kept.sessions == nullptr) {
		kept.sessions = curl_share_init();
		curl_share_setopt(kept.sessions, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
		curl_share_setopt(kept.sessions, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
	}
	if (kept.handle == nullptr) {
		set_message("cannot create the transfer");
		return TT_EXFER;
	}
	CURL *h = kept.handle;
	fetch_ctx ctx{};
	const unsigned long made_before = kept.made;
	CURLcode rc = transfer(h, url.data(), ctx, tok.get(), false);
	if (rc != CURLE_OK && worth_a_new_connection(h, ctx, made_before)) {
		json_tokener_reset(tok.get());
		curlerrbuf[0] = '\0';
		rc = transfer(h, url.data(), ctx, tok.get(), true);
	}
	const std::unique_ptr<json_object, object_put> obj{ctx.obj};
	if (rc != CURLE_OK) {
		char *ip = nullptr;
		curl_easy_getinfo(h, CURLINFO_PRIMARY_IP, &ip);
		explain_failure(rc, ctx, ip != nullptr && *ip != '\0');
		return TT_EXFER;
	}

	long http_status = 0;
	curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &http_status);
	return take_answer(http_status, obj.get(), page, pg);
}

const char *tt_errstr(int status)
{
	switch (static_cast<unsigned>(status)) {
	case TT_OK:
		return "no error";
	case TT_EARG:
		return "invalid argument";
	case TT_EXFER:
		return curlerrbuf.data();
	case TT_EHTTP:
		return "API returned an error code";
	case TT_EDATA:
		return "API returned invalid or unexpected data";
	default:
		return "unknown error";
	}
}
