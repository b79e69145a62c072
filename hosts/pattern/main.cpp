// velmor-pattern PATTERN [FLAGS]
//
// Compiles PATTERN with the numeric FLAGS (decimal, or hexadecimal after "0x"; default 0),
// whole-matches the bytes of standard input against it and prints the outcome as one JSON line:
//   {"matched":true,"groups":[[0,5],[1,3],[-1,-1]]}
// Group 0 to G, start and end; an unmatched text prints {"matched":false,"groups":[]}.
// It is how a fuzzer finding or a user's question is reproduced. Exit status: 0 after printing
// an outcome, 2 for a usage error or unreadable input. When the match was abandoned at one of the
// engine's limits a note goes to standard error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <iterator>
#include <string>

#include "pattern/pattern.h"

namespace {

int usage() {
  std::fputs("usage: velmor-pattern PATTERN [FLAGS] < TEXT\n"
             "  FLAGS: sum of SingleLine 1, MultiLine 2, Global 4, IgnoreCase 8,\n"
             "         RightToLeft 16, Extended 32 (default 0)\n",
             stderr);
  return 2;
}

bool parseFlags(const char* text, unsigned& flags) {
  if (*text == '\0' || *text == '-') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 0);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFul) return false;
  flags = static_cast<unsigned>(value);
  return true;
}

int run(int argc, char** argv) {
  if (argc < 2 || argc > 3) return usage();
  unsigned flags = 0;
  if (argc == 3 && !parseFlags(argv[2], flags)) return usage();

  std::string text;
  char buffer[65536];
  for (;;) {
    const std::size_t n = std::fread(buffer, 1, sizeof buffer, stdin);
    text.append(buffer, n);
    if (n < sizeof buffer) break;
  }
  if (std::ferror(stdin) != 0) {
    std::fputs("velmor-pattern: cannot read standard input\n", stderr);
    return 2;
  }

  velmor::pattern::RegexProgram program;
  program.compile(argv[1], std::strlen(argv[1]), flags);
  const velmor::pattern::MatchOutcome outcome = program.matchWhole(text.data(), text.size());

  std::string line = "{\"matched\":";
  line += outcome.isMatched() ? "true" : "false";
  line += ",\"groups\":[";
  if (outcome.isMatched()) {
    for (std::int32_t g = 0; g <= outcome.highestGroup(); ++g) {
      if (g > 0) line += ',';
      line += '[' + std::to_string(outcome.groupStart(g)) + ',' + std::to_string(outcome.groupEnd(g)) + ']';
    }
  }
  line += "]}\n";
  std::fputs(line.c_str(), stdout);
  if (outcome.limitExceeded()) {
    std::fputs("velmor-pattern: match abandoned at the engine's limits\n", stderr);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // An input too large for memory is unreadable input, not an abort.
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velmor-pattern: %s\n", e.what());
  }
  return 2;
}
