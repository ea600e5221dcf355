// SPDX-License-Identifier: ISC
// openpty's header has three names.
#ifndef DOVREL_TESTS_PTY_HPP
#define DOVREL_TESTS_PTY_HPP

#if defined(__APPLE__) || defined(__OpenBSD__) || defined(__NetBSD__)
#include <util.h>
#elif defined(__FreeBSD__) || defined(__DragonFly__)
#include <libutil.h>
#else
#include <pty.h>
#endif

#endif
