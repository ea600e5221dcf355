// SPDX-License-Identifier: ISC
#include "testing.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <json-c/json.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace testing_support {

namespace {

void serve(local_service &svc, const httplib::Request &req, httplib::Response &res)
{
	answer a;
	{
		const std::lock_guard<std::mutex> g(svc.lock);
		svc.last = req;
		++svc.requests;
		const auto it = svc.pages.find(req.matches[1]);
		if (it == svc.pages.end()) {
			res.status = 404;
			res.set_content(R"({"error":"no such page"})", "application/json");
			return;
		}
		a = it->second;
	}
	res.status = a.status;
	if (a.cut_after > 0) {
		// Promise a longer body than is sent, then close the connection.
		const std::string body = a.chunks.empty() ? "" : a.chunks[0];
		res.set_content_provider(body.size() + 1000, "application/json",
		                         [body, a](std::size_t, std::size_t, httplib::DataSink &sink) {
			                         sink.write(body.data(), std::min(a.cut_after, body.size()));
			                         return false;
		                         });
		return;
	}
	if (a.chunks.size() <= 1 && a.delay_ms == 0 && !a.endless) {
		res.set_content(a.chunks.empty() ? "" : a.chunks[0], "application/json");
		return;
	}
	res.set_chunked_content_provider("application/json", [a](std::size_t, httplib::DataSink &sink) {
		std::this_thread::sleep_for(std::chrono::milliseconds(a.delay_ms));
		for (const std::string &c : a.chunks) {
			sink.write(c.data(), c.size());
			if (&c != &a.chunks.back())
				std::this_thread::sleep_for(std::chrono::milliseconds(a.pause_ms));
		}
		// Endless, but bounded all the same: 256 MiB at the most.
		for (std::size_t sent = 0; a.endless && sent < (256U << 20) && sink.is_writable();
		     sent += a.chunks.back().size())
			if (!sink.write(a.chunks.back().data(), a.chunks.back().size()))
				break;
		sink.done();
		return true;
	});
}

const std::array<const char *, 7> cleared_vars{"DOVREL_HOST", "CLICOLOR", "CLICOLOR_FORCE", "NO_COLOR",
                                               "LC_ALL",      "TERM",     "SSL_CERT_FILE"};

std::vector<std::string> child_environment(const std::vector<std::string> &extra)
{
	std::vector<std::string> env;
	for (char **e = environ; *e != nullptr; ++e) {
		const std::string kv = *e;
		bool keep = true;
		for (const char *name : cleared_vars)
			if (kv.rfind(std::string(name) + "=", 0) == 0)
				keep = false;
		if (keep)
			env.push_back(kv);
	}
	env.emplace_back("LC_ALL=C.UTF-8");
	env.insert(env.end(), extra.begin(), extra.end());
	return env;
}

std::vector<char *> c_strings(std::vector<std::string> &v)
{
	std::vector<char *> out;
	for (std::string &s : v)
		out.push_back(s.data());
	out.push_back(nullptr);
	return out;
}

std::vector<std::string> argv_for(const std::vector<std::string> &args,
                                  const std::vector<std::string> &wrapper = {})
{
	std::vector<std::string> argv = wrapper;
	argv.emplace_back(DOVREL_BINARY);
	argv.insert(argv.end(), args.begin(), args.end());
	return argv;
}

int exit_status(pid_t pid)
{
	int ws = 0;
	while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
	}
	return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

// Reads both pipes to their ends without letting either fill up.
void drain(int out_fd, int err_fd, run_result &r)
{
	std::array<pollfd, 2> fds{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}}};
	std::array<std::string *, 2> sinks{&r.out, &r.err};
	int open = 2;
	std::array<char, 4096> buf{};
	while (open > 0) {
		if (poll(fds.data(), fds.size(), 10000) <= 0)
			break;
		for (std::size_t i = 0; i < fds.size(); ++i) {
			if (fds[i].fd < 0 || fds[i].revents == 0)
				continue;
			const ssize_t n = read(fds[i].fd, buf.data(), buf.size());
			if (n > 0) {
				sinks[i]->append(buf.data(), static_cast<std::size_t>(n));
			} else {
				close(fds[i].fd);
				fds[i].fd = -1;
				--open;
			}
		}
	}
	// A child that went silent for ten seconds: give up on it.
	for (const pollfd &p : fds)
		if (p.fd >= 0)
			close(p.fd);
}

} // namespace

answer page_json(const std::string &content, const std::string &next_subpage)
{
	const std::unique_ptr<json_object, decltype(&json_object_put)> page{json_object_new_object(),
	                                                                    &json_object_put};
	json_object_object_add(page.get(), "content",
	                       json_object_new_string_len(content.data(), static_cast<int>(content.size())));
	if (!next_subpage.empty())
		json_object_object_add(page.get(), "nextSubPage",
		                       json_object_new_string(next_subpage.c_str()));
	return {200, {json_object_to_json_string_ext(page.get(), JSON_C_TO_STRING_PLAIN)}};
}

local_service::local_service(std::map<std::string, answer> p, const tls_files *tls)
    : server(tls != nullptr ? std::make_unique<httplib::SSLServer>(tls->cert.c_str(), tls->key.c_str())
                            : std::make_unique<httplib::Server>()),
      pages(std::move(p))
{
	server->Get(R"(.*/json/(.*))",
	            [this](const httplib::Request &req, httplib::Response &res) { serve(*this, req, res); });
	port = server->bind_to_any_port("127.0.0.1");
	thread = std::thread([this] { server->listen_after_bind(); });
	// A stop() before the loop runs would be lost and join() would hang.
	while (!server->is_running())
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

local_service::~local_service()
{
	server->stop();
	thread.join();
}

int closed_port()
{
	const local_service gone;
	return gone.port;
}

httplib::Request local_service::last_request()
{
	const std::lock_guard<std::mutex> g(lock);
	return last;
}

int local_service::request_count()
{
	const std::lock_guard<std::mutex> g(lock);
	return requests;
}

host_override::host_override(const std::string &host) { setenv("DOVREL_HOST", host.c_str(), 1); }

host_override::~host_override() { unsetenv("DOVREL_HOST"); }

run_result run_dovrel(const std::vector<std::string> &args, const std::string &input,
                      const std::vector<std::string> &env, const std::vector<std::string> &wrapper)
{
	std::array<int, 2> in{}, out{}, err{};
	if (pipe(in.data()) != 0 || pipe(out.data()) != 0 || pipe(err.data()) != 0)
		return {};
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_adddup2(&fa, in[0], 0);
	posix_spawn_file_actions_adddup2(&fa, out[1], 1);
	posix_spawn_file_actions_adddup2(&fa, err[1], 2);
	for (const int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
		posix_spawn_file_actions_addclose(&fa, fd);

	std::vector<std::string> argv = argv_for(args, wrapper);
	std::vector<std::string> envv = child_environment(env);
	pid_t pid = 0;
	const int rc =
	    posix_spawnp(&pid, argv[0].c_str(), &fa, nullptr, c_strings(argv).data(), c_strings(envv).data());
	posix_spawn_file_actions_destroy(&fa);
	close(in[0]);
	close(out[1]);
	close(err[1]);
	run_result r;
	if (rc != 0) {
		close(in[1]);
		close(out[0]);
		close(err[0]);
		return r;
	}
	// The inputs are small enough for the pipe, so writing them all first
	// cannot block.
	if (!input.empty() && write(in[1], input.data(), input.size()) < 0)
		r.err = "cannot write the input";
	close(in[1]);
	drain(out[0], err[0], r);
	r.status = exit_status(pid);
	return r;
}

run_result run_dovrel_on_tty(const std::vector<std::string> &args, const std::vector<std::string> &env,
                             bool input_from_tty)
{
	std::vector<std::string> argv = argv_for(args);
	std::vector<std::string> envv = child_environment(env);
	std::vector<char *> cargv = c_strings(argv);
	std::vector<char *> cenv = c_strings(envv);
	int master = -1;
	const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
	if (pid == 0) {
		// Keep the terminal from turning newlines into CR LF, so that the
		// bytes compare with those written into a pipe.
		termios t{};
		if (tcgetattr(0, &t) == 0) {
			t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
			tcsetattr(0, TCSANOW, &t);
		}
		if (!input_from_tty) {
			const int null = open("/dev/null", O_RDONLY);
			dup2(null, 0);
			close(null);
		}
		execve(cargv[0], cargv.data(), cenv.data());
		_exit(127);
	}
	run_result r;
	if (pid < 0)
		return r;
	std::array<char, 4096> buf{};
	// Reading the master ends with EIO once the child has gone.
	for (ssize_t n = 0; (n = read(master, buf.data(), buf.size())) > 0 || (n < 0 && errno == EINTR);)
		if (n > 0)
			r.out.append(buf.data(), static_cast<std::size_t>(n));
	close(master);
	r.status = exit_status(pid);
	return r;
}

std::u32string row_text(const tt_page &pg, int r)
{
	std::u32string s;
	for (const std::int32_t cp : pg.text[static_cast<std::size_t>(r)])
		s += static_cast<char32_t>(cp);
	s.erase(s.find_last_not_of(U' ') + 1);
	return s;
}

std::string plain_screen(const std::vector<std::string> &lines)
{
	std::string out;
	for (int r = 0; r < TT_ROWS; ++r) {
		std::string line =
		    r < static_cast<int>(lines.size()) ? lines[static_cast<std::size_t>(r)] : "";
		// Forty columns: a UTF-8 character's continuation bytes take none.
		const auto continuations =
		    std::ranges::count_if(line, [](char ch) { return (ch & 0xC0) == 0x80; });
		line.resize(TT_COLS + static_cast<std::size_t>(continuations), ' ');
		out += line + "\n";
	}
	return out;
}

} // namespace testing_support
