// SPDX-License-Identifier: ISC
// Arbitrary bytes as page markup: parse writes all 960 cells, each with
// colour numbers 0-7.
#include "api.hpp"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const std::string content(reinterpret_cast<const char *>(data), size);
	static tt_page pg;
	// parse stamps a pair on every cell it writes, so an attr left at -1
	// is a cell it missed.
	for (auto &row : pg.attr)
		row.fill({-1, -1});
	parse(content.c_str(), &pg);
	for (const auto &row : pg.attr)
		for (const tt_attr a : row)
			if (a.fg < 0 || a.fg > 7 || a.bg < 0 || a.bg > 7)
				std::abort();
	return 0;
}
