// SPDX-License-Identifier: ISC
// What the platforms and library versions dovrel builds on do differently,
// in one place; the rest of the program is written once.
#ifndef DOVREL_COMPAT_HPP
#define DOVREL_COMPAT_HPP

#include <cstring>

#include <curl/curl.h>
#include <langinfo.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__FreeBSD__)
#include <netinet/tcp_fsm.h>
#endif

// Restricts a transfer to HTTP and HTTPS. libcurl before 7.85 names the
// protocols by a bit mask only.
inline void allow_http_only(CURL *h)
{
#if LIBCURL_VERSION_NUM >= 0x075500
	curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
#else
	curl_easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
}

// Whether libcurl stopped because a header line was longer than it takes:
// up to 8.5 it says it is out of memory, from 8.6 on it has a code of its
// own. Only a real connection can have sent one.
inline bool header_line_too_long(CURLcode rc, bool connected)
{
#if LIBCURL_VERSION_NUM >= 0x080600
	if (rc == CURLE_TOO_LARGE)
		return true;
#endif
	return rc == CURLE_OUT_OF_MEMORY && connected;
}

// Whether a wchar_t holds a Unicode code point. glibc and musl say so once
// and for all; FreeBSD and macOS do not, and their wchar_t is Unicode in a
// UTF-8 locale only.
inline bool wchar_is_unicode()
{
#ifdef __STDC_ISO_10646__
	return true;
#else
	return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
#endif
}

// How long the established TCP connection on fd has received nothing, in
// milliseconds, TLS records still in flight and header lines included; -1
// while it is not established, or where the kernel does not say. Linux and
// FreeBSD keep the figure, each in a unit of its own; elsewhere, and where
// the kernel refuses to say at run time (a sandbox's filter, an old
// kernel), a stall is judged by libcurl's own low-speed rule, which sees
// only body bytes.
#if (defined(__linux__) || defined(__FreeBSD__)) && defined(TCP_INFO)
#ifdef __FreeBSD__
constexpr int tcp_established = TCPS_ESTABLISHED;
// tcp_fill_info() in sys/netinet/tcp_usrreq.c gives ticks times the
// length of a tick in microseconds ("measurements in usecs", tcp.h).
constexpr long silence_units_per_ms = 1000;
#else
constexpr int tcp_established = TCP_ESTABLISHED;
// tcp_get_info() in net/ipv4/tcp.c gives jiffies_to_msecs(): milliseconds.
constexpr long silence_units_per_ms = 1;
#endif
inline long ms_since_received(int fd)
{
	tcp_info ti{};
	socklen_t len = sizeof ti;
	if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0 || ti.tcpi_state != tcp_established)
		return -1;
	return static_cast<long>(ti.tcpi_last_data_recv) / silence_units_per_ms;
}
// Whether the kernel answers TCP_INFO at all, asked of a socket of our own.
inline bool kernel_tells_silence()
{
	const int fd = socket(AF_INET, SOCK_STREAM, 0);
	tcp_info ti{};
	socklen_t len = sizeof ti;
	const bool tells = fd >= 0 && getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0;
	if (fd >= 0)
		close(fd);
	return tells;
}
#else
inline bool kernel_tells_silence() { return false; }
inline long ms_since_received(int) { return -1; }
#endif

#endif
