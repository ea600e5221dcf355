// SPDX-License-Identifier: ISC
// Time per page for the decoder over the sample pages and two worst cases,
// and for both page writers over a full colourful page.
#include "dovrel.hpp"

#include <benchmark/benchmark.h>
#include <json-c/json.h>

#include <array>
#include <clocale>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

std::string sample_content(const std::string &page)
{
	std::ifstream f(std::string(SAMPLE_PAGES) + "/" + page + ".json");
	std::stringstream ss;
	ss << f.rdbuf();
	const std::unique_ptr<json_object, decltype(&json_object_put)> obj{
	    json_tokener_parse(ss.str().c_str()), &json_object_put};
	json_object *content = nullptr;
	if (!obj || json_object_object_get_ex(obj.get(), "content", &content) == 0)
		return {};
	return json_object_get_string(content);
}

// Every visible cell of every row is a reference, named or hexadecimal;
// the named ones near the end of the table cost the longest search.
std::string all_references()
{
	std::string s;
	for (int r = 0; r < TT_ROWS; ++r) {
		for (int c = 0; c < TT_COLS; ++c)
			s += c % 2 == 0 ? "&yuml;" : "&#x2588;";
		s += '\n';
	}
	return s;
}

// Every row is deeply nested coloured spans, past the colour stack.
std::string nested_spans()
{
	constexpr std::array<const char *, 8> words{"black ", "red ",       "green ", "yellow ",
	                                            "blue ",  "bg-magenta", "cyan ",  "white "};
	std::string s;
	for (int r = 0; r < TT_ROWS; ++r) {
		for (int d = 0; d < 12; ++d)
			s += std::string("<span class=\"") +
			     words[static_cast<std::size_t>(d) % words.size()] + " bg-blue\">x";
		for (int d = 0; d < 12; ++d)
			s += "</span>y";
		s += '\n';
	}
	return s;
}

void parse_page(benchmark::State &state, const std::string &content)
{
	static tt_page pg;
	for (auto _ : state) {
		parse(content.c_str(), &pg);
		benchmark::DoNotOptimize(pg);
	}
	state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
	                        static_cast<std::int64_t>(content.size()));
	state.SetLabel(std::to_string(content.size()) + " bytes");
}

tt_page sample_page(const char *page)
{
	tt_page pg{};
	parse(sample_content(page).c_str(), &pg);
	return pg;
}

// Every cell outside ASCII: Latin-1 letters, block graphics and a symbol.
tt_page non_ascii_page()
{
	constexpr std::array<std::int32_t, 4> cells{0xE9, 0x2588, 0xC4, 0x2600};
	tt_page pg = sample_page("100");
	for (auto &row : pg.text)
		for (std::size_t c = 0; c < row.size(); ++c)
			row[c] = cells[c % cells.size()];
	return pg;
}

// cppcheck-suppress constParameterCallback ; the benchmark loop changes state
void write_page(benchmark::State &state, void (*writer)(std::FILE *, const tt_page &), const tt_page &pg)
{
	std::setlocale(LC_ALL, "C.UTF-8");
	std::FILE *null = std::fopen("/dev/null", "w");
	for (auto _ : state)
		writer(null, pg);
	std::fclose(null);
}

} // namespace

int main(int argc, char **argv)
{
	for (const char *page : {"100", "100-2", "101", "102", "200"})
		benchmark::RegisterBenchmark((std::string("parse/sample-") + page).c_str(), parse_page,
		                             sample_content(page));
	benchmark::RegisterBenchmark("parse/all-references", parse_page, all_references());
	benchmark::RegisterBenchmark("parse/nested-spans", parse_page, nested_spans());
	const tt_page index = sample_page("100");
	const tt_page card = sample_page("200");
	const tt_page non_ascii = non_ascii_page();
	benchmark::RegisterBenchmark("write/plain-index", write_page, write_plain, index);
	benchmark::RegisterBenchmark("write/plain-card", write_page, write_plain, card);
	benchmark::RegisterBenchmark("write/plain-non-ascii", write_page, write_plain, non_ascii);
	benchmark::RegisterBenchmark("write/colour-index", write_page, write_colour, index);
	benchmark::RegisterBenchmark("write/colour-card", write_page, write_colour, card);
	benchmark::RegisterBenchmark("write/colour-non-ascii", write_page, write_colour, non_ascii);
	benchmark::Initialize(&argc, argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}
