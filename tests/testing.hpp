// SPDX-License-Identifier: ISC
// Helpers shared by the tests: a local page service, a runner for the
// dovrel binary, and grids rendered as text.
#ifndef DOVREL_TESTING_HPP
#define DOVREL_TESTING_HPP

#include "api.hpp"
#include "dovrel.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace testing_support {

// One canned answer: the HTTP status and the body. A body of more than one
// chunk is sent chunked, with a pause between the chunks so that each
// reaches the client as a write of its own.
struct answer {
	int status = 200;
	std::vector<std::string> chunks;
	int pause_ms = 100;
	int delay_ms = 0;          // silence after the headers, before the body
	std::size_t cut_after = 0; // if not 0: promise more, close after this many bytes
	bool endless = false;      // after the chunks, send the last one again until the client leaves
};

// A page as the service sends it.
answer page_json(const std::string &content, const std::string &next_subpage = "");

// A certificate and its key, in PEM files, for a service over TLS.
struct tls_files {
	std::string cert;
	std::string key;
};

// A page service on 127.0.0.1 and a free port, in a thread of the test
// process, for the life of the object; over TLS when given tls_files. It
// answers GET .../json/PAGE, whatever comes before /json/.
struct local_service {
	std::unique_ptr<httplib::Server> server;
	std::thread thread;
	int port = -1;
	std::mutex lock;
	std::map<std::string, answer> pages; // by page text
	httplib::Request last;               // the last request seen
	int requests = 0;

	explicit local_service(std::map<std::string, answer> p = {}, const tls_files *tls = nullptr);
	~local_service();
	local_service(const local_service &) = delete;
	local_service &operator=(const local_service &) = delete;

	std::string host() const { return "127.0.0.1:" + std::to_string(port); }
	httplib::Request last_request();
	int request_count();
};

// A loopback port that nothing listens on: one a service has just let go.
int closed_port();

// Points tt_get (and dovrel children) at a service for one scope.
struct host_override {
	explicit host_override(const std::string &host);
	~host_override();
	host_override(const host_override &) = delete;
	host_override &operator=(const host_override &) = delete;
};

struct run_result {
	int status = -1; // exit status, or -1 if it did not exit
	std::string out;
	std::string err;
};

// Runs build/dovrel with args, input on its standard input and env on top
// of a clean environment (no colour variables, LC_ALL=C.UTF-8); under
// another program, such as valgrind, if a wrapper command is given.
run_result run_dovrel(const std::vector<std::string> &args, const std::string &input = "",
                      const std::vector<std::string> &env = {}, const std::vector<std::string> &wrapper = {});

// Runs build/dovrel on a pseudo-terminal and returns what the terminal got;
// standard input is the terminal too, or /dev/null.
run_result run_dovrel_on_tty(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                             bool input_from_tty = true);

// Row r of the grid as code points, trailing blanks dropped.
std::u32string row_text(const tt_page &pg, int r);

// The plain output of a page whose rows are lines: each padded to 40
// columns, 24 rows.
std::string plain_screen(const std::vector<std::string> &lines);

} // namespace testing_support

#endif
