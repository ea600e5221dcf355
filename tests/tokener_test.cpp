// SPDX-License-Identifier: ISC
// When json-c cannot make a tokener, the fetch fails before any request,
// with a message. This program's own json_tokener_new takes the place of
// json-c's and always fails, as it would when memory runs out.
#include "testing.hpp"

#include <gtest/gtest.h>
#include <json-c/json.h>

#include <cstdlib>

using namespace testing_support;

extern "C" json_tokener *json_tokener_new(void) { return nullptr; }

namespace {

TEST(Fetch, FailsBeforeAnyRequestWithoutATokener)
{
	local_service svc({{"100", page_json("x")}});
	setenv("DOVREL_HOST", svc.host().c_str(), 1);
	tt_page pg{};
	EXPECT_EQ(tt_get("100", &pg), TT_EXFER);
	EXPECT_NE(std::string(tt_errstr(TT_EXFER)), "");
	EXPECT_EQ(svc.requests, 0) << "a request went out";
}

} // namespace
