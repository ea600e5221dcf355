// SPDX-License-Identifier: ISC
// The program as a user runs it: arguments, the single-shot chain and the
// interactive session, byte for byte.
#include "dovrel.hpp"
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <filesystem>

using namespace testing_support;

namespace {

const std::string page100 = plain_screen({"Index", "line two"});
const std::string page100_2 = plain_screen({"Second"});

// Subpages STEM, STEM-2 ... STEM-N, each linked from the one before, and
// the output of a run that shows the first SHOWN of them.
std::map<std::string, answer> chain(const std::string &stem, int n, int shown, std::string &out)
{
	std::map<std::string, answer> pages;
	for (int i = 1; i <= n; ++i) {
		const std::string name = i == 1 ? stem : stem + "-" + std::to_string(i);
		pages[name] = page_json(name, i < n ? stem + "-" + std::to_string(i + 1) : "");
		out += i > shown ? "" : (i == 1 ? "" : "\n") + plain_screen({name});
	}
	return pages;
}

// Forty-two cells of two bytes each: its output and the prompt after it
// are 1033 bytes.
const std::string wide_page = repeat("\xc3\xa9", 40) + "\n" + repeat("\xc3\xa9", 2);

std::map<std::string, answer> sample_pages()
{
	return {
	    {"100", page_json("Index\nline two", "100-2")},
	    {"100-2", page_json("Second")},
	    {"200-1", page_json("Alone \xc3\xa9", "200-2")},
	    {"200-2", page_json("Not shown")},
	    {"300", page_json("Circle A", "300-2")},
	    {"300-2", page_json("Circle B", "300")},
	    {"310", page_json("Loop A", "310-2")},
	    {"310-2", page_json("Loop B", "310-3")},
	    {"310-3", page_json("Loop C", "310-2")},
	    {"400", page_json("First", "400-2")},
	    {"500", page_json("\x1b[31mred\xc2\x9b"
	                      "2J\x07|\x7f|\xf4\x8f\xbf\xbf")},
	    {"600", page_json("Odd link", "6\xc3\xa9\x1b\x7f")},
	    {"800", page_json("Long link", "1234567890")},
	    {"910", page_json("Self A", "910-2")},
	    {"910-2", page_json("Self B", "910-2")},
	    {"920", page_json("Self", "920")},
	    {"x", page_json("One", "9 3")},
	    {"w", page_json(wide_page)},
	    {"c1", page_json("&#x402;&#x203A;2J&#x410;&#x45F;")},
	    {"tilde", page_json("Tilde", "~1\x1f")},
	};
}

struct session {
	std::vector<std::string> args;
	std::string input;
	int status;
	std::string out;
	std::string err;
	int deadline_s = 10;
	std::vector<std::string> env = {};
};

TEST(Program, RunsEachSessionByteForByte)
{
	std::string chain12, chain1000, chain1001;
	std::map<std::string, answer> pages = sample_pages();
	pages.merge(chain("700", 12, 12, chain12));
	pages.merge(chain("q", 1000, 1000, chain1000));
	pages.merge(chain("r", 1001, 1000, chain1001));
	local_service svc(pages);
	// A single-byte locale, where U+203A would be the byte 0x9B (CSI).
	const temp_dir locales;
	run({"localedef", "-f", "CP1251", "-i", "ru_RU", locales.path + "/ru_RU.CP1251"});
	const bool have_cp1251 = std::filesystem::exists(locales.path + "/ru_RU.CP1251");
	const std::string host = "DOVREL_HOST=" + svc.host();
	const std::string usage = "dovrel: usage: dovrel [page]\n";
	// clang-format off
	const std::vector<session> sessions = {
	    {{"-h"}, "", 1, "", usage},
	    {{"-"}, "", 1, "", usage},
	    {{"100", "101"}, "", 1, "", usage},
	    {{""}, "", 1, "", "dovrel: invalid argument\n"},
	    {{"999"}, "", 1, "", "dovrel: API returned an error code\n"},
	    // Single shot: the chain with one blank line between pages.
	    {{"100"}, "", 0, page100 + "\n" + page100_2, ""},
	    {{"200-1"}, "", 0, plain_screen({"Alone \xc3\xa9"}), ""},
	    {{"200-1"}, "", 0, plain_screen({"Alone \xc3\xa9"}), "", 10, {"LC_ALL=", "LANG=C.UTF-8", "LC_TIME=xx_XX.UTF-8"}},
	    // The first and last bytes of the C1 range, Ђ and џ, are blanks.
	    {{"c1"}, "", 0, plain_screen({"  2J\xc0 "}), "", 10, {"LC_ALL=ru_RU.CP1251", "LOCPATH=" + locales.path}},
	    {{"300"}, "", 0, plain_screen({"Circle A"}) + "\n" + plain_screen({"Circle B"}), ""},
	    {{"310"}, "", 0, plain_screen({"Loop A"}) + "\n" + plain_screen({"Loop B"}) + "\n" + plain_screen({"Loop C"}), ""},
	    {{"400"}, "", 1, plain_screen({"First"}) + "\n", "dovrel: API returned an error code\n"},
	    {{"700"}, "", 0, chain12, ""},
	    {{"q"}, "", 0, chain1000, "", 60},
	    {{"r"}, "", 1, chain1001, "dovrel: subpage chain longer than 1000 pages\n", 60},
	    {{"910"}, "", 0, plain_screen({"Self A"}) + "\n" + plain_screen({"Self B"}), ""},
	    {{"920"}, "", 0, plain_screen({"Self"}), ""},
	    // Nor do those of a message, whatever the locale.
	    {{"1"}, "", 1, "", "dovrel: DOVREL_HOST has no host: //?]0;title?\n", 10, {"DOVREL_HOST=//\x1b]0;title\x07"}},
	    {{"1"}, "", 1, "", "dovrel: DOVREL_HOST has a query or fragment: \xc3\xa9???#\n", 10, {"DOVREL_HOST=\xc3\xa9\xe2\x80\xae\xc2\x9b\x7f#"}},
	    // The format characters' first and last entries and the ends of a range, with their neighbours.
	    {{"1"}, "", 1, "", "dovrel: DOVREL_HOST has a query or fragment: \xc2\xac?\xc2\xae???#\n", 10, {"DOVREL_HOST=\xc2\xac\xc2\xad\xc2\xae\xf3\xa0\x80\xa0\xf3\xa0\x81\xbf\xef\xbf\xbf#"}},
	    {{"1"}, "", 1, "", "dovrel: DOVREL_HOST has a query or fragment: ??#\n", 10, {"LC_ALL=C", "DOVREL_HOST=\xc3\xa9#"}},
	    // Control characters from the page never reach the terminal.
	    {{"500"}, "", 0, plain_screen({" [31mred 2J | |%"}), ""},
	    // Interactive, from page 100.
	    {{}, "", 0, page100 + "\npage [100-2]? ", ""},
	    {{}, "\n", 0, page100 + "\npage [100-2]? " + page100_2 + "\npage? ", ""},
	    {{}, "\n\n", 0, page100 + "\npage [100-2]? " + page100_2 + "\npage? page? ", ""},
	    {{}, "100-2", 0, page100 + "\npage [100-2]? page [100-2]? ", ""},
	    {{}, "999\n", 0, page100 + "\npage [100-2]? (press ^C to exit)\n\npage? ", "dovrel: API returned an error code\n"},
	    {{}, "600\n", 0, page100 + "\npage [100-2]? " + plain_screen({"Odd link"}) + "\npage [6????]? ", ""},
	    {{}, "800\n", 0, page100 + "\npage [100-2]? " + plain_screen({"Long link"}) + "\npage [1234567890]? ", ""},
	    {{}, "x\n", 0, page100 + "\npage [100-2]? " + plain_screen({"One"}) + "\npage [9 3]? ", ""},
	    {{}, "tilde\n", 0, page100 + "\npage [100-2]? " + plain_screen({"Tilde"}) + "\npage [~1?]? ", ""},
	};
	// clang-format on
	std::string skipped;
	for (const session &s : sessions) {
		SCOPED_TRACE(s.args.empty() ? "interactive: " + s.input : s.args[0]);
		if (!have_cp1251 && !s.env.empty() && s.env[0] == "LC_ALL=ru_RU.CP1251") {
			skipped += " " + s.args[0];
			continue;
		}
		std::vector<std::string> env = s.env;
		env.push_back(host);
		const run_result r =
		    run_dovrel(s.args, {.input = s.input, .env = env, .deadline_s = s.deadline_s});
		EXPECT_EQ(r.status, s.status);
		EXPECT_EQ(r.out, s.out);
		EXPECT_EQ(r.err, s.err);
	}
	if (!skipped.empty())
		GTEST_SKIP() << "localedef cannot make ru_RU.CP1251 here; skipped:" << skipped;
}

} // namespace

namespace {

const std::string esc_white_black = "\x1b[37;40m";
const std::string esc_red_blue = "\x1b[31;44m";
const std::string esc_reset = "\x1b[0m";

tt_page blank_page()
{
	tt_page pg{};
	for (auto &row : pg.text)
		row.fill(' ');
	for (auto &row : pg.attr)
		row.fill({TT_WHITE, TT_BLACK});
	return pg;
}

std::string written(void (*writer)(std::FILE *, const tt_page &), const tt_page &pg,
                    const char *locale = "C.UTF-8")
{
	// Cells are written in the locale's encoding, as dovrel sets it.
	std::setlocale(LC_ALL, locale);
	char *buf = nullptr;
	std::size_t len = 0;
	std::FILE *f = open_memstream(&buf, &len);
	writer(f, pg);
	std::fclose(f);
	std::string out(buf, len);
	std::free(buf);
	return out;
}

// The first row of the colour form.
std::string first_row(const tt_page &pg)
{
	const std::string all = written(write_colour, pg);
	return all.substr(0, all.find('\n') + 1);
}

TEST(ColourWriter, WritesAnEscapeOnlyWhereThePairChanges)
{
	tt_page pg = blank_page();
	EXPECT_EQ(first_row(pg), esc_white_black + std::string(40, ' ') + esc_reset + "\n");

	// Alternating pairs: an escape before every cell.
	std::string want;
	for (std::size_t c = 0; c < TT_COLS; ++c) {
		pg.attr[0][c] = c % 2 == 0 ? tt_attr{TT_RED, TT_BLUE} : tt_attr{TT_WHITE, TT_BLACK};
		want += (c % 2 == 0 ? esc_red_blue : esc_white_black) + " ";
	}
	EXPECT_EQ(first_row(pg), want + esc_reset + "\n");

	// Equal pairs across different characters: no escape.
	pg = blank_page();
	pg.text[0][0] = 'A';
	pg.text[0][1] = 0xE9;
	pg.text[0][2] = 0x2588;
	EXPECT_EQ(first_row(pg),
	          esc_white_black + "A\xc3\xa9\xe2\x96\x88" + std::string(37, ' ') + esc_reset + "\n");

	// A change of one half of the pair is a change.
	pg = blank_page();
	pg.attr[0][1].bg = TT_BLUE;
	EXPECT_EQ(first_row(pg), esc_white_black + " \x1b[37;44m " + esc_white_black + std::string(38, ' ') +
	                             esc_reset + "\n");

	// Every row starts afresh.
	const std::string all = written(write_colour, blank_page());
	EXPECT_EQ(all.size(), 24 * (esc_white_black.size() + 40 + esc_reset.size() + 1));
}

// The terminal columns a line of output takes, in the locale it was
// written in.
int columns(const std::string &line, const char *locale)
{
	std::setlocale(LC_ALL, locale);
	std::wstring wide(line.size() + 1, L'\0');
	const std::size_t n = std::mbstowcs(wide.data(), line.c_str(), wide.size());
	return n == static_cast<std::size_t>(-1) ? -1 : wcswidth(wide.c_str(), n);
}

TEST(Writers, GiveEveryCellOneColumnInEveryLocale)
{
	struct cells_case {
		const char *locale;
		std::vector<std::int32_t> cells;
		std::string row; // the start of the first row, plain
	};
	// Controls are blanks, and so is whatever takes no column or two;
	// what the locale cannot encode is '?'.
	const std::vector<cells_case> cases = {
	    {"C.UTF-8", {0x1B, 0x07, 0x00, 0x7F, 0x9B, 0x85, 0x9F, 0xA0, -1, 'x', '~'}, "       \u00a0?x~"},
	    {"C.UTF-8",
	     {0xE9, 0x2588, 0x2600, 0x202E, 0x200B, 0x0300, 0x4E2D, 0x2028, 0x2066, 0xD800},
	     "\u00e9\u2588\u2600      ?"},
	    {"C", {0xE9, 0x2588, 'A', 0x202E, 0x4E2D, 0x1B, -0x41, 0x7E, 0x9F}, "??A?? ?~ "},
	    {"POSIX", {0xE9, 0x2588, 0x300, 0x85, 'A'}, "??? A"},
	};
	for (const cells_case &c : cases) {
		SCOPED_TRACE(c.locale + testing::PrintToString(c.cells));
		tt_page pg = blank_page();
		std::copy(c.cells.begin(), c.cells.end(), pg.text[0].begin());
		std::copy(c.cells.begin(), c.cells.end(),
		          pg.text[23].end() - static_cast<std::ptrdiff_t>(c.cells.size()));
		const std::string plain = written(write_plain, pg, c.locale);
		const std::string colour = written(write_colour, pg, c.locale);
		EXPECT_EQ(plain.substr(0, c.row.size()), c.row);
		EXPECT_EQ(colour.substr(0, esc_white_black.size() + c.row.size()), esc_white_black + c.row);
		std::size_t rows = 0;
		for (std::size_t at = 0, nl = 0; (nl = plain.find('\n', at)) != std::string::npos;
		     at = nl + 1, ++rows)
			EXPECT_EQ(columns(plain.substr(at, nl - at), c.locale), TT_COLS) << "row " << rows;
		EXPECT_EQ(rows, 24U);
	}
}

// Whether the output of a run carries colour escapes.
bool coloured(const run_result &r) { return r.out.find("\x1b[") != std::string::npos; }

TEST(ColourChoice, FollowsTheEnvironmentAndTheTerminal)
{
	local_service svc(sample_pages());
	const std::string host = "DOVREL_HOST=" + svc.host();
	constexpr terminal pipe = terminal::none, tty = terminal::both, tty_without_input = terminal::output;
	struct choice {
		std::vector<std::string> env;
		terminal out;
		bool colour;
	};
	const std::vector<choice> choices = {
	    {{}, tty, true},
	    {{}, tty_without_input, true},
	    {{"CLICOLOR="}, tty, true},
	    {{"CLICOLOR=1"}, tty, true},
	    {{"CLICOLOR=00"}, tty, true},
	    {{"CLICOLOR=0"}, tty, false},
	    {{"NO_COLOR=1"}, tty, false},
	    {{"NO_COLOR="}, tty, true},
	    {{"NO_COLOR=1", "CLICOLOR_FORCE=1"}, tty, true},
	    {{}, pipe, false},
	    {{"CLICOLOR_FORCE=1"}, pipe, true},
	    {{"CLICOLOR_FORCE=yes"}, pipe, false},
	    {{"TERM=dumb"}, tty, false},
	    {{"TERM=dumb", "CLICOLOR_FORCE=1"}, tty, true},
	    {{"TERM=dumbx"}, tty, true},
	};
	const std::string plain = page100 + "\n" + page100_2;
	for (const choice &c : choices) {
		std::vector<std::string> env = c.env;
		env.push_back(host);
		SCOPED_TRACE(testing::PrintToString(env) + " terminal " +
		             std::to_string(static_cast<int>(c.out)));
		const run_result r = run_dovrel({"100"}, {.env = env, .tty = c.out});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(coloured(r), c.colour);
		if (!c.colour) {
			EXPECT_EQ(r.out, plain);
		}
	}
}

} // namespace

namespace {

TEST(Program, ReportsOutputItCouldNotWriteAndFetchesNoMore)
{
	// The pipe rows run chains of 300 subpages into a reader that leaves
	// after the first byte: single shot, and interactive with 300 lines.
	// With SIGPIPE ignored (trap '' PIPE), as under some shells and
	// supervisors, dovrel says why it stops; at the default action the
	// signal ends it. Either way it stops once a write fails: when the
	// pipe's 64 KiB and the buffers on both sides are full, some 70 pages
	// of 984 bytes in, however late the reader starts or leaves. The same
	// holds for /dev/full, whatever the size of the stream's buffer.
	std::map<std::string, answer> pages = sample_pages();
	for (int i = 1; i <= 300; ++i)
		pages["p" + std::to_string(i)] = page_json("page", "p" + std::to_string(i + 1));
	local_service svc(pages);
	const bool have_full = std::filesystem::exists("/dev/full");
	const std::string full = "dovrel: stdout: No space left on device\nexit 1\n";
	const std::string gone = "dovrel: stdout: Broken pipe\nexit 1\n";
	const std::vector<std::pair<std::string, std::string>> runs = {
	    {"d 100 >/dev/full", full},
	    {"echo | d >/dev/full", full},
	    {"d 100 >/dev/null", "exit 0\n"},
	    {"trap '' PIPE; d p1 | head -c 1 >/dev/null", gone},
	    {"trap '' PIPE; yes p1 2>/dev/null | head -n 300 | d | head -c 1 >/dev/null", gone},
	    {"d p1 | head -c 1 >/dev/null", "exit 141\n"},
	    {"yes w 2>/dev/null | head -n 300 | d >/dev/full", full},
	    {"d </", "dovrel: stdin: Is a directory\nexit 1\n"},
	    {"d </ >/dev/full", "dovrel: stdin: Is a directory\nexit 1\n"},
	    // Under 2>&1 a message follows the output before it, on every path.
	    {"d </ 2>&1 | tail -n 2 >&2", "page [100-2]? dovrel: stdin: Is a directory\nexit 1\n"},
	    {"d 400 2>&1 | tail -n 2 >&2", "dovrel: API returned an error code\nexit 1\n"},
	    {"echo 999 | d 2>&1 | tail -n 4 >&2",
	     "page [100-2]? dovrel: API returned an error code\n(press ^C to exit)\n\npage? exit 0\n"},
	};
	for (const auto &[script, err] : runs) {
		SCOPED_TRACE(script);
		if (!have_full && script.find("/dev/full") != std::string::npos)
			continue;
		const int before = svc.requests;
		const run_result r =
		    run({"/bin/sh", "-c", "d() { \"$0\" \"$@\"; echo \"exit $?\" >&2; }; " + script,
		         DOVREL_BINARY},
		        {.env = {"DOVREL_HOST=" + svc.host()}});
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.err, err);
		EXPECT_LT(svc.requests - before, 100);
	}
	if (!have_full)
		GTEST_SKIP() << "no /dev/full here: its rows were skipped";
}

} // namespace
