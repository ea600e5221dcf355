// SPDX-License-Identifier: ISC
// What the platforms and library versions dovrel builds on do differently,
// in one place; the rest of the program is written once.
#ifndef DOVREL_COMPAT_HPP
#define DOVREL_COMPAT_HPP

#include <cstring>

#include <curl/curl.h>
#include <langinfo.h>

// libcurl's options and codes that not every release has, by the numbers
// curl.h gives them: a build against one release runs on another, so what
// the release at hand has is found out at run time.
constexpr auto curlopt_protocols = static_cast<CURLoption>(181);       // to be retired
constexpr auto curlopt_protocols_str = static_cast<CURLoption>(10318); // from 7.85
constexpr auto curle_too_large = static_cast<CURLcode>(100);           // from 8.6

// Restricts a transfer to HTTP and HTTPS: by name where libcurl knows the
// option, by its bit mask before 7.85.
inline void allow_http_only(CURL *h)
{
	if (curl_easy_setopt(h, curlopt_protocols_str, "http,https") != CURLE_OK)
		curl_easy_setopt(h, curlopt_protocols, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
}

// Whether libcurl stopped because a header line was longer than it takes:
// up to 8.5 it says it is out of memory, from 8.6 on it has a code of its
// own. Only a real connection can have sent one.
inline bool header_line_too_long(CURLcode rc, bool connected)
{
	return rc == curle_too_large || (rc == CURLE_OUT_OF_MEMORY && connected);
}

// Whether a wchar_t holds a Unicode code point. glibc and musl say so once
// and for all; FreeBSD and macOS do not, and their wchar_t is Unicode in a
// UTF-8 locale only.
inline bool wchar_is_unicode()
{
#ifdef __STDC_ISO_10646__
	return true;
#else
	return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
#endif
}

#endif
