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
	std::vector<std::string> env{}; // over the table's DOVREL_HOST
	std::string script{};           // if set, a shell line that runs dovrel as "$0"
	std::size_t connections = 0;    // if not 0, the connections PAGE and PAGE-2 took
};

// A slow link to a local service, for one connection: what the client
// sends goes through at once, and so does what the service sends until it
// has seen a request (or from the start, if it is to); the answer then
// comes a byte every gap_ms. A TLS handshake is quick, unless slow from
// the start, then its records take long to cross, as on a satellite link.
struct slow_link : loopback_port {
	local_service &svc;
	int gap_ms;
	bool from_start;
	std::atomic<int> client = -1; // set by the relay's thread
	int upstream = socket(AF_INET, SOCK_STREAM, 0);

	slow_link(local_service &s, int gap, bool start = false) : svc(s), gap_ms(gap), from_start(start)
	{
		serve([this] {
			const sockaddr_in a = loopback(svc.port);
			if ((client = accept(fd, nullptr, nullptr)) < 0 ||
			    connect(upstream, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0)
				return;
			std::thread up([this] { pump(client, upstream, false); });
			pump(upstream, client, true);
			up.join();
		});
	}
	~slow_link()
	{
		for (const int s : {client.load(), upstream})
			shutdown(s, SHUT_RDWR);
		stop();
		for (const int s : {client.load(), upstream})
			close(s);
	}
	void pump(int from, int to, bool answers)
	{
		std::array<char, 4096> buf{};
		for (ssize_t n = 0; (n = recv(from, buf.data(), buf.size(), 0)) > 0;) {
			const bool slow = answers && (from_start || svc.requests > 0);
			for (ssize_t i = 0; i < n; i += slow ? 1 : n) {
				pause_for(slow ? gap_ms : 0);
				if (!send_all(to, {buf.data() + i, slow ? 1 : static_cast<std::size_t>(n)}))
					return;
			}
		}
		shutdown(to, SHUT_WR);
	}
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

// Runs the rows side by side against one service that also holds pages,
// and keeps an idle connection for keep_alive_s.
void run_cases(const std::vector<hostile_case> &cases, std::map<std::string, answer> pages,
               int keep_alive_s = 1)
{
	for (const hostile_case &c : cases)
		pages[c.page] = c.reply;
	local_service svc(pages, "", keep_alive_s);
	std::vector<std::future<run_result>> runs;
	for (const hostile_case &c : cases)
		runs.push_back(std::async(std::launch::async, [&svc, &c] {
			std::vector<std::string> env = c.env;
			env.push_back("DOVREL_HOST=" + svc.host());
			const run_options o{.env = env, .deadline_s = c.deadline_s};
			return c.script.empty() ? run_dovrel({c.page}, o)
			                        : run({"/bin/sh", "-c", c.script, DOVREL_BINARY}, o);
		}));
	for (std::size_t i = 0; i < cases.size(); ++i) {
		const hostile_case &c = cases[i];
		SCOPED_TRACE(c.page);
		const run_result r = runs[i].get();
		EXPECT_EQ(r.status, c.status);
		EXPECT_EQ(r.out, c.out);
		// A message that begins with '~' is libcurl's, in words that vary
		// with its version: all of them hold the rest.
		if (c.err.starts_with('~')) {
			EXPECT_TRUE(r.err.starts_with("dovrel: ") &&
			            r.err.find(c.err.substr(1)) != std::string::npos)
			    << r.err;
		} else {
			EXPECT_EQ(r.err, c.err);
		}
		if (c.connections != 0) {
			EXPECT_EQ(svc.connections({c.page, c.page + std::string("-2")}), c.connections);
		}
	}
}

// Pages STEM, STEM-2 and STEM-3, each linking the next, each answer
// followed on its connection by stray bytes (a copy of the answer if none
// are named); and what a run that shows them all writes: single shot, and
// typed at the prompt after page 100.
std::map<std::string, answer> stray_after(const std::string &stem, const std::string &stray,
                                          std::string &chain, std::string &typed)
{
	std::map<std::string, answer> pages;
	const std::vector<std::string> names = {stem, stem + "-2", stem + "-3"};
	for (std::size_t i = 0; i < names.size(); ++i) {
		const std::string next = i + 1 < names.size() ? names[i + 1] : "";
		answer a = page_json(names[i], next);
		const std::string &b = a.chunks[0];
		a.stray = !stray.empty() ? stray
		                         : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(b.size()) +
		                               "\r\n\r\n" + b;
		pages[names[i]] = a;
		chain += (i > 0 ? "\n" : "") + plain_screen({names[i]});
		typed += plain_screen({names[i]}) + (next.empty() ? "\npage? " : "\npage [" + next + "]? ");
	}
	return pages;
}

const std::string refused = "dovrel: API returned invalid or unexpected data\n";
const std::string too_slow =
    "dovrel: Operation too slow. Less than 1 bytes/sec transferred the last 30 seconds\n";
// Interactive runs start at page 100.
const std::map<std::string, answer> idle_pages = {{"100", page_json("Idle", "100-2")},
                                                  {"100-2", page_json("Idle 2")}};
const std::string idle_start = plain_screen({"Idle"}) + "\npage [100-2]? ";

TEST(HostileService, CannotCrashOrLeakAFailedPage)
{
	answer gone = page_json("Gone", "gone-2"), gone_2 = page_json("Gone 2");
	gone.close_after = gone_2.close_after = true;
	std::map<std::string, answer> pages = idle_pages;
	pages["gone-2"] = gone_2;
	// A late copy of each answer, or a CRLF, waits on the kept connection
	// when the next page is asked for: each page is still its own.
	std::string dup_chain, crlf_chain, dup_typed = idle_start, crlf_typed = idle_start, unused;
	pages.merge(stray_after("dup", "", dup_chain, unused));
	pages.merge(stray_after("crlf", "\r\n", crlf_chain, unused));
	pages.merge(stray_after("tdup", "", unused, dup_typed));
	pages.merge(stray_after("tcrlf", "\r\n", unused, crlf_typed));
	const std::string gone_out =
	    idle_start + plain_screen({"Gone"}) + "\npage [gone-2]? " + plain_screen({"Gone 2"}) + "\npage? ";
	// clang-format off
	run_cases({
	    {"huge", page_json(std::string(10 << 20, 'A')), 1, "", "dovrel: answer larger than 256 KiB\n"},
	    {"deep-array", {200, {repeat("[", 10000) + repeat("]", 10000)}}, 1, "", refused},
	    {"deep-object", {200, {repeat("{\"a\":", 10000) + "1" + repeat("}", 10000)}}, 1, "", refused},
	    {"cut", {.chunks = {R"({"content":"abc"})"}, .cut_after = 5}, 1, "", "~1012 bytes"},
	    {"silence", {.chunks = {R"({"content":"late"})"}, .wait_ms = 1000}, 0, plain_screen({"late"}), ""},
	    {"error", {500, {R"({"content":"x","error":"boom"})"}}, 1, "", "dovrel: API returned an error code\n"},
	    {"nul", {200, {std::string(1000, '\0')}}, 1, "", refused},
	    // The service closes the connection after each answer while the
	    // user reads: the next page comes on a new one, silently.
	    {"gone", gone, 0, gone_out, "", 10, {}, R"({ echo gone; sleep 1; echo; } | "$0")", 2},
	    {"dup", pages["dup"], 0, dup_chain, "", 10, {}, "", 2},
	    {"crlf", pages["crlf"], 0, crlf_chain, "", 10, {}, "", 2},
	    {"tdup", pages["tdup"], 0, dup_typed, "", 10, {}, R"(printf 'tdup\n\n\n' | "$0")", 2},
	    {"tcrlf", pages["tcrlf"], 0, crlf_typed, "", 10, {}, R"(printf 'tcrlf\n\n\n' | "$0")", 2},
	}, pages);
	// clang-format on

	// Each allocation json-c makes, failing in turn: a chain shows whole
	// pages, or as many as it could and then why it stopped. The link is a
	// number, which json-c writes out when asked for text.
	const local_service chain(
	    {{"100", {200, {R"({"content":"<s c=\"bg-red yellow\">Red</s> &eacute;","nextSubPage":1002})"}}},
	     {"1002", page_json("Two")}});
	const std::string whole = plain_screen({"Red \u00e9"}) + "\n" + plain_screen({"Two"});
	for (int n = 1; n <= 40; ++n) {
		SCOPED_TRACE(n);
		const run_result r =
		    run_dovrel({"100"}, {.env = {"DOVREL_HOST=" + chain.host(), "LD_PRELOAD=" FAIL_JSON_ALLOC,
		                                 "DOVREL_FAIL_JSON_ALLOC=" + std::to_string(n)}});
		EXPECT_EQ(r.status == 0 ? r.out : whole.substr(0, r.out.size()), r.out);
		EXPECT_EQ(r.status == 0 ? r.out : r.err,
		          r.status == 0 ? whole : "dovrel: " + std::string(std::strerror(ENOMEM)) + "\n");
	}
}

// Half a minute and more each, side by side: a service that sends nothing
// for 30 s is given up on, however the silence falls, and one that keeps
// sending, however slowly, never is. The deadlines are only there to end
// a run that hangs: a busy machine makes the slow rows slower still.
TEST(HostileService, CannotStallARunNorIsCutWhileAlive)
{
	const temp_dir tls;
	ASSERT_TRUE(self_signed(tls.path)) << "openssl could not make a certificate";
	// One large TLS record, about 20 bytes a second for 45 s, that nothing
	// can be read of before it is whole; and header lines at 10 bytes a
	// second for 40 s.
	local_service secure({{"record", page_json(std::string(700, 'r'))}, {"handshake", page_json("hs")}},
	                     tls.path);
	local_service padded(
	    {{"headers", {.chunks = page_json("h").chunks, .headers = {{"X-Pad", std::string(250, 'p')}}}}});
	// And a TLS handshake of some 40 s, at 40 bytes a second, which the
	// service waits out.
	secure.server->set_read_timeout(90, 0);
	const slow_link record(secure, 50), headers(padded, 100), handshake(secure, 25, true);
	// A chunk extension a byte a second: bytes, but none of the answer.
	const raw_service extension("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10;e=", "e", 1000);
	// A listener whose queue is full answers no SYN: the connect never ends.
	const loopback_port full;
	ASSERT_EQ(listen(full.fd, 0), 0);
	std::array<int, 4> queued{};
	for (int &q : queued) {
		q = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
		const sockaddr_in a = loopback(full.port);
		connect(q, reinterpret_cast<const sockaddr *>(&a), sizeof a);
	}
	const answer silent{.chunks = {R"({"content":"late"})"}, .wait_ms = 35000};
	const std::vector<std::string> over_tls = {"DOVREL_HOST=https://" + record.host(),
	                                           "SSL_CERT_FILE=" + tls.path + "/cert.pem"};
	// clang-format off
	run_cases({
	    // The limit to within a few seconds: 25 s of silence are borne, 35 s
	    // are not, before the answer, in its middle, or where the kernel
	    // will not say how long a connection has been silent.
	    {"no-answer", silent, 1, "", too_slow, 60},
	    {"late", {.chunks = {R"({"content":"late"})"}, .wait_ms = 25000}, 0, plain_screen({"late"}), "", 60},
	    {"stops-midway", {.chunks = {R"({"content":)", R"("x"})"}, .gap_ms = 35000}, 1, "", too_slow, 60},
	    {"no-tcp-info", silent, 1, "", too_slow, 60, {"LD_PRELOAD=" NO_TCP_INFO}},
	    {"connect", {}, 1, "", "~Connection timed out after 3", 60, {"DOVREL_HOST=" + full.host()}},
	    {"trickle", trickle(std::string(330, 't')), 0, plain_screen({std::string(40, 't')}), "", 150},
	    {"record", {}, 0, plain_screen({std::string(40, 'r')}), "", 150, over_tls},
	    {"headers", {}, 0, plain_screen({"h"}), "", 150, {"DOVREL_HOST=" + headers.host()}},
	    {"handshake", {}, 0, plain_screen({"hs"}), "", 150,
	     {"DOVREL_HOST=https://" + handshake.host(), "SSL_CERT_FILE=" + tls.path + "/cert.pem"}},
	    {"extension", {}, 1, "", too_slow, 60, {"DOVREL_HOST=" + extension.host()}},
	    // A kept connection silent at the prompt for longer than the stall
	    // limit carries the next page all the same.
	    {"100", idle_pages.at("100"), 0, idle_start + plain_screen({"Idle 2"}) + "\npage? ", "", 90, {}, R"({ sleep 32; echo; } | "$0")", 1},
	}, {{"100-2", idle_pages.at("100-2")}}, 60);
	// clang-format on
	for (const int q : queued)
		close(q);
}

} // namespace
