// SPDX-License-Identifier: ISC
// A small page service for trying dovrel without a network: answers
// GET /json/<page> with the file <dir>/<page>.json on 127.0.0.1.
//
// usage: dovrel-pageserver [-p port] [-d dir]
// With -p 0 a free port is chosen; the line "listening on 127.0.0.1:PORT"
// on standard output tells which.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <dirent.h>
#include <err.h>
#include <httplib.h>
#include <unistd.h>

#ifndef SAMPLE_PAGES
#define SAMPLE_PAGES "samples/pages"
#endif

namespace {

// Page texts are digits, letters and '-': nothing that could leave the
// directory.
bool is_page_name(std::string_view s)
{
	if (s.empty() || s.size() > 16)
		return false;
	return std::all_of(s.begin(), s.end(), [](char c) {
		return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
	});
}

bool read_file(const std::string &path, std::string &out)
{
	std::ifstream f(path, std::ios::binary);
	if (!f)
		return false;
	std::ostringstream ss;
	ss << f.rdbuf();
	out = ss.str();
	return true;
}

int parse_port(const char *s)
{
	char *end = nullptr;
	const long n = std::strtol(s, &end, 10);
	if (*s == '\0' || *end != '\0' || n < 0 || n > 65535)
		errx(1, "invalid port: %s", s);
	return static_cast<int>(n);
}

} // namespace

int main(int argc, char **argv)
{
	int port = SAMPLE_PORT;
	std::string dir = SAMPLE_PAGES;
	for (int opt = 0; (opt = getopt(argc, argv, "p:d:")) != -1;) {
		switch (opt) {
		case 'p':
			port = parse_port(optarg);
			break;
		case 'd':
			dir = optarg;
			break;
		default:
			std::fputs("usage: dovrel-pageserver [-p port] [-d dir]\n", stderr);
			return 1;
		}
	}

	// A folder that cannot be read would answer 404 for every page.
	DIR *d = opendir(dir.c_str());
	if (d == nullptr)
		err(1, "%s", dir.c_str());
	closedir(d);

	httplib::Server server;
	// Without SO_REUSEPORT, which would let a second service share a port
	// that is taken and split the requests between the two.
	server.set_socket_options([](int sock) {
		const int yes = 1;
		setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
	});
	// dovrel keeps its connection for the run: answer each request at
	// once rather than hold a short write back for the client's ACK.
	server.set_tcp_nodelay(true);
	server.Get(R"(/json/(.*))", [&dir](const httplib::Request &req, httplib::Response &res) {
		const std::string page = req.matches[1];
		std::string body;
		if (!is_page_name(page) || !read_file(dir + "/" + page + ".json", body)) {
			res.status = 404;
			res.set_content(R"({"error":"no such page"})", "application/json");
			return;
		}
		res.set_content(body, "application/json");
	});

	const int wanted = port;
	if (port == 0)
		port = server.bind_to_any_port("127.0.0.1");
	else if (!server.bind_to_port("127.0.0.1", port))
		port = -1;
	if (port < 0)
		err(1, "127.0.0.1:%d", wanted);
	std::printf("listening on 127.0.0.1:%d\n", port);
	std::fflush(stdout);
	return server.listen_after_bind() ? 0 : 1;
}
