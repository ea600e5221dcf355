// SPDX-License-Identifier: ISC
// dovrel's paths under valgrind's memcheck: no invalid access and nothing
// definitely or indirectly lost, whichever way the run ends.
#include "testing.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace testing_support;

namespace {

struct checked_run {
	std::vector<std::string> args;
	std::string input;
	int status;
};

TEST(Memcheck, EveryPathIsClean)
{
	if (std::system("valgrind --version >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "valgrind is not installed";
	local_service svc({
	    {"huge", page_json(std::string(2 << 20, 'x'))},
	    {"100", page_json("<b c=\"yellow\">Index</b>\n&eacute;", "100-2")},
	    {"100-2", page_json("Second")},
	    {"bad", {200, {"[1, 2]"}}},
	    {"broken", {200, {"{\"content\":", "nope", "}"}}},
	});
	// clang-format off
	const std::vector<std::string> valgrind = {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
	                                           "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect"};
	// clang-format on
	const std::vector<checked_run> runs = {
	    {{"100"}, "", 0},        // the chain of two pages
	    {{"-h"}, "", 1},         // usage
	    {{""}, "", 1},           // invalid argument
	    {{"broken"}, "", 1},     // transfer aborted by the write callback
	    {{"huge"}, "", 1},       // transfer aborted past 256 KiB
	    {{"999"}, "", 1},        // HTTP error
	    {{"bad"}, "", 1},        // not an object
	    {{}, "\n999\n100\n", 0}, // interactive, with a failure in between
	};
	const auto under_valgrind = [&valgrind](const std::vector<std::string> &args, const run_options &o) {
		std::vector<std::string> argv = valgrind;
		argv.emplace_back(DOVREL_BINARY);
		argv.insert(argv.end(), args.begin(), args.end());
		return run(argv, o);
	};
	for (const checked_run &run : runs) {
		SCOPED_TRACE(run.args.empty() ? "interactive" : run.args[0]);
		const run_result r = under_valgrind(
		    run.args, {.input = run.input, .env = {"DOVREL_HOST=" + svc.host()}, .deadline_s = 60});
		EXPECT_EQ(r.status, run.status) << r.err;
		EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;
	}

	const closed_port closed;
	const run_result r =
	    under_valgrind({"100"}, {.env = {"DOVREL_HOST=" + closed.host()}, .deadline_s = 60});
	EXPECT_EQ(r.status, 1) << r.err;
	EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;
}

} // namespace
