// SPDX-License-Identifier: ISC
// What the kernel says of a TCP connection, in one call: how long it has
// received nothing, and how many bytes it has received in all, TLS records,
// HTTP/2 frames and header lines included. These are the only facts of a
// connection that do not depend on libcurl, its version or its TLS library.
#ifndef DOVREL_KERNEL_HPP
#define DOVREL_KERNEL_HPP

#include <cstddef>
#include <cstdint>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#if defined(__linux__)
// glibc's <netinet/tcp.h> stops short of the byte counts; the kernel's own
// header has them all, and the two cannot be included together.
#include <linux/tcp.h>
#elif defined(__FreeBSD__)
#include <netinet/tcp.h>
#include <netinet/tcp_fsm.h>
#endif

struct tcp_facts {
	long silence_ms = -1;       // since the last byte came; -1 unless established
	std::uint64_t received = 0; // bytes received on the connection so far
	bool told = false;          // whether the kernel answered at all
	bool dropped = false;       // reset, or timed out: the kernel has closed it
	bool counted = false;       // whether received is the kernel's count
};

#if (defined(__linux__) || defined(__FreeBSD__)) && defined(TCP_INFO)
#ifdef __FreeBSD__
constexpr int tcp_established = TCPS_ESTABLISHED;
constexpr int tcp_closed = TCPS_CLOSED;
// tcp_fill_info() in sys/netinet/tcp_usrreq.c gives ticks times the
// length of a tick in microseconds ("measurements in usecs", tcp.h).
constexpr long silence_units_per_ms = 1000;
#else
constexpr int tcp_established = 1; // TCP_ESTABLISHED in the kernel's tcp_states.h
constexpr int tcp_closed = 7;      // TCP_CLOSE
// tcp_get_info() in net/ipv4/tcp.c gives jiffies_to_msecs(): milliseconds.
constexpr long silence_units_per_ms = 1;
#endif

inline tcp_facts ask_kernel(int fd)
{
	tcp_info ti{};
	socklen_t len = sizeof ti;
	tcp_facts f;
	if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) != 0)
		return f;
	f.told = true;
	f.dropped = ti.tcpi_state == tcp_closed;
	// A connection the service has half closed has no silence to speak
	// of, but what it sent still counts.
	if (ti.tcpi_state == tcp_established)
		f.silence_ms = static_cast<long>(ti.tcpi_last_data_recv) / silence_units_per_ms;
#ifdef __linux__
	// Linux counts from 4.1 on, and says so by the length it fills.
	if (len >= offsetof(tcp_info, tcpi_bytes_received) + sizeof ti.tcpi_bytes_received) {
		f.received = ti.tcpi_bytes_received;
		f.counted = true;
	}
#endif
	return f;
}

// What the kernel tells at all (a sandbox's filter may refuse, an old
// kernel has no count), asked of a socket of our own.
inline tcp_facts kernel_tells()
{
	const int fd = socket(AF_INET, SOCK_STREAM, 0);
	if (fd < 0)
		return {};
	const tcp_facts f = ask_kernel(fd);
	close(fd);
	return f;
}
#else
inline tcp_facts ask_kernel(int /*unused*/) { return {}; }
inline tcp_facts kernel_tells() { return {}; }
#endif

#endif
