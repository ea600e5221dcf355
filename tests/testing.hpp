// SPDX-License-Identifier: ISC
// Helpers shared by the tests: a local page service, a runner for child
// processes, temporary folders, and pages rendered as text.
#ifndef DOVREL_TESTING_HPP
#define DOVREL_TESTING_HPP

#include "api.hpp"
#include "pty.hpp"

#include <gtest/gtest.h>
#include <httplib.h>
#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

// What the caller's environment could send elsewhere: libcurl follows the
// proxy variables, OpenSSL the certificate ones. Cleared before any test.
inline const bool environment_cleared = [] {
	for (const char *v :
	     {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy", "no_proxy",
	      "NO_PROXY", "SSL_CERT_FILE", "SSL_CERT_DIR", "DOVREL_HOST"})
		unsetenv(v);
	return true;
}();

// The most memory a test that takes endless answers may use, in KiB.
// AddressSanitizer holds freed memory back, and more of it in clang 19.
constexpr long peak_kib = (DOVREL_SANITIZED ? 192L : 128L) << 10;

inline void check(bool ok, const std::string &what)
{
	if (!ok)
		throw std::runtime_error(what + ": " + std::strerror(errno));
}

inline void pause_for(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A fresh folder under /tmp, removed with all it holds when the object goes.
struct temp_dir {
	std::string path = "/tmp/dovrel-test-XXXXXX";
	temp_dir() { check(mkdtemp(path.data()) != nullptr, "mkdtemp"); }
	~temp_dir() { std::filesystem::remove_all(path); }
	temp_dir(temp_dir &&) = delete;
};

// One canned answer. A body of more than one chunk is sent chunked, and
// libcurl hands each chunk to a write of its own.
struct answer {
	int status = 200;
	std::vector<std::string> chunks{};
	int wait_ms = 0;           // silence before the headers
	int gap_ms = 0;            // silence between chunks
	std::size_t cut_after = 0; // if not 0: promise more, close after this many bytes
	bool endless = false;      // after the chunks, send the last one again until the client leaves
	bool close_after = false;  // close the connection once the answer is out, without a word
	std::string stray{};       // if set: sent with the body's last byte, a moment late, past its end
	std::vector<std::pair<std::string, std::string>> headers{};
};

inline std::string repeat(const std::string &s, int n)
{
	std::string out;
	for (int i = 0; i < n; ++i)
		out += s;
	return out;
}

// A page as the service sends it.
inline answer page_json(const std::string &content, const std::string &next_subpage = "")
{
	const std::unique_ptr<json_object, decltype(&json_object_put)> page{json_object_new_object(),
	                                                                    &json_object_put};
	json_object_object_add(page.get(), "content",
	                       json_object_new_string_len(content.data(), static_cast<int>(content.size())));
	if (!next_subpage.empty())
		json_object_object_add(page.get(), "nextSubPage",
		                       json_object_new_string(next_subpage.c_str()));
	return {.chunks = {json_object_to_json_string_ext(page.get(), JSON_C_TO_STRING_PLAIN)}};
}

// A page service on 127.0.0.1 and a free port, in a thread of the test
// process, for the life of the object; over TLS with the cert.pem and
// key.pem in the folder tls, if one is named. It answers GET .../json/PAGE,
// whatever comes before /json/, and keeps an idle connection open for
// keep_alive_s. Its silences end early when the object goes, so a stall
// can last well past the client's patience without holding up the test.
struct local_service {
	std::map<std::string, answer> pages; // by page text
	std::string address;                 // 127.0.0.1, or ::1
	std::unique_ptr<httplib::Server> server;
	std::thread thread;
	int port = -1;
	std::atomic<int> requests = 0;
	std::mutex lock;
	httplib::Request last;                   // the last request seen, under lock
	std::map<std::string, std::set<int>> on; // the client ports each page was asked on, under lock
	bool stopping = false;                   // under lock
	std::condition_variable stop;

	explicit local_service(std::map<std::string, answer> p = {}, const std::string &tls = "",
	                       int keep_alive_s = 1, std::string addr = "127.0.0.1")
	    : pages(std::move(p)), address(std::move(addr)),
	      server(tls.empty() ? std::make_unique<httplib::Server>()
	                         : std::make_unique<httplib::SSLServer>((tls + "/cert.pem").c_str(),
	                                                                (tls + "/key.pem").c_str()))
	{
		server->Get(R"(.*/json/(.*))",
		            [this](const httplib::Request &req, httplib::Response &res) { serve(req, res); });
		server->set_keep_alive_timeout(keep_alive_s);
		// As web servers do on kept connections: Nagle's delay would hold
		// back every answer's second write until the client's late ACK.
		server->set_tcp_nodelay(true);
		port = server->bind_to_any_port(address);
		check(port >= 0, "the local service cannot listen");
		thread = std::thread([this] { server->listen_after_bind(); });
		// A stop() before the loop runs would be lost and join() would hang.
		while (!server->is_running())
			pause_for(1);
	}
	~local_service()
	{
		{
			const std::lock_guard<std::mutex> g(lock);
			stopping = true;
		}
		stop.notify_all();
		server->stop();
		thread.join();
	}
	std::string host() const
	{
		return (address.find(':') == std::string::npos ? address : "[" + address + "]") + ":" +
		       std::to_string(port);
	}
	httplib::Request last_request()
	{
		const std::lock_guard<std::mutex> g(lock);
		return last;
	}
	void silence(int ms)
	{
		std::unique_lock<std::mutex> g(lock);
		stop.wait_for(g, std::chrono::milliseconds(ms), [this] { return stopping; });
	}
	// The connections the pages were asked on, told apart by client port.
	std::size_t connections(const std::vector<std::string> &names)
	{
		const std::lock_guard<std::mutex> g(lock);
		std::set<int> ports;
		for (const std::string &n : names)
			ports.insert(on[n].begin(), on[n].end());
		return ports.size();
	}

	void serve(const httplib::Request &req, httplib::Response &res)
	{
		answer a{.status = 404, .chunks = {R"({"error":"no such page"})"}};
		{
			const std::lock_guard<std::mutex> g(lock);
			last = req;
			on[req.matches[1]].insert(req.remote_port);
			if (const auto it = pages.find(req.matches[1]); it != pages.end())
				a = it->second;
		}
		++requests;
		silence(a.wait_ms);
		res.status = a.status;
		for (const auto &[name, value] : a.headers)
			res.set_header(name, value);
		// A type the library does not compress of its own accord, so
		// that the bytes are the row's.
		const char *type = "application/json; charset=utf-8";
		if (!a.stray.empty())
			return res.set_content_provider(
			    a.chunks[0].size(), type,
			    [this, a](std::size_t, std::size_t, httplib::DataSink &sink) {
				    const std::string &b = a.chunks[0];
				    sink.write(b.data(), b.size() - 1);
				    silence(50);
				    const std::string rest = b.back() + a.stray;
				    return sink.write(rest.data(), rest.size());
			    });
		if (a.cut_after > 0 || a.close_after)
			return res.set_content_provider(
			    a.chunks[0].size() + (a.close_after ? 0 : 1000), type,
			    [a](std::size_t, std::size_t, httplib::DataSink &sink) {
				    sink.write(a.chunks[0].data(),
				               a.close_after ? a.chunks[0].size() : a.cut_after);
				    return false; // the connection closes
			    });
		if (a.chunks.size() == 1 && !a.endless)
			return res.set_content(a.chunks[0], type);
		res.set_chunked_content_provider(type, [this, a](std::size_t, httplib::DataSink &sink) {
			// Endless, but bounded all the same: 64 Ki chunks at the most.
			for (std::size_t i = 0;
			     i < a.chunks.size() || (a.endless && i < 65536 && sink.is_writable()); ++i) {
				silence(i > 0 ? a.gap_ms : 0);
				const std::string &c = a.chunks[std::min(i, a.chunks.size() - 1)];
				sink.write(c.data(), c.size());
			}
			sink.done();
			return true;
		});
	}
};

// 127.0.0.1 and a port.
inline sockaddr_in loopback(int port)
{
	return {.sin_family = AF_INET,
	        .sin_port = htons(static_cast<std::uint16_t>(port)),
	        .sin_addr = {htonl(INADDR_LOOPBACK)},
	        .sin_zero = {}};
}

// A TCP socket bound to a free port on 127.0.0.1 and held for the life of
// the object, so that no other test can take the port. Nothing listens on
// it unless a service below does: as it stands, it refuses connections.
struct loopback_port {
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	int port = -1;
	std::thread thread; // a service's, which it stops before it goes

	loopback_port()
	{
		sockaddr_in a = loopback(0);
		socklen_t len = sizeof a;
		check(fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0 &&
		          getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0,
		      "bind");
		port = ntohs(a.sin_port);
	}
	~loopback_port() { close(fd); }
	loopback_port(loopback_port &&) = delete;
	std::string host() const { return "127.0.0.1:" + std::to_string(port); }
	template <typename F>
	void serve(F f)
	{
		check(listen(fd, 8) == 0, "listen");
		thread = std::thread(f);
	}
	void stop() // ends the accept, then the service
	{
		shutdown(fd, SHUT_RDWR);
		if (thread.joinable())
			thread.join();
	}
};
using closed_port = loopback_port;

inline bool send_all(int fd, std::string_view s)
{
	for (ssize_t n = 0; !s.empty(); s.remove_prefix(static_cast<std::size_t>(n)))
		if ((n = send(fd, s.data(), s.size(), MSG_NOSIGNAL)) <= 0)
			return false;
	return true;
}

// Reads one request on c, up to its blank line; false if none came.
inline bool read_request(int c)
{
	std::string req(4096, '\0');
	for (std::size_t n = 0; req.find("\r\n\r\n") == std::string::npos;) {
		const ssize_t got = recv(c, req.data() + n, req.size() - n, 0);
		if (got <= 0 || (n += static_cast<std::size_t>(got)) == req.size())
			return false;
	}
	return true;
}

// A service that answers the requests on its Nth connection with the
// bytes in script[N] (the last for later connections), status lines and
// all, one string a request; then sends tail again and again (64 MiB at
// the most, a pause of gap_ms before each) while the client reads, and
// closes, with a reset if it is to. It counts connections and requests.
struct raw_service : loopback_port {
	std::vector<std::vector<std::string>> script;
	std::string tail;
	int gap_ms = 0;
	bool reset = false;
	std::atomic<int> connections = 0, requests = 0;

	explicit raw_service(std::string b, const std::string &t = "", int gap = 0)
	    : raw_service(std::vector<std::vector<std::string>>{{std::move(b)}}, t, gap)
	{
	}
	raw_service(std::vector<std::vector<std::string>> s, std::string t, int gap = 0, bool rst = false)
	    : script(std::move(s)), tail(std::move(t)), gap_ms(gap), reset(rst)
	{
		serve([this] {
			for (int c = 0; (c = accept(fd, nullptr, nullptr)) >= 0; close(c)) {
				const auto &answers = script[std::min(static_cast<std::size_t>(connections++),
				                                      script.size() - 1)];
				bool ok = true;
				for (std::size_t i = 0; ok && i < answers.size() && read_request(c); ++i) {
					++requests;
					ok = send_all(c, answers[i]);
				}
				for (std::size_t sent = 0; ok && !tail.empty() && sent < (64U << 20);
				     sent += tail.size()) {
					pause_for(gap_ms);
					ok = send_all(c, tail);
				}
				const linger now{1, 0};
				if (reset)
					setsockopt(c, SOL_SOCKET, SO_LINGER, &now, sizeof now);
			}
		});
	}
	~raw_service() { stop(); }
};

enum class terminal { none, output, both }; // the standard streams on a terminal

struct run_options {
	std::string input{};            // standard input
	std::vector<std::string> env{}; // beside PATH, HOME and LC_ALL=C.UTF-8
	int deadline_s = 10;
	terminal tty = terminal::none;
};

struct run_result {
	int status = -1; // exit status, or -1 if it did not exit
	std::string out; // its first MiB, the terminal's on one
	std::string err;
};

// The first MiB of what fd has to read; then closes it.
inline std::string slurp(int fd)
{
	std::string s(std::size_t{1} << 20, '\0');
	std::size_t n = 0;
	for (ssize_t got = 0; n < s.size() && (got = read(fd, s.data() + n, s.size() - n)) > 0;)
		n += static_cast<std::size_t>(got);
	close(fd);
	s.resize(n);
	return s;
}

// Runs argv as a shell would start it, but in an environment built from
// nothing: every signal at its default action and none blocked, standard
// streams on files in a temporary folder or on a terminal. A child still
// running at its deadline is killed, and fails the test with the start of
// what it wrote.
inline run_result run(std::vector<std::string> argv, const run_options &o = {})
{
	const temp_dir dir;
	const std::string in = dir.path + "/in", out = dir.path + "/out", err = dir.path + "/err";
	std::ofstream(in, std::ios::binary) << o.input;
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, in.c_str(), O_RDONLY, 0);
	posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
	posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
	// A terminal that sends no CR before every LF, so that its bytes compare
	// with a file's; what a run writes fits in what it holds unread.
	int tty = -1, slave = -1;
	termios raw{};
	cfmakeraw(&raw);
	if (o.tty != terminal::none) {
		check(openpty(&tty, &slave, nullptr, &raw, nullptr) == 0, "openpty");
		for (int fd = o.tty == terminal::both ? 0 : 1; fd <= 1; ++fd)
			posix_spawn_file_actions_adddup2(&fa, slave, fd);
		posix_spawn_file_actions_addclose(&fa, slave);
		posix_spawn_file_actions_addclose(&fa, tty);
	}
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	sigset_t defaults, none;
	sigfillset(&defaults);
	sigdelset(&defaults, SIGKILL);
	sigdelset(&defaults, SIGSTOP);
	sigemptyset(&none);
	posix_spawnattr_setsigdefault(&attr, &defaults);
	posix_spawnattr_setsigmask(&attr, &none);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

	// One of each name, the first given winning: the run's own variables
	// over the defaults.
	std::map<std::string, std::string> by_name;
	for (const std::string &v : o.env)
		by_name.emplace(v.substr(0, v.find('=')), v);
	for (const std::string &v : std::vector<std::string>{"PATH=/usr/local/bin:/usr/bin:/bin",
	                                                     "HOME=" + dir.path, "LC_ALL=C.UTF-8"})
		by_name.emplace(v.substr(0, v.find('=')), v);
	std::vector<std::string> env;
	for (const auto &[name, v] : by_name)
		env.push_back(v);
	std::vector<char *> cargv, cenv;
	// posix_spawn takes char *, which only a string that is not const gives.
	// cppcheck-suppress constVariableReference
	for (std::string &s : argv)
		cargv.push_back(s.data());
	// cppcheck-suppress constVariableReference
	for (std::string &s : env)
		cenv.push_back(s.data());
	cargv.push_back(nullptr);
	cenv.push_back(nullptr);
	pid_t pid = 0;
	const int spawned = posix_spawnp(&pid, cargv[0], &fa, &attr, cargv.data(), cenv.data());
	posix_spawn_file_actions_destroy(&fa);
	posix_spawnattr_destroy(&attr);
	if (slave >= 0)
		close(slave);
	check((errno = spawned) == 0, argv[0]);

	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.deadline_s);
	int ws = 0;
	pid_t ended = 0;
	while ((ended = waitpid(pid, &ws, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
		pause_for(5);
	const bool killed = ended == 0 && kill(pid, SIGKILL) == 0 && waitpid(pid, &ws, 0) == pid;
	// Once the child has gone, its terminal ends in EIO when drained.
	run_result r{killed || !WIFEXITED(ws) ? -1 : WEXITSTATUS(ws),
	             slurp(tty >= 0 ? tty : open(out.c_str(), O_RDONLY)), slurp(open(err.c_str(), O_RDONLY))};
	if (killed)
		ADD_FAILURE() << argv[0] << " killed at its deadline of " << o.deadline_s
		              << " s; it began with\n"
		              << r.out.substr(0, 2000) << "\nand on standard error\n"
		              << r.err.substr(0, 2000);
	return r;
}

// A certificate for 127.0.0.1 that no CA signed, made for the test in
// dir, with its key.
inline bool self_signed(const std::string &dir)
{
	return run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
	            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", dir + "/key.pem",
	            "-out", dir + "/cert.pem"})
	           .status == 0;
}

inline run_result run_dovrel(std::vector<std::string> args, const run_options &o = {})
{
	args.insert(args.begin(), DOVREL_BINARY);
	return run(args, o);
}

// The plain output of a page whose rows are lines: each padded to 40
// columns, 24 rows.
inline std::string plain_screen(const std::vector<std::string> &lines)
{
	std::string out;
	for (std::size_t r = 0; r < TT_ROWS; ++r) {
		const std::string line = r < lines.size() ? lines[r] : "";
		// Forty columns: a UTF-8 character's continuation bytes take none.
		const auto continuations =
		    std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xC0) == 0x80; });
		out += line +
		       std::string(TT_COLS + static_cast<std::size_t>(continuations) - line.size(), ' ') +
		       "\n";
	}
	return out;
}

} // namespace testing_support

#endif
