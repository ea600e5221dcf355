// SPDX-License-Identifier: ISC
// Preloaded into dovrel by a test: the Nth allocation json-c asks for
// (N in DOVREL_FAIL_JSON_ALLOC) fails, as it would with memory exhausted.
// glibc's own allocator does the rest.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>

namespace {

bool from_json_c(void *caller)
{
	Dl_info info{};
	return dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
	       std::strstr(info.dli_fname, "libjson-c") != nullptr;
}

bool fails(void *caller)
{
	static long countdown = [] {
		const char *n = std::getenv("DOVREL_FAIL_JSON_ALLOC");
		return n != nullptr ? std::strtol(n, nullptr, 10) : 0L;
	}();
	if (countdown <= 0 || !from_json_c(caller) || --countdown != 0)
		return false;
	errno = ENOMEM; // as malloc sets it
	return true;
}

} // namespace

extern "C" {
extern void *__libc_malloc(std::size_t);
extern void *__libc_calloc(std::size_t, std::size_t);
extern void *__libc_realloc(void *, std::size_t);

void *malloc(std::size_t n) { return fails(__builtin_return_address(0)) ? nullptr : __libc_malloc(n); }
void *calloc(std::size_t k, std::size_t n)
{
	return fails(__builtin_return_address(0)) ? nullptr : __libc_calloc(k, n);
}
void *realloc(void *p, std::size_t n)
{
	return fails(__builtin_return_address(0)) ? nullptr : __libc_realloc(p, n);
}
}
