// SPDX-License-Identifier: ISC
// The answer path without a network: a body split in two chunks goes
// through jsonwrite as libcurl would hand it over, then through what
// tt_get does after the transfer. The status is 0-4, and a failed page
// leaves the record as the fetch promises.
//
// Input: one byte choosing the HTTP status, two bytes of split point, the
// body.
#include "api.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <json-c/json.h>

namespace {

constexpr std::array<long, 6> http_statuses{200, 204, 299, 301, 404, 500};

tt_page poisoned()
{
	tt_page pg{};
	for (auto &row : pg.text)
		row.fill('#');
	for (auto &row : pg.attr)
		row.fill({-1, -1});
	std::strcpy(pg.id.data(), "old");
	std::strcpy(pg.next_page.data(), "old");
	std::strcpy(pg.next_subpage.data(), "old");
	return pg;
}

void check(bool ok)
{
	if (!ok)
		std::abort();
}

bool same_grid(const tt_page &a, const tt_page &b) { return a.text == b.text && a.attr == b.attr; }

bool same_links(const tt_page &a, const tt_page &b)
{
	return a.id == b.id && a.next_page == b.next_page && a.next_subpage == b.next_subpage;
}

// Feeds one chunk as libcurl does: never an empty one. False if the
// callback refused it, which aborts the transfer.
bool deliver(fetch_ctx &ctx, std::vector<char> &body, std::size_t from, std::size_t to)
{
	if (from == to)
		return true;
	return jsonwrite(body.data() + from, 1, to - from, &ctx) == to - from;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 3)
		return 0;
	const long http_status = http_statuses[data[0] % http_statuses.size()];
	std::vector<char> body(data + 3, data + size);
	const std::size_t split = (static_cast<std::size_t>(data[1]) << 8 | data[2]) % (body.size() + 1);

	fetch_ctx ctx{};
	ctx.tok = json_tokener_new();
	const bool accepted = deliver(ctx, body, 0, split) && deliver(ctx, body, split, body.size());
	const tt_page before = poisoned();
	tt_page pg = before;
	const int status = accepted ? take_answer(http_status, ctx.obj, "100", &pg) : TT_EXFER;
	json_object_put(ctx.obj);
	json_tokener_free(ctx.tok);

	check(status >= TT_OK && status <= TT_EDATA);
	if (status != TT_OK)
		check(same_grid(pg, before));
	if (status == TT_EXFER || status == TT_EHTTP)
		check(same_links(pg, before));
	if (status == TT_OK)
		for (std::size_t r = 0; r < pg.text.size(); ++r)
			for (std::size_t c = 0; c < pg.text[r].size(); ++c)
				check(pg.text[r][c] <= 0xEFFF && pg.attr[r][c].fg >= 0 &&
				      pg.attr[r][c].fg <= 7 && pg.attr[r][c].bg >= 0 &&
				      pg.attr[r][c].bg <= 7);
	return 0;
}
