// The program as a user runs it: arguments, the single-shot chain and the
// interactive session, byte for byte.
#include "testing.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

using namespace testing_support;

namespace {

const std::string page100 = plain_screen({"Index", "line two"});
const std::string page100_2 = plain_screen({"Second"});

// Subpages 700 to 700-12, each linked from the one before.
std::map<std::string, answer> long_chain(std::string &screens)
{
	std::map<std::string, answer> pages;
	for (int i = 1; i <= 12; ++i) {
		const std::string name = i == 1 ? "700" : "700-" + std::to_string(i);
		pages[name] = page_json(name, i < 12 ? "700-" + std::to_string(i + 1) : "");
		screens += (i == 1 ? "" : "\n") + plain_screen({name});
	}
	return pages;
}

std::map<std::string, answer> sample_pages()
{
	return {
	    {"100", page_json("Index\nline two", "100-2")},
	    {"100-2", page_json("Second")},
	    {"200-1", page_json("Alone", "200-2")},
	    {"200-2", page_json("Not shown")},
	    {"300", page_json("Circle A", "300-2")},
	    {"300-2", page_json("Circle B", "300")},
	    {"400", page_json("First", "400-2")},
	    {"500", page_json("\x1b[31mred\xc2\x9b"
	                      "2J\x07|\x7f|\xf4\x8f\xbf\xbf")},
	    {"600", page_json("Odd link", "6\xc3\xa9\x1b")},
	    {"800", page_json("Long link", "1234567890")},
	};
}

struct session {
	std::vector<std::string> args;
	std::string input;
	int status;
	std::string out;
	std::string err;
};

TEST(Program, RunsEachSessionByteForByte)
{
	std::string chain;
	std::map<std::string, answer> pages = sample_pages();
	pages.merge(long_chain(chain));
	local_service svc(pages);
	const std::string host = "DOVREL_HOST=" + svc.host();
	const std::string usage = "dovrel: usage: dovrel [page]\n";
	const std::vector<session> sessions = {
	    {{"-h"}, "", 1, "", usage},
	    {{"-"}, "", 1, "", usage},
	    {{"100", "101"}, "", 1, "", usage},
	    {{""}, "", 1, "", "dovrel: invalid argument\n"},
	    {{"999"}, "", 1, "", "dovrel: API returned an error code\n"},
	    // Single shot: the chain with one blank line between pages.
	    {{"100"}, "", 0, page100 + "\n" + page100_2, ""},
	    {{"200-1"}, "", 0, plain_screen({"Alone"}), ""},
	    {{"300"}, "", 0, plain_screen({"Circle A"}) + "\n" + plain_screen({"Circle B"}), ""},
	    {{"400"}, "", 1, plain_screen({"First"}) + "\n", "dovrel: API returned an error code\n"},
	    {{"700"}, "", 0, chain, ""},
	    // Control characters from the page never reach the terminal.
	    {{"500"}, "", 0, plain_screen({" [31mred 2J | |%"}), ""},
	    // Interactive, from page 100.
	    {{}, "", 0, page100 + "\npage [100-2]? ", ""},
	    {{}, "\n", 0, page100 + "\npage [100-2]? " + page100_2 + "\npage? ", ""},
	    {{}, "\n\n", 0, page100 + "\npage [100-2]? " + page100_2 + "\npage? page? ", ""},
	    {{}, "100-2", 0, page100 + "\npage [100-2]? page [100-2]? ", ""},
	    {{},
	     "999\n",
	     0,
	     page100 + "\npage [100-2]? (press ^C to exit)\n\npage? ",
	     "dovrel: API returned an error code\n"},
	    {{},
	     "600\n",
	     0,
	     page100 + "\npage [100-2]? " + plain_screen({"Odd link"}) + "\npage [6???]? ",
	     ""},
	    {{},
	     "800\n",
	     0,
	     page100 + "\npage [100-2]? " + plain_screen({"Long link"}) + "\npage [1234567890]? ",
	     ""},
	};
	for (const session &s : sessions) {
		SCOPED_TRACE(s.args.empty() ? "interactive: " + s.input : s.args[0]);
		const run_result r = run_dovrel(s.args, s.input, {host});
		EXPECT_EQ(r.status, s.status);
		EXPECT_EQ(r.out, s.out);
		EXPECT_EQ(r.err, s.err);
	}
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

std::string written(void (*writer)(std::FILE *, const tt_page &), const tt_page &pg)
{
	// Cells are written in the locale's encoding, as dovrel sets it.
	std::setlocale(LC_ALL, "C.UTF-8");
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
	for (int c = 0; c < TT_COLS; ++c) {
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

	// Every row starts afresh.
	const std::string all = written(write_colour, blank_page());
	EXPECT_EQ(all.size(), 24 * (esc_white_black.size() + 40 + esc_reset.size() + 1));
}

TEST(Writers, KeepControlCharactersFromTheTerminal)
{
	tt_page pg = blank_page();
	const std::vector<std::int32_t> hostile = {0x1B, 0x07, 0x00, 0x7F, 0x9B, 0x85, -1, 'x'};
	for (std::size_t i = 0; i < hostile.size(); ++i)
		pg.text[0][i] = hostile[i];
	// Six blanks for the controls, nothing for the negative value.
	const std::string row = "      x" + std::string(32, ' ');
	const std::string plain = written(write_plain, pg);
	EXPECT_EQ(plain.substr(0, plain.find('\n')), row);
	EXPECT_EQ(first_row(pg), esc_white_black + row + esc_reset + "\n");
}

// Whether the output of a run carries colour escapes.
bool coloured(const run_result &r) { return r.out.find("\x1b[") != std::string::npos; }

TEST(ColourChoice, FollowsTheEnvironmentAndTheTerminal)
{
	local_service svc(sample_pages());
	const std::string host = "DOVREL_HOST=" + svc.host();
	struct choice {
		std::vector<std::string> env;
		bool on_tty;
		bool colour;
	};
	const std::vector<choice> choices = {
	    {{}, true, true},
	    {{"CLICOLOR="}, true, true},
	    {{"CLICOLOR=1"}, true, true},
	    {{"CLICOLOR=00"}, true, true},
	    {{"CLICOLOR=0"}, true, false},
	    {{"NO_COLOR=1"}, true, false},
	    {{"NO_COLOR="}, true, true},
	    {{"NO_COLOR=1", "CLICOLOR_FORCE=1"}, true, true},
	    {{}, false, false},
	    {{"CLICOLOR_FORCE=1"}, false, true},
	    {{"CLICOLOR_FORCE=yes"}, false, false},
	};
	const std::string plain = page100 + "\n" + page100_2;
	for (const choice &c : choices) {
		std::vector<std::string> env = c.env;
		env.push_back(host);
		SCOPED_TRACE(testing::PrintToString(env) + (c.on_tty ? " on a terminal" : " into a pipe"));
		const run_result r =
		    c.on_tty ? run_dovrel_on_tty({"100"}, env) : run_dovrel({"100"}, "", env);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(coloured(r), c.colour);
		if (!c.colour) {
			EXPECT_EQ(r.out, plain);
		}
	}
}

} // namespace

namespace {

TEST(Program, ReportsPagesItCouldNotWrite)
{
	local_service svc(sample_pages());
	const std::string env = "DOVREL_HOST=" + svc.host() + " LC_ALL=C.UTF-8 ";
	const std::string bin = DOVREL_BINARY_PATH;
	EXPECT_EQ(std::system((env + bin + " 100 >/dev/full 2>/dev/null").c_str()), 1 << 8);
	EXPECT_EQ(std::system(("echo | " + env + bin + " >/dev/full 2>/dev/null").c_str()), 1 << 8);
	EXPECT_EQ(std::system((env + bin + " 100 >/dev/null").c_str()), 0);
}

} // namespace
