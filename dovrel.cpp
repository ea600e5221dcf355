// SPDX-License-Identifier: ISC
// dovrel: shows teletext pages from a broadcaster's page service on the
// terminal.
#include "dovrel.hpp"
#include "api.hpp"
#include "compat.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <span>
#include <string_view>

#include <err.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Room for a row of 40 cells, each with an escape in front, and the reset.
constexpr std::size_t escape_bytes = 48;
constexpr std::size_t row_bytes = (TT_COLS * (MB_LEN_MAX + escape_bytes)) + 16;
constexpr std::string_view reset = "\x1b[0m";

// Page content comes from the network: control characters are shown as
// blanks, as teletext shows its control codes, so that no page can drive
// the terminal.
bool is_control(std::int32_t cp) { return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F); }

// What the locale's encoding allows, looked up once a page.
struct encoding {
	bool unicode;     // a wchar_t holds a code point
	bool single_byte; // one byte a character: 0x80-0x9F there are C1 controls
};

encoding current_encoding() { return {wchar_is_unicode(), MB_CUR_MAX == 1}; }

char *put_byte(char *out, char b)
{
	*out = b;
	return out + 1;
}

// Appends one cell's character in the locale's encoding, in exactly one
// terminal column, so that the grid lines up in every locale: what the
// encoding cannot represent shows as '?', and what a terminal would give
// no column or two (combining marks, zero-width and direction controls,
// wide characters) shows as a blank. Direction overrides in particular
// could make a line read as something else than it says. In a single-byte
// encoding a character may encode as a byte that terminals outside UTF-8
// mode take for a C1 control (0x9B is CSI): a blank too.
char *put_cell(char *out, std::int32_t cp, encoding enc)
{
	if (cp >= 0x20 && cp < 0x7F)
		return put_byte(out, static_cast<char>(cp));
	if (cp < 0 || !enc.unicode)
		return put_byte(out, '?');
	if (is_control(cp))
		return put_byte(out, ' ');
	std::mbstate_t state{};
	const auto wc = static_cast<wchar_t>(cp);
	const std::size_t n = std::wcrtomb(out, wc, &state);
	if (n == static_cast<std::size_t>(-1))
		return put_byte(out, '?');
	const auto first = static_cast<unsigned char>(out[0]);
	if (enc.single_byte && first >= 0x80 && first <= 0x9F)
		return put_byte(out, ' ');
	if (wcwidth(wc) != 1)
		return put_byte(out, ' ');
	return out + n;
}

// Appends the SGR escape for a colour pair.
char *put_escape(char *out, tt_attr a)
{
	if (a.fg >= TT_BLACK && a.fg <= TT_WHITE && a.bg >= TT_BLACK && a.bg <= TT_WHITE) {
		constexpr std::string_view white_on_black = "\x1b[37;40m";
		std::memcpy(out, white_on_black.data(), white_on_black.size());
		out[3] = static_cast<char>('0' + a.fg);
		out[6] = static_cast<char>('0' + a.bg);
		return out + white_on_black.size();
	}
	// Widened, so that no colour number can overflow; parse only makes 0-7.
	const int n = std::snprintf(out, escape_bytes, "\x1b[%lld;%lldm", a.fg + 30LL, a.bg + 40LL);
	return out + n;
}

char *put_text(char *out, std::string_view s)
{
	std::memcpy(out, s.data(), s.size());
	return out + s.size();
}

void write_row(std::FILE *out, const char *begin, const char *end)
{
	std::fwrite(begin, 1, static_cast<std::size_t>(end - begin), out);
}

} // namespace

void write_plain(std::FILE *out, const tt_page &pg)
{
	std::array<char, row_bytes> buf{};
	const encoding enc = current_encoding();
	for (const auto &row : pg.text) {
		char *o = buf.data();
		for (const std::int32_t cp : row)
			o = put_cell(o, cp, enc);
		*o++ = '\n';
		write_row(out, buf.data(), o);
	}
}

// Every row starts with an explicit escape and ends with a reset, so no
// colour carries into the next row, the prompt or a blank line.
void write_colour(std::FILE *out, const tt_page &pg)
{
	std::array<char, row_bytes> buf{};
	const encoding enc = current_encoding();
	for (std::size_t r = 0; r < pg.text.size(); ++r) {
		const auto &text = pg.text[r];
		const auto &attr = pg.attr[r];
		char *o = buf.data();
		for (std::size_t c = 0; c < text.size(); ++c) {
			if (c == 0 || attr[c] != attr[c - 1])
				o = put_escape(o, attr[c]);
			o = put_cell(o, text[c], enc);
		}
		o = put_text(o, reset);
		*o++ = '\n';
		write_row(out, buf.data(), o);
	}
}

namespace {

bool env_is(const char *name, std::string_view value)
{
	const char *v = std::getenv(name);
	return v != nullptr && v == value;
}

// Decided once, before the first page. NO_COLOR and a dumb terminal (an
// editor's shell buffer, a serial console) are honoured as terminal users
// expect; only CLICOLOR_FORCE=1 overrides them.
bool colour_wanted()
{
	if (env_is("CLICOLOR_FORCE", "1"))
		return true;
	if (isatty(STDOUT_FILENO) == 0)
		return false;
	const char *no_color = std::getenv("NO_COLOR");
	if (no_color != nullptr && *no_color != '\0')
		return false;
	if (env_is("TERM", "dumb"))
		return false;
	return !env_is("CLICOLOR", "0");
}

void show(const tt_page &pg, bool colour)
{
	if (colour)
		write_colour(stdout, pg);
	else
		write_plain(stdout, pg);
}

[[noreturn]] void usage() { errx(1, "usage: dovrel [page]"); }

// Unicode's format characters (bidi controls, zero-width marks and the
// like) and its line and paragraph separators: a terminal acts on them, or
// they make a line read as something else than it says.
struct range {
	char32_t first, last;
};
constexpr std::array<range, 22> format_characters{{
    {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},     {0x6DD, 0x6DD},     {0x70F, 0x70F},
    {0x890, 0x891},     {0x8E2, 0x8E2},     {0x180E, 0x180E},   {0x200B, 0x200F},   {0x2028, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xFFFE, 0xFFFF},
}};

// Whether a character of a message would drive the terminal rather than
// show: whatever the locale calls unprintable (C0 and C1 controls, DEL),
// format characters, and in a single-byte encoding the bytes that
// terminals outside UTF-8 mode take for C1 controls.
bool drives_terminal(wchar_t wc, unsigned char first, encoding enc)
{
	if (std::iswprint(static_cast<wint_t>(wc)) == 0 ||
	    (enc.single_byte && first >= 0x80 && first <= 0x9F))
		return true;
	const auto c = static_cast<char32_t>(wc);
	return enc.unicode && std::any_of(format_characters.begin(), format_characters.end(),
	                                  [c](range r) { return c >= r.first && c <= r.last; });
}

// A message with every character a terminal would act on, and every byte
// that is no character in the locale's encoding, shown as '?'. Messages
// repeat what the user or the service gave: a service address, a host name
// in libcurl's words.
std::array<char, 1024> shown_safely(const char *message)
{
	std::array<char, 1024> out{};
	const encoding enc = current_encoding();
	std::mbstate_t state{};
	std::size_t o = 0;
	for (const char *p = message; *p != '\0' && o + MB_LEN_MAX < out.size();) {
		wchar_t wc = 0;
		const std::size_t n = std::mbrtowc(&wc, p, std::strlen(p), &state);
		if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2) ||
		    drives_terminal(wc, static_cast<unsigned char>(*p), enc)) {
			out[o++] = '?';
			p += n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2) ? 1 : n;
			state = {};
			continue;
		}
		std::memcpy(&out[o], p, n);
		o += n;
		p += n;
	}
	return out;
}

// Standard output goes first, so that under 2>&1 a message follows what
// was written before it. Every message passes here.
void report(const char *message)
{
	std::fflush(stdout);
	warnx("%s", shown_safely(message).data());
}

[[noreturn]] void fail(const char *message)
{
	report(message);
	std::exit(1);
}

[[noreturn]] void fail_reading_input()
{
	const int why = errno;
	std::fflush(stdout);
	errno = why;
	err(1, "stdin");
}

// Once standard output has failed (a reader that has gone, a full disk),
// more pages would only load the service for nothing. Called right after
// writing, while errno still tells why.
void check_output()
{
	if (std::ferror(stdout) != 0)
		err(1, "stdout");
}

// Ends a run that went well, unless the pages could not all be written
// (a full disk, a closed terminal): that is a failure too. Once standard
// output is out, nothing is left to do: _Exit skips the libraries' exit
// handlers, which tidy up memory the process is about to lose anyway and
// cost a twentieth of a run. It skips LeakSanitizer's check at exit too,
// so on the runs that end well only valgrind's memcheck test looks for
// leaks.
[[noreturn]] void finish()
{
	if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0)
		err(1, "stdout");
	std::_Exit(0);
}

// The pages a single-shot run has shown after the first, so that subpages
// linked in a circle end the run instead of looping for ever. Like the
// prompt's buffer it grows as needed and lives until the process ends; the
// viewer does without the C++ runtime library (it starts faster), so it
// grows with realloc.
struct shown_pages {
	tt_link *items = nullptr;
	std::size_t count = 0;
	std::size_t cap = 0;
};

void remember(shown_pages &shown, const tt_link &page)
{
	if (shown.count == shown.cap) {
		const std::size_t cap = shown.cap == 0 ? 16 : shown.cap * 2;
		// NOLINTNEXTLINE(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
		void *grown = std::realloc(shown.items, cap * sizeof(tt_link));
		if (grown == nullptr)
			err(1, nullptr);
		shown.items = static_cast<tt_link *>(grown);
		shown.cap = cap;
	}
	shown.items[shown.count++] = page;
}

bool was_shown(const shown_pages &shown, const char *page)
{
	const std::span<const tt_link> all(shown.items, shown.count);
	return std::any_of(all.begin(), all.end(),
	                   [page](const tt_link &s) { return std::strcmp(s.data(), page) == 0; });
}

// A service that links ever new subpages would keep a run going for ever.
constexpr std::size_t longest_chain = 1000;

[[noreturn]] void fail_chain_too_long()
{
	std::array<char, 64> message{};
	std::snprintf(message.data(), message.size(), "subpage chain longer than %zu pages", longest_chain);
	fail(message.data());
}

// Shows page and every next subpage the service links, then exits.
[[noreturn]] void single_shot(const char *arg, tt_page &pg, bool colour)
{
	static shown_pages shown; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
	const char *page = arg;
	for (;;) {
		const int status = tt_get(page, &pg);
		if (status != TT_OK)
			fail(tt_errstr(status));
		show(pg, colour);
		// A page named with its subpage is shown alone.
		if (page == arg && std::strchr(arg, '-') != nullptr)
			finish();
		// Later pages were named by a link of at most 15 bytes, so their
		// id is their whole page text.
		if (page != arg)
			remember(shown, pg.id);
		const char *next = pg.next_subpage.data();
		if (*next == '\0' || std::strcmp(next, arg) == 0 || was_shown(shown, next))
			finish();
		if (shown.count + 1 == longest_chain)
			fail_chain_too_long();
		std::putchar('\n');
		check_output();
		page = next;
	}
}

// The default comes from the service: show it with anything but printable
// ASCII replaced, so that it cannot drive the terminal either.
tt_link printable(const char *s)
{
	tt_link out{};
	std::size_t i = 0;
	for (; s[i] != '\0' && i + 1 < out.size(); ++i) {
		const auto b = static_cast<unsigned char>(s[i]);
		out[i] = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '?';
	}
	out[i] = '\0';
	return out;
}

} // namespace

const char *prompt(const char *def)
{
	// The line buffer lives for the whole run.
	static char *input; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
	static std::size_t cap;
	for (;;) {
		if (def != nullptr)
			std::printf("page [%s]? ", printable(def).data());
		else
			std::fputs("page? ", stdout);
		// A write that failed in the prompt is reported now, while errno
		// still says why.
		check_output();
		ssize_t n = getline(&input, &cap, stdin);
		if (n < 0 && std::ferror(stdin) != 0)
			fail_reading_input();
		if (n < 0)
			return nullptr;
		// A last line without its newline was cut short: drop it.
		if (n > 0 && input[n - 1] != '\n')
			continue;
		if (n > 0)
			input[--n] = '\0';
		if (n > 0)
			return input;
		if (def != nullptr)
			return def;
	}
}

namespace {

// Starts at page 100 and asks for each further page until input ends.
[[noreturn]] void interactive(tt_page &pg, bool colour)
{
	const char *page = "100";
	while (page != nullptr) {
		const int status = tt_get(page, &pg);
		if (status != TT_OK) {
			report(tt_errstr(status));
			std::fputs("(press ^C to exit)\n\n", stdout);
			page = prompt(nullptr);
			continue;
		}
		// prompt checks the output once it has written its own.
		show(pg, colour);
		std::putchar('\n');
		page = prompt(pg.next_subpage[0] != '\0' ? pg.next_subpage.data() : nullptr);
	}
	finish();
}

} // namespace

int main(int argc, char **argv)
{
	// One category naming a locale that is not installed (ssh forwards
	// LC_*) fails the whole call; the encoding is what matters.
	if (std::setlocale(LC_ALL, "") == nullptr)
		std::setlocale(LC_CTYPE, "");
	if (argc > 2 || (argc == 2 && argv[1][0] == '-'))
		usage();
	const bool colour = colour_wanted();
	tt_page pg{};
	if (argc == 2)
		single_shot(argv[1], pg, colour);
	interactive(pg, colour);
}
