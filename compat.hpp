// SPDX-License-Identifier: ISC
// What the platforms and library versions dovrel builds on do differently,
// in one place; the rest of the program is written once.
#ifndef DOVREL_COMPAT_HPP
#define DOVREL_COMPAT_HPP

#include <cstring>

#include <curl/curl.h>
#include <langinfo.h>

// Restricts a transfer to HTTP and HTTPS. libcurl before 7.85 names the
// protocols by a bit mask only.
inline void allow_http_only(CURL *h)
{
#if LIBCURL_VERSION_NUM >= 0x075500
	curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
#else
	curl_easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
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
