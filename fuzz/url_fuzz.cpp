// SPDX-License-Identifier: ISC
// A service address and a page text, as a careless user could give them,
// turned into the URL to fetch, with nothing sent anywhere. Either the
// pair is refused with a message that names DOVREL_HOST (or, too long for
// a URL, as an invalid argument), or the URL is whole: HTTP(S) unless the
// address named another scheme (which the transfer then refuses), a host
// that libcurl reads where the address put one, no query or fragment of
// the address's making, and the page text after "/json/", unchanged.
//
// Input: DOVREL_HOST, a NUL, the page text.
#include "api.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <curl/curl.h>
#include <strings.h>

namespace {

void check(bool ok)
{
	if (!ok)
		std::abort();
}

struct url_cleanup {
	void operator()(CURLU *u) const { curl_url_cleanup(u); }
};

bool is_http(std::string_view url)
{
	return strncasecmp(url.data(), "http://", 7) == 0 || strncasecmp(url.data(), "https://", 8) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const std::string input(reinterpret_cast<const char *>(data), size);
	const std::size_t nul = input.find('\0');
	if (nul == std::string::npos)
		return 0;
	const std::string host = input.substr(0, nul);
	const std::string page = input.substr(nul + 1).c_str(); // a C string ends at its NUL
	if (page.empty())
		return 0; // tt_get refuses it before it asks for a URL
	std::array<char, 1024> url{};
	const int status = page_url(url, host.c_str(), page.c_str());
	if (status == TT_EXFER) {
		check(std::strncmp(tt_errstr(status), "DOVREL_HOST ", 12) == 0);
		return 0;
	}
	if (status == TT_EARG)
		return 0; // too long for the buffer: nothing is fetched
	check(status == TT_OK);
	const std::string_view u = url.data();
	check(u.ends_with("/json/" + page));
	check(host.find_first_of("?#") == std::string::npos);
	if (host.empty() || !std::strstr(host.c_str(), "://"))
		check(u.starts_with("http://"));
	if (!is_http(u))
		return 0; // another scheme: the transfer refuses it
	const std::size_t authority = u.find("://") + 3;
	check(authority < u.size() && u[authority] != '/');
	// libcurl may refuse the URL as it stands (a blank in the host, say),
	// and then nothing is fetched; if it takes it, it names a host.
	const std::unique_ptr<CURLU, url_cleanup> parsed{curl_url()};
	if (curl_url_set(parsed.get(), CURLUPART_URL, url.data(), 0) != CURLUE_OK)
		return 0;
	char *found = nullptr;
	check(curl_url_get(parsed.get(), CURLUPART_HOST, &found, 0) == CURLUE_OK && *found != '\0');
	curl_free(found);
	return 0;
}
