// Whole-text validation speed: "[A-Fa-f0-9]{0,}" and "[A-Za-z0-9+/=]{0,}" on texts of 4 KiB
// and 1 MiB that match, and that fail at the last byte. Beside our engine run std::regex, PCRE2
// without its JIT, and a plain loop over a 256-entry table, the limit any engine can reach.
// std::regex recurses per character and overflows the stack on long texts, so it runs on 4 KiB
// only.
//
// The general path, where nodes call one another through the engine's frame stack, is timed on
// its own ("general/..."): an alternation under a star, recursion over nested parentheses, and
// compiling and matching a group nested as deep as the compiler allows.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <benchmark/benchmark.h>

#include <array>
#include <regex>
#include <string>

#include "pattern/pattern.h"
#include "tests/support/owners.h"

namespace {

struct Alphabet {
  const char* name;
  const char* pattern;
  const char* members;
};

constexpr std::array<Alphabet, 2> kAlphabets{{
    {"hex", "[A-Fa-f0-9]{0,}", "0123456789ABCDEFabcdef"},
    {"base64", "[A-Za-z0-9+/=]{0,}", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="},
}};

std::string makeText(const Alphabet& alphabet, std::size_t size, bool failAtEnd) {
  const std::string members = alphabet.members;
  std::string text(size, 'a');
  std::uint32_t x = 12345;
  for (char& c : text) {
    x = x * 1103515245u + 12345u;
    c = members[(x >> 16) % members.size()];
  }
  if (failAtEnd) text.back() = '\n';
  return text;
}

void setCounters(benchmark::State& state, const std::string& text, bool expected, bool got) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
  if (expected != got) state.SkipWithError("wrong answer");
}

void velmorEngine(benchmark::State& state, const Alphabet* alphabet, std::size_t size, bool fail) {
  const std::string text = makeText(*alphabet, size, fail);
  bool matched = false;
  for (auto _ : state) {
    // As the verification does: compile, match once, discard.
    velmor::pattern::RegexProgram program = velmor::pattern::compile(alphabet->pattern, 0);
    matched = velmor::pattern::matchWhole(program, text.data(), text.size()).isMatched();
    benchmark::DoNotOptimize(matched);
  }
  setCounters(state, text, !fail, matched);
}

void velmorMatchOnly(benchmark::State& state, const Alphabet* alphabet, std::size_t size, bool fail) {
  const std::string text = makeText(*alphabet, size, fail);
  const velmor::pattern::RegexProgram program = velmor::pattern::compile(alphabet->pattern, 0);
  bool matched = false;
  for (auto _ : state) {
    matched = velmor::pattern::matchWhole(program, text.data(), text.size()).isMatched();
    benchmark::DoNotOptimize(matched);
  }
  setCounters(state, text, !fail, matched);
}

void stdRegex(benchmark::State& state, const Alphabet* alphabet, std::size_t size, bool fail) {
  const std::string text = makeText(*alphabet, size, fail);
  const std::regex re(alphabet->pattern);
  bool matched = false;
  for (auto _ : state) {
    matched = std::regex_match(text, re);
    benchmark::DoNotOptimize(matched);
  }
  setCounters(state, text, !fail, matched);
}

using velmor::testing::owners::PcreCode;
using velmor::testing::owners::PcreMatchData;

void pcre2Interpreted(benchmark::State& state, const Alphabet* alphabet, std::size_t size, bool fail) {
  const std::string text = makeText(*alphabet, size, fail);
  int error = 0;
  PCRE2_SIZE offset = 0;
  const PcreCode code(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(alphabet->pattern), PCRE2_ZERO_TERMINATED,
                                    PCRE2_ANCHORED | PCRE2_ENDANCHORED, &error, &offset, nullptr));
  const PcreMatchData data(pcre2_match_data_create_from_pattern(code.get(), nullptr));
  bool matched = false;
  for (auto _ : state) {
    matched = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, PCRE2_NO_JIT,
                          data.get(), nullptr) >= 0;
    benchmark::DoNotOptimize(matched);
  }
  setCounters(state, text, !fail, matched);
}

void tableLoop(benchmark::State& state, const Alphabet* alphabet, std::size_t size, bool fail) {
  const std::string text = makeText(*alphabet, size, fail);
  std::array<bool, 256> table{};
  for (const char* p = alphabet->members; *p != '\0'; ++p) table[static_cast<unsigned char>(*p)] = true;
  bool matched = false;
  for (auto _ : state) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p != end && table[*p]) ++p;
    matched = p == end;
    benchmark::DoNotOptimize(matched);
  }
  setCounters(state, text, !fail, matched);
}

std::string nestedGroups(int depth) { return std::string(static_cast<std::size_t>(depth), '(') + "a" + std::string(static_cast<std::size_t>(depth), ')'); }

// One pair of parentheses around letters and further pairs, nested up to eight deep, about
// `size` bytes.
std::string nestedParentheses(std::size_t size) {
  std::string text = "(";
  int depth = 1;
  std::uint32_t x = 777;
  while (text.size() < size) {
    x = x * 1103515245u + 12345u;
    const std::uint32_t pick = (x >> 16) % 4;
    if (pick == 0 && depth < 8) {
      text += '(';
      ++depth;
    } else if (pick == 1 && depth > 1) {
      text += ')';
      --depth;
    } else {
      text += 'a';
    }
  }
  return text + std::string(static_cast<std::size_t>(depth), ')');
}

void generalMatch(benchmark::State& state, const char* pattern, const std::string& text) {
  const velmor::pattern::RegexProgram program = velmor::pattern::compile(pattern, 0);
  velmor::pattern::MatchState matchState;
  bool matched = false;
  for (auto _ : state) {
    matched = program.matchWhole(text.data(), text.size(), &matchState).isMatched();
    benchmark::DoNotOptimize(matched);
  }
  setCounters(state, text, true, matched);
}

void generalCompileDeep(benchmark::State& state) {
  const std::string pattern = nestedGroups(velmor::pattern::kMaxNestingDepth);
  for (auto _ : state) {
    velmor::pattern::RegexProgram program = velmor::pattern::compile(pattern, 0);
    benchmark::DoNotOptimize(program.topNode());
  }
}

}  // namespace

int main(int argc, char** argv) {
  using Runner = void (*)(benchmark::State&, const Alphabet*, std::size_t, bool);
  struct Engine {
    const char* name;
    Runner run;
    bool longTexts;
  };
  const Engine engines[] = {{"velmor", velmorEngine, true},        {"velmor_match_only", velmorMatchOnly, true},
                            {"pcre2_interpreted", pcre2Interpreted, true}, {"std_regex", stdRegex, false},
                            {"table_loop", tableLoop, true}};
  for (const Alphabet& alphabet : kAlphabets) {
    for (std::size_t size : {std::size_t{4096}, std::size_t{1} << 20}) {
      for (bool fail : {false, true}) {
        for (const Engine& engine : engines) {
          if (size > 4096 && !engine.longTexts) continue;
          const std::string name = std::string(alphabet.name) + (size == 4096 ? "/4KiB/" : "/1MiB/") +
                                   (fail ? "fail_last/" : "match/") + engine.name;
          benchmark::RegisterBenchmark(name.c_str(), engine.run, &alphabet, size, fail);
        }
      }
    }
  }
  static const std::string letters = [] {
    std::string text(4096, 'a');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = "abcdefx"[(i * 7 + i / 5) % 7];
    return text;
  }();
  static const std::string parentheses = nestedParentheses(4096);
  static const std::string deep = nestedGroups(velmor::pattern::kMaxNestingDepth);
  benchmark::RegisterBenchmark("general/4KiB/alternation_star", generalMatch, "(?:[a-f]|x)*", letters);
  benchmark::RegisterBenchmark("general/4KiB/recursion", generalMatch, "\\((?:[^()]|(?R))*\\)", parentheses);
  benchmark::RegisterBenchmark("general/compile_deepest_group", generalCompileDeep);
  benchmark::RegisterBenchmark("general/match_deepest_group", generalMatch, deep.c_str(), std::string("a"));
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
