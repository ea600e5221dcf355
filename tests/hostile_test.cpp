// SPDX-License-Identifier: ISC
// Services that answer badly on purpose: dovrel ends with the right
// status, does not crash, and writes nothing of a page it could not fetch.
#include "testing.hpp"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

std::string repeat(const std::string &s, int n)
{
	std::string out;
	for (int i = 0; i < n; ++i)
		out += s;
	return out;
}

struct hostile_case {
	const char *page;
	answer reply;
	int status;
	std::string out;
	std::string err;
};

TEST(HostileService, CannotCrashOrLeakAFailedPage)
{
	const std::string write_error = "dovrel: Failure writing output to destination\n";
	const std::vector<hostile_case> cases = {
	    {"huge", page_json(std::string(10 << 20, 'A')), 1, "", "dovrel: answer larger than 1 MiB\n"},
	    {"deep-array", {200, {repeat("[", 10000) + repeat("]", 10000)}}, 1, "", write_error},
	    {"deep-object", {200, {repeat("{\"a\":", 10000) + "1" + repeat("}", 10000)}}, 1, "", write_error},
	    {"cut",
	     {.chunks = {R"({"content":"abc"})"}, .cut_after = 5},
	     1,
	     "",
	     "dovrel: transfer closed with 1012 bytes remaining to read\n"},
	    {"silence",
	     {.chunks = {R"({"content":"late"})"}, .wait_ms = 1000},
	     0,
	     plain_screen({"late"}),
	     ""},
	    {"error",
	     {500, {R"({"content":"x","error":"boom"})"}},
	     1,
	     "",
	     "dovrel: API returned an error code\n"},
	    {"nul",
	     {200, {std::string(1000, '\0')}},
	     1,
	     "",
	     "dovrel: API returned invalid or unexpected data\n"},
	};
	std::map<std::string, answer> pages;
	for (const hostile_case &c : cases)
		pages[c.page] = c.reply;
	local_service svc(pages);
	for (const hostile_case &c : cases) {
		SCOPED_TRACE(c.page);
		const run_result r = run_dovrel({c.page}, {.env = {"DOVREL_HOST=" + svc.host()}});
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
	}
}

} // namespace
