// The program as a user runs it: arguments, the single-shot chain and the
// interactive session, byte for byte.
#include "testing.hpp"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const std::string page100 = plain_screen({"Index", "line two"});
const std::string page100_2 = plain_screen({"Second"});

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
	local_service svc(sample_pages());
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
