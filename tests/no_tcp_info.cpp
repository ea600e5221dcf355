// SPDX-License-Identifier: ISC
// Preloaded into dovrel by a test: the kernel refuses TCP_INFO, as a
// sandbox's filter or an old kernel would, and every other socket option
// goes through.
#include <cerrno>

#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

extern "C" int getsockopt(int fd, int level, int name, void *value, socklen_t *len)
{
	if (level == IPPROTO_TCP && name == TCP_INFO) {
		errno = ENOPROTOOPT;
		return -1;
	}
	using real_getsockopt = int (*)(int, int, int, void *, socklen_t *);
	static const auto real = reinterpret_cast<real_getsockopt>(dlsym(RTLD_NEXT, "getsockopt"));
	return real(fd, level, name, value, len);
}
