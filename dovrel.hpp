// SPDX-License-Identifier: ISC
// The viewer's page writers, shared with the tests, fuzzers and benchmarks.
#ifndef DOVREL_DOVREL_HPP
#define DOVREL_DOVREL_HPP

#include "api.hpp"

#include <cstdio>

// 24 lines of 40 cells in the locale's encoding.
void write_plain(std::FILE *out, const tt_page &pg);

// The same, with an SGR escape where the colours change and a reset at the
// end of every line.
void write_colour(std::FILE *out, const tt_page &pg);

// Asks for the next page text on standard output and reads a line of
// standard input; def, if not null, is taken for an empty line. Returns the
// line without its newline, def, or null at end of input.
const char *prompt(const char *def);

#endif
