// SPDX-License-Identifier: ISC
// The transport: the connection kept for the run and when to trust it, the
// stall rules, the one more try, and the counts that bound a fetch.
#include "transport.hpp"
#include "compat.hpp"
#include "kernel.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// The build names the project's home page, for the user agent.
#ifndef DOVREL_HOME
#error "DOVREL_HOME must be defined"
#endif

namespace {

// libcurl's message for the last failed transfer, or one of ours.
std::array<char, CURL_ERROR_SIZE> curlerrbuf; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

struct kept_socket {
	curl_socket_t fd = CURL_SOCKET_BAD; // CURL_SOCKET_BAD where free
	std::uint64_t base = 0;             // what the kernel had counted when the fetch began
};

// What the run keeps between fetches: one transfer handle, whose caches
// hold the connection to the service, so that every page after the first
// travels on the connection the first one opened; a share that holds the
// TLS sessions and addresses, so that a new handle still resumes the
// session; and the sockets libcurl has open, with what each had received
// when the fetch began. No libcurl hands out the socket of a running
// transfer (7.88 names none even after a reuse), so they are noted as it
// makes and closes them.
struct kept_connection {
	CURL *handle = nullptr;
	CURLSH *sessions = nullptr;
	std::array<kept_socket, 8> sockets{}; // libcurl keeps 5 idle connections, and makes 2 at a time
	tcp_facts kernel{};                   // what the kernel tells, asked once
	unsigned long made = 0;               // sockets made, for the connections tried
	std::uint64_t closed = 0;             // received this fetch on sockets since closed
	bool dropped = false;                 // the kernel closed a connection of this fetch
};

kept_connection kept; // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// One transfer's state, beside the answer's.
struct transfer_ctx {
	fetch_ctx *answer = nullptr;
	tt_refusal why = tt_refusal::none; // set whenever the transport stops it
	std::size_t headers = 0;           // header and trailer lines
	std::size_t sent = 0;              // the body as it came, chunk framing and all
	std::uint64_t tls = 0;             // TLS bytes, where libcurl's counts stand in
	bool interim = false;              // in the header block of a 1xx answer
	bool trailer_open = false;         // a trailer line came and the block's end has not
	bool began = false;                // something of the answer came: status line, header, body
	bool asked = false;                // the request has gone out
	bool connected = false;            // a connection has been up
	unsigned long made_before = 0;     // kept.made when the transfer began
	long start_ms = 0;                 // on the monotonic clock
	long seen_ms = 0;                  // when libcurl last handed over a byte, answer or not
	long answer_ms = 0;                // when the last byte of the answer came, or the request went
};

// The monotonic clock in milliseconds, which no change of the date moves.
long now_ms()
{
	timespec t{};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (static_cast<long>(t.tv_sec) * 1000) + (t.tv_nsec / 1000000);
}

void seen(transfer_ctx *tc, bool of_the_answer)
{
	tc->seen_ms = now_ms();
	if (of_the_answer) {
		tc->answer_ms = tc->seen_ms;
		tc->began = true;
	}
}

// Stops the transfer: libcurl takes a short write for an error.
std::size_t refuse(transfer_ctx *tc, tt_refusal why)
{
	tc->why = why;
	return 0;
}

/*
 * The kernel's view of the connection
 */

struct connection_view {
	long silence_ms = -1;       // of the liveliest established socket
	std::uint64_t received = 0; // this fetch, on all its sockets
};

// What the socket has received since the fetch began.
std::uint64_t since_base(const kept_socket &s, const tcp_facts &f)
{
	return f.received - std::min(f.received, s.base);
}

connection_view ask_about_sockets()
{
	connection_view v{kept.kernel.told ? -1 : 0, kept.closed};
	for (const kept_socket &s : kept.sockets) {
		if (s.fd == CURL_SOCKET_BAD)
			continue;
		const tcp_facts f = ask_kernel(s.fd);
		if (f.silence_ms >= 0 && (v.silence_ms < 0 || f.silence_ms < v.silence_ms))
			v.silence_ms = f.silence_ms;
		v.received += since_base(s, f);
	}
	return v;
}

// What this fetch has received: the kernel's count where it keeps one;
// elsewhere libcurl's, which knows TLS only as far as its TLS library
// tells (OpenSSL its record headers and messages, GnuTLS nothing). No
// libcurl counts what it receives but does not hand over: its size
// figures are of the body and the header lines.
std::uint64_t received(const transfer_ctx &tc, const connection_view &v)
{
	return kept.kernel.counted ? v.received : tc.headers + tc.sent + tc.tls;
}

void note_socket(curl_socket_t from, curl_socket_t to)
{
	auto *const slot = std::find_if(kept.sockets.begin(), kept.sockets.end(),
	                                [from](const kept_socket &s) { return s.fd == from; });
	if (slot != kept.sockets.end())
		*slot = {to, 0};
}

int socket_made(void * /*unused*/, curl_socket_t fd, curlsocktype /*unused*/)
{
	note_socket(CURL_SOCKET_BAD, fd);
	++kept.made;
	return CURL_SOCKOPT_OK;
}

int socket_closing(void * /*unused*/, curl_socket_t fd)
{
	const auto *const s = std::find_if(kept.sockets.begin(), kept.sockets.end(),
	                                   [fd](const kept_socket &k) { return k.fd == fd; });
	if (s != kept.sockets.end()) {
		const tcp_facts f = ask_kernel(fd);
		kept.closed += since_base(*s, f);
		kept.dropped = kept.dropped || f.dropped;
	}
	note_socket(fd, CURL_SOCKET_BAD);
	return close(fd);
}

void count_from_here()
{
	kept.closed = 0;
	kept.dropped = false;
	for (kept_socket &s : kept.sockets)
		if (s.fd != CURL_SOCKET_BAD)
			s.base = ask_kernel(s.fd).received;
}

/*
 * The rules
 */

// Bytes that reached the kernel this long after the last byte libcurl
// handed over are taken to be still on their way: a TLS record or a
// header line not yet whole.
constexpr long in_flight_ms = 1000;

// How long the fetch has gone without what keeps it going, in ms; -1 while
// no connection is up (the rule for connecting governs that). The kernel
// says how long the liveliest connection has received nothing, but never
// more than the fetch has lasted, for a kept connection was silent while
// the user read the last page. Until the request is out (connecting, the
// TLS handshake) and while what arrived is still on its way, that is the
// figure; once libcurl has handed over all of it, only the answer counts,
// so that bytes it hands over that are not the answer (chunk extensions,
// interim answers) cannot keep a fetch going. Bytes it never hands over
// (TLS messages, HTTP/2 frames) count toward TT_MAX_RECEIVED instead.
long silence_ms(const transfer_ctx &tc, long kernel_ms)
{
	if (kernel_ms < 0)
		return -1;
	const long now = now_ms();
	const long kernel = std::min(kernel_ms, now - tc.start_ms);
	if (!tc.asked || kernel + in_flight_ms < now - tc.seen_ms)
		return kernel;
	return std::max(kernel, now - tc.answer_ms);
}

// libcurl's progress callback, about once a second and after every read.
// No libcurl has a stall rule that sees more than the body (its low-speed
// limit) or a connect time-out that leaves out the TLS handshake:
// every byte received is bounded, so that a stream that decodes to
// nothing or is no answer at all ends too; a fetch that has had nothing of
// its answer for the stall time ends, and so does one that has no
// connection after that time (SYNs dropped, an address that never
// answers), rather than wait out the kernel's retries.
int progress(void *ctx, curl_off_t /*unused*/, curl_off_t /*unused*/, curl_off_t /*unused*/,
             curl_off_t /*unused*/)
{
	auto *tc = static_cast<transfer_ctx *>(ctx);
	const long stall_ms = TT_STALL_SECONDS * 1000;
	const connection_view v = ask_about_sockets();
	const long silence = kept.kernel.told ? silence_ms(*tc, v.silence_ms) : 0;
	// A connection that the service has half closed says no more, but it
	// was there.
	tc->connected = tc->connected || silence >= 0;
	if (tc->sent > TT_MAX_ANSWER || tc->headers > TT_MAX_ANSWER || received(*tc, v) > TT_MAX_RECEIVED)
		tc->why = tt_refusal::too_large;
	else if (silence >= stall_ms)
		tc->why = tt_refusal::too_slow;
	else if (!tc->connected && now_ms() - tc->start_ms >= stall_ms)
		tc->why = tt_refusal::no_connection;
	return tc->why == tt_refusal::none ? 0 : 1;
}

// Ends every connection of the fetch at once, under libcurl and its TLS
// library: each socket becomes one that was never connected, so the next
// read fails, and the connection itself is closed.
void cut_connections()
{
	for (const kept_socket &s : kept.sockets) {
		const int dead = s.fd == CURL_SOCKET_BAD ? -1 : socket(AF_INET, SOCK_STREAM, 0);
		if (dead >= 0) {
			dup2(dead, s.fd);
			close(dead);
		}
	}
}

// libcurl's debug callback: the request going out, and the body as it
// arrives, before any decoding, chunk framing and all; and what the TLS
// library tells of its own bytes, which stand in for the kernel's count
// where it keeps none. OpenSSL reads on through TLS messages that carry
// no data for as long as they come, without returning to libcurl, whose
// progress callback is not called meanwhile; no libcurl can stop it, but
// it tells of every record, and a flood is cut under it here.
int transport_bytes(CURL * /*unused*/, curl_infotype type, char * /*unused*/, std::size_t n, void *ctx)
{
	auto *tc = static_cast<transfer_ctx *>(ctx);
	if (type == CURLINFO_HEADER_OUT && !tc->asked) {
		tc->asked = true;
		tc->answer_ms = now_ms();
	} else if (type == CURLINFO_DATA_IN) {
		tc->sent += n;
		seen(tc, false);
	} else if (type == CURLINFO_SSL_DATA_IN) {
		tc->tls += n;
		if (tc->why == tt_refusal::none && received(*tc, ask_about_sockets()) > TT_MAX_RECEIVED) {
			tc->why = tt_refusal::too_large;
			cut_connections();
		}
	}
	return 0;
}

// libcurl's header callback: counts header and trailer lines.
std::size_t headerwrite(char *line, std::size_t size, std::size_t count, void *ctx)
{
	auto *tc = static_cast<transfer_ctx *>(ctx);
	const std::size_t n = size * count;
	const std::string_view l{line, n};
	if (l.starts_with("HTTP/")) {
		// A 1xx answer only says that the answer is yet to come.
		const std::size_t code = l.find(' ');
		tc->interim = code != std::string_view::npos && code + 1 < n && l[code + 1] == '1';
	} else if (tc->sent > 0) {
		// A trailer line: the body's bytes as sent held it too, and it
		// counts here instead.
		tc->sent -= std::min(tc->sent, n);
		tc->trailer_open = l != "\r\n" && l != "\n";
	}
	tc->headers += n;
	seen(tc, !tc->interim);
	return tc->headers <= TT_MAX_ANSWER ? n : refuse(tc, tt_refusal::too_large);
}

// libcurl's write callback: the answer's own, noted as such.
std::size_t bodywrite(char *chunk, std::size_t size, std::size_t count, void *ctx)
{
	auto *tc = static_cast<transfer_ctx *>(ctx);
	seen(tc, true);
	return jsonwrite(chunk, size, count, tc->answer);
}

/*
 * The kept connection
 */

// Whether the connection on fd has bytes waiting that nobody asked for:
// a late answer, bytes past the end of the last one, a TLS record. A
// connection the service has closed has none; libcurl drops it itself and
// keeps its TLS session for the next. No libcurl looks for bytes waiting
// on an HTTP/1.1 connection it reuses: it reads them as the answer.
bool has_stray_bytes(curl_socket_t fd)
{
	pollfd p{fd, POLLIN, 0};
	char b = 0;
	return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0 && recv(fd, &b, 1, MSG_PEEK) > 0;
}

bool kept_connection_has_stray_bytes()
{
	return std::any_of(kept.sockets.begin(), kept.sockets.end(), [](const kept_socket &s) {
		return s.fd != CURL_SOCKET_BAD && has_stray_bytes(s.fd);
	});
}

// The handle whose connection may carry the next page, or null. Whatever
// waits unread on the kept connection would be taken for this page's
// answer over HTTP/1.1: the page goes on a new connection, and the old one
// is closed with the handle whose cache holds it, so that no later page
// can be given it either.
CURL *trusted_handle()
{
	if (kept.handle != nullptr && kept_connection_has_stray_bytes()) {
		curl_easy_cleanup(kept.handle);
		kept.handle = nullptr;
	}
	if (kept.sessions == nullptr) {
		kept.sessions = curl_share_init();
		curl_share_setopt(kept.sessions, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
		curl_share_setopt(kept.sessions, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
	}
	if (kept.handle == nullptr) {
		kept.handle = curl_easy_init();
		kept.kernel = kernel_tells();
	}
	return kept.handle;
}

// The content codings asked for: the token the service has always been
// sent first, then those this libcurl decodes.
const char *accepted_encodings()
{
	const bool zlib = (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_LIBZ) != 0;
	return zlib ? "application/json, gzip, deflate" : "application/json";
}

void set_options(CURL *h, const char *url, transfer_ctx *ctx, bool fresh)
{
	curl_easy_setopt(h, CURLOPT_ERRORBUFFER, curlerrbuf.data());
	curl_easy_setopt(h, CURLOPT_USERAGENT, "dovrel (+" DOVREL_HOME ")");
	curl_easy_setopt(h, CURLOPT_URL, url);
	curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, bodywrite);
	curl_easy_setopt(h, CURLOPT_WRITEDATA, ctx);
	curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, headerwrite);
	curl_easy_setopt(h, CURLOPT_HEADERDATA, ctx);
	curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, accepted_encodings());
	// ftp://, file:// and the rest fail before any look-up or connection.
	allow_http_only(h);
	curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, socket_made);
	curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, socket_closing);
	curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress);
	curl_easy_setopt(h, CURLOPT_XFERINFODATA, ctx);
	curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
	curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, transport_bytes);
	curl_easy_setopt(h, CURLOPT_DEBUGDATA, ctx);
	curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
	// libcurl reads up to a hundred buffers before it calls back, so the
	// buffer bounds what a flood brings in before it is stopped. A page
	// fits in one or two.
	curl_easy_setopt(h, CURLOPT_BUFFERSIZE, 4096L);
	// HTTP/2 over TLS where the service offers it, HTTP/1.1 otherwise: an
	// HTTP/2 answer names its request's stream, so that a late copy of an
	// answer that no check before the fetch could see (one that came after
	// the request went, or waits decoded in the TLS library) is never taken
	// for the next page's; and its frames that carry no answer count with
	// every other byte received.
	curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
	curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
	curl_easy_setopt(h, CURLOPT_SHARE, kept.sessions);
	// No overall time limit, which a slow link could need, but a service
	// that has stopped sending (or never started) does not hold the
	// terminal for ever. Where the kernel cannot say when the connection
	// last received anything, libcurl's rules stand in: the low-speed rule
	// counts body bytes only, and the connect time-out takes in the TLS
	// handshake.
	if (!kept.kernel.told) {
		curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
		curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, TT_STALL_SECONDS);
		curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, TT_STALL_SECONDS);
	}
	// As OpenSSL and the curl tool read them: a private CA's certificates,
	// in a file or in a folder of hashed names.
	if (const char *ca = std::getenv("SSL_CERT_FILE"); ca != nullptr && *ca != '\0')
		curl_easy_setopt(h, CURLOPT_CAINFO, ca);
	if (const char *dir = std::getenv("SSL_CERT_DIR"); dir != nullptr && *dir != '\0')
		curl_easy_setopt(h, CURLOPT_CAPATH, dir);
}

/*
 * The fetch
 */

bool has_address(CURL *h)
{
	char *ip = nullptr;
	curl_easy_getinfo(h, CURLINFO_PRIMARY_IP, &ip);
	return ip != nullptr && *ip != '\0';
}

// The message for a transfer that failed.
void explain_failure(CURL *h, CURLcode rc, const transfer_ctx &tc)
{
	const tt_refusal why = tc.why != tt_refusal::none ? tc.why : tc.answer->why;
	switch (why) {
	case tt_refusal::too_large:
		std::snprintf(curlerrbuf.data(), curlerrbuf.size(), "answer larger than %zu KiB",
		              TT_MAX_ANSWER / 1024);
		return;
	case tt_refusal::too_slow:
		// The words libcurl's own rule uses, which users know.
		std::snprintf(curlerrbuf.data(), curlerrbuf.size(),
		              "Operation too slow. Less than 1 bytes/sec transferred the last %ld seconds",
		              TT_STALL_SECONDS);
		return;
	case tt_refusal::no_connection:
		std::snprintf(curlerrbuf.data(), curlerrbuf.size(),
		              "Connection timed out after %ld milliseconds", now_ms() - tc.start_ms);
		return;
	case tt_refusal::memory:
		set_fetch_message(std::strerror(ENOMEM));
		return;
	case tt_refusal::data:
		// A body refused by jsonwrite is the service's fault, not a
		// failure to write anything here, whatever libcurl calls it.
		set_fetch_message(tt_errstr(TT_EDATA));
		return;
	case tt_refusal::none:
		// libcurl's decoder refusing the body (two gzip members, bytes
		// past the stream), a header or trailer line too long for it, and
		// a chunked body it cannot read while the connection stands (not
		// reset or timed out in the kernel; libcurl's errno of the system,
		// where the kernel does not tell, is kept from earlier transfers)
		// are the service's fault too, not a failure to write, to find
		// memory or to receive.
		long os_errno = 0;
		curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &os_errno);
		const bool connection_stood = kept.kernel.told ? !kept.dropped : os_errno == 0;
		if (rc == CURLE_WRITE_ERROR || header_line_too_long(rc, has_address(h)) ||
		    (rc == CURLE_RECV_ERROR && tc.began && connection_stood))
			set_fetch_message(tt_errstr(TT_EDATA));
		else if (curlerrbuf[0] == '\0')
			set_fetch_message(curl_easy_strerror(rc));
		return;
	}
}

// Whether the transfer that failed may be sent once more: it went out on
// a connection kept from an earlier page (it made no socket, and it had a
// service's address: a look-up that failed has none), nothing of its
// answer came (an idle close racing the request, a reset, bytes that were
// no answer: over TLS these may have waited decoded in the TLS library),
// and no rule here ended it. libcurl sends a request again itself only
// where the connection was dead before anything came (7.88 and 8.x
// alike), not where bytes that are no answer came first.
bool worth_a_new_connection(CURL *h, const transfer_ctx &tc)
{
	return kept.made == tc.made_before && has_address(h) && !tc.began && tc.why == tt_refusal::none &&
	       tc.answer->why == tt_refusal::none;
}

// Runs one transfer of url on the kept handle.
CURLcode transfer(CURL *h, const char *url, transfer_ctx &tc, bool fresh)
{
	tc.start_ms = tc.seen_ms = tc.answer_ms = now_ms();
	tc.made_before = kept.made;
	count_from_here();
	// Every option is set afresh: only the caches outlive a fetch.
	curl_easy_reset(h);
	set_options(h, url, &tc, fresh);
	CURLcode rc = curl_easy_perform(h);
	// The end of the trailer block is no line libcurl hands over.
	if (tc.trailer_open)
		tc.headers += 2;
	if (rc == CURLE_OK && (tc.sent > TT_MAX_ANSWER || tc.headers > TT_MAX_ANSWER ||
	                       received(tc, ask_about_sockets()) > TT_MAX_RECEIVED)) {
		tc.why = tt_refusal::too_large;
		rc = CURLE_ABORTED_BY_CALLBACK;
	}
	return rc;
}

} // namespace

fetched fetch(const char *url, fetch_ctx &answer)
{
	CURL *h = trusted_handle();
	if (h == nullptr || kept.sessions == nullptr) {
		set_fetch_message("cannot create the transfer");
		return {};
	}
	transfer_ctx tc{.answer = &answer};
	CURLcode rc = transfer(h, url, tc, false);
	if (rc != CURLE_OK && worth_a_new_connection(h, tc)) {
		restart_answer(answer);
		curlerrbuf[0] = '\0';
		tc = transfer_ctx{.answer = &answer};
		rc = transfer(h, url, tc, true);
	}
	if (rc != CURLE_OK) {
		explain_failure(h, rc, tc);
		return {};
	}
	fetched f{.answered = true};
	curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &f.http_status);
	return f;
}

std::array<char, CURL_ERROR_SIZE> &fetch_message() { return curlerrbuf; }

void set_fetch_message(std::string_view msg)
{
	const std::size_t n = std::min(msg.size(), curlerrbuf.size() - 1);
	std::memcpy(curlerrbuf.data(), msg.data(), n);
	curlerrbuf[n] = '\0';
}
