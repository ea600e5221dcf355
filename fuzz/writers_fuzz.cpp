// SPDX-License-Identifier: ISC
// Random records through both page writers: nothing below 0x20 but the
// newline, no C1 control, and no ESC but the colour writer's own escapes
// ever reach the output, and every plain line takes exactly 40 terminal
// columns.
#include "dovrel.hpp"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

namespace {

void check(bool ok)
{
	if (!ok)
		std::abort();
}

// The length of the writer's escape at s: ESC [ number ; number m, or
// ESC [ 0 m; 0 if there is none.
std::size_t escape_length(std::string_view s)
{
	if (s.substr(0, 4) == "\x1b[0m")
		return 4;
	std::size_t i = 2;
	check(s.substr(0, 2) == "\x1b[");
	for (int field = 0; field < 2; ++field) {
		if (i < s.size() && s[i] == '-')
			++i;
		const std::size_t digits = i;
		while (i < s.size() && s[i] >= '0' && s[i] <= '9')
			++i;
		check(i > digits && i < s.size() && s[i] == (field == 0 ? ';' : 'm'));
		++i;
	}
	return i;
}

void check_output(std::string_view out, bool colour)
{
	std::size_t lines = 0;
	for (std::size_t i = 0; i < out.size();) {
		const auto b = static_cast<unsigned char>(out[i]);
		if (b == 0x1B) {
			check(colour);
			i += escape_length(out.substr(i));
			continue;
		}
		check(b >= 0x20 || b == '\n');
		check(b != 0x7F);
		// U+0080-U+009F in UTF-8.
		check(!(b == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) <= 0x9F));
		lines += b == '\n' ? 1 : 0;
		++i;
	}
	check(lines == TT_ROWS);
}

void check_columns(std::string_view out)
{
	for (std::size_t at = 0, nl = 0; (nl = out.find('\n', at)) != std::string_view::npos; at = nl + 1) {
		const std::string line(out.substr(at, nl - at));
		std::wstring wide(line.size() + 1, L'\0');
		const std::size_t n = std::mbstowcs(wide.data(), line.c_str(), wide.size());
		check(n != static_cast<std::size_t>(-1) && wcswidth(wide.c_str(), n) == TT_COLS);
	}
}

void run(void (*writer)(std::FILE *, const tt_page &), const tt_page &pg, bool colour)
{
	char *buf = nullptr;
	std::size_t len = 0;
	std::FILE *f = open_memstream(&buf, &len);
	check(f != nullptr);
	writer(f, pg);
	std::fclose(f);
	check_output({buf, len}, colour);
	if (!colour)
		check_columns({buf, len});
	std::free(buf);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
	std::setlocale(LC_ALL, "C.UTF-8");
	return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	static tt_page pg;
	pg = tt_page{};
	const std::size_t text_size = sizeof pg.text;
	std::memcpy(pg.text.data(), data, std::min(size, text_size));
	if (size > text_size)
		std::memcpy(pg.attr.data(), data + text_size, std::min(size - text_size, sizeof pg.attr));
	run(write_plain, pg, false);
	run(write_colour, pg, true);
	return 0;
}
