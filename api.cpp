// SPDX-License-Identifier: ISC
// Page service client: the character reference table and the markup
// decoder, the answer and its body, the service's address, and the fetch
// of a page, which the transport carries.
#include "api.hpp"
#include "transport.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include <strings.h>

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

	// Reading a value that is not a string makes json-c write it out,
	// and an allocation that fails there leaves a link out or the content
	// empty: nothing is taken from a document read short of memory.
	errno = 0;
	tt_link next_page{};
	tt_link next_subpage{};
	copy_key(obj, "nextPage", next_page);
	copy_key(obj, "nextSubPage", next_subpage);
	json_object *content = nullptr;
	const char *markup_text = json_object_object_get_ex(obj, "content", &content) != 0
	                              ? json_object_get_string(content)
	                              : nullptr;
	if (errno == ENOMEM) {
		set_fetch_message(std::strerror(ENOMEM));
		return TT_EXFER;
	}

	// page may be pg->next_subpage: take the id before the links change.
	copy_link(pg->id, page);
	// cppcheck-suppress autoVariables ; a std::array is copied, not pointed to
	pg->next_page = next_page;
	// cppcheck-suppress autoVariables
	pg->next_subpage = next_subpage;
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

// Stops the transfer: libcurl takes a short write for an error.
std::size_t refuse(fetch_ctx *fc, tt_refusal why)
{
	fc->err = TT_EDATA;
	fc->why = why;
	return 0;
}

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

// json-c before 0.17 reads on past an allocation that failed, with a
// string cut short or a member left out, and says nothing: malloc's ENOMEM
// is the only sign, and json-c clears errno as it reads each number, which
// happens at the byte after its last digit. So the tokener is given a
// chunk in pieces that end at such a digit, so that any number a piece
// completes is read at its first byte, and errno after it is still the
// sign of every allocation in it. A page has some tens of them.
std::size_t end_of_piece(const char *chunk, std::size_t from, std::size_t n)
{
	for (std::size_t i = from + 1; i < n; ++i)
		if (is_digit(chunk[i - 1]) && !is_digit(chunk[i]))
			return i;
	return n;
}

} // namespace

std::size_t jsonwrite(char *chunk, std::size_t size, std::size_t count, void *ctx)
{
	auto *fc = static_cast<fetch_ctx *>(ctx);
	const std::size_t n = size * count;
	if (fc->err != 0)
		return refuse(fc, tt_refusal::data);
	fc->received += n;
	if (fc->received > TT_MAX_ANSWER)
		return refuse(fc, tt_refusal::too_large);
	// Whitespace may follow the document, in however many chunks;
	// anything else means the answer is not one document.
	if (fc->obj != nullptr)
		return is_json_space({chunk, n}) ? n : refuse(fc, tt_refusal::data);
	// The bound above keeps n far below the tokener's int length. Invalid
	// JSON in the last chunk is left for tt_get to find: no document.
	for (std::size_t at = 0; at < n && fc->obj == nullptr;) {
		const std::size_t cut = end_of_piece(chunk, at, n);
		errno = 0;
		fc->obj = json_tokener_parse_ex(fc->tok, chunk + at, static_cast<int>(cut - at));
		if (errno == ENOMEM)
			return refuse(fc, tt_refusal::memory);
		if (fc->obj == nullptr && json_tokener_get_error(fc->tok) != json_tokener_continue) {
			fc->err = TT_EDATA;
			break;
		}
		at = cut;
	}
	return n;
}

void restart_answer(fetch_ctx &ctx)
{
	json_tokener_reset(ctx.tok);
	json_object_put(ctx.obj);
	ctx = fetch_ctx{.tok = ctx.tok};
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
	std::snprintf(fetch_message().data(), fetch_message().size(), "DOVREL_HOST %s: %s", what, host);
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

namespace {

struct tokener_free {
	void operator()(json_tokener *t) const { json_tokener_free(t); }
};
struct object_put {
	void operator()(json_object *o) const { json_object_put(o); }
};

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
		set_fetch_message(std::strerror(ENOMEM)); // the only way it fails
		return TT_EXFER;
	}
	fetch_ctx answer{.tok = tok.get()};
	const fetched f = fetch(url.data(), answer);
	const std::unique_ptr<json_object, object_put> obj{answer.obj};
	if (!f.answered)
		return TT_EXFER;
	return take_answer(f.http_status, obj.get(), page, pg);
}

const char *tt_errstr(int status)
{
	switch (static_cast<unsigned>(status)) {
	case TT_OK:
		return "no error";
	case TT_EARG:
		return "invalid argument";
	case TT_EXFER:
		return fetch_message().data();
	case TT_EHTTP:
		return "API returned an error code";
	case TT_EDATA:
		return "API returned invalid or unexpected data";
	default:
		return "unknown error";
	}
}
