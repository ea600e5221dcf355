// SPDX-License-Identifier: ISC
// Services that answer badly on purpose: dovrel ends with the right
// status, does not crash, and writes nothing of a page it could not fetch.
#include "testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <iterator>

using namespace testing_support;

namespace {

struct hostile_case {
	const char *page;
	answer reply;
	int status;
	std::string out;
	std::string err;
	int deadline_s = 10;
};

// A page body sent 5 bytes every half second, for about 35 s.
answer trickle(const std::string &content)
{
	const std::string body = page_json(content).chunks[0];
	answer a{.gap_ms = 500};
	for (std::size_t at = 0; at < body.size(); at += 5)
		a.chunks.push_back(body.substr(at, 5));
	return a;
}

// The stalls (the rows with a longer deadline) take half a minute each and
// run side by side in a test of their own. libcurl measures its speed over
// the last five seconds, so an answer that stops after its first bytes is
// cut some 35 s after them.
void run_cases(bool stalls)
{
	const std::string refused = "dovrel: API returned invalid or unexpected data\n";
	const std::string too_slow =
	    "dovrel: Operation too slow. Less than 1 bytes/sec transferred the last 30 seconds\n";
	const std::vector<hostile_case> cases = {
	    {"huge", page_json(std::string(10 << 20, 'A')), 1, "", "dovrel: answer larger than 256 KiB\n"},
	    {"deep-array", {200, {repeat("[", 10000) + repeat("]", 10000)}}, 1, "", refused},
	    {"deep-object", {200, {repeat("{\"a\":", 10000) + "1" + repeat("}", 10000)}}, 1, "", refused},
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
	    {"nul", {200, {std::string(1000, '\0')}}, 1, "", refused},
	    {"no-answer", {.chunks = {R"({"content":"x"})"}, .wait_ms = 31000}, 1, "", too_slow, 45},
	    {"stops-midway", {.chunks = {R"({"content":)", R"("x"})"}, .gap_ms = 40000}, 1, "", too_slow, 50},
	    {"trickle", trickle(std::string(330, 't')), 0, plain_screen({std::string(40, 't')}), "", 45},
	};
	std::vector<hostile_case> chosen;
	std::copy_if(cases.begin(), cases.end(), std::back_inserter(chosen),
	             [stalls](const hostile_case &c) { return (c.deadline_s > 10) == stalls; });
	std::map<std::string, answer> pages;
	for (const hostile_case &c : chosen)
		pages[c.page] = c.reply;
	local_service svc(pages);
	std::vector<std::future<run_result>> runs;
	for (const hostile_case &c : chosen)
		runs.push_back(std::async(std::launch::async, [&svc, &c] {
			return run_dovrel({c.page},
			                  {.env = {"DOVREL_HOST=" + svc.host()}, .deadline_s = c.deadline_s});
		}));
	for (std::size_t i = 0; i < chosen.size(); ++i) {
		SCOPED_TRACE(chosen[i].page);
		const run_result r = runs[i].get();
		EXPECT_EQ(r.status, chosen[i].status);
		EXPECT_EQ(r.out, chosen[i].out);
		EXPECT_EQ(r.err, chosen[i].err);
	}
}

TEST(HostileService, CannotCrashOrLeakAFailedPage) { run_cases(false); }

TEST(HostileService, CannotStallARun) { run_cases(true); }

} // namespace
