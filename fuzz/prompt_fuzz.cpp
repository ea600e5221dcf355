// SPDX-License-Identifier: ISC
// Lines typed at the page prompt: each answer is a whole line of input
// without its newline, the default for an empty line, or null once input
// has ended; an empty line without a default asks again, and a last line
// cut short is dropped.
//
// Input: one byte (odd: a default is offered), then standard input.
#include "dovrel.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

void check(bool ok)
{
	if (!ok)
		std::abort();
}

std::string input_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	char path[] = "/tmp/dovrel-prompt-XXXXXX";
	const int fd = mkstemp(path);
	check(fd >= 0);
	close(fd);
	input_path = path;
	check(std::freopen("/dev/null", "w", stdout) != nullptr);
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return 0;
	const char *def = (data[0] & 1U) != 0 ? "100-2" : nullptr;
	const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
	std::FILE *f = std::fopen(input_path.c_str(), "wb");
	check(f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size());
	std::fclose(f);
	check(std::freopen(input_path.c_str(), "rb", stdin) != nullptr);

	// What the prompt must give, line by line.
	std::vector<std::string> want;
	for (std::size_t at = 0, nl = 0; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
		const std::string line = text.substr(at, nl - at);
		if (!line.empty())
			want.push_back(line.c_str()); // a page text is a C string
		else if (def != nullptr)
			want.emplace_back(def);
	}
	std::size_t i = 0;
	for (const char *got = nullptr; (got = prompt(def)) != nullptr; ++i) {
		check(i < want.size() && want[i] == got);
		check(std::strchr(got, '\n') == nullptr);
	}
	check(i == want.size());
	return 0;
}
