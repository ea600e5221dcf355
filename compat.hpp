// SPDX-License-Identifier: ISC
// Platform shims. glibc has everything dovrel calls (getline, err.h's errx
// and warnx), so there is nothing here; a port to a C library without them
// adds its replacements to this file.
#ifndef DOVREL_COMPAT_HPP
#define DOVREL_COMPAT_HPP
#endif
