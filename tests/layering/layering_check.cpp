// layering_check: reads every #include "..." of the product's sources and fails on an arrow
// that goes against the layer order, and on any cycle between folders. It needs nothing of the
// product but its sources, so it runs before (and without) a build.
//
//   layering_check ROOT LAYERS FOLDER...
//
// ROOT is the source tree, LAYERS the order (tests/layering/layers.txt: one unit a line, with
// the units it may include directly; `UNIT += PREFIX` also puts the files whose path starts with
// PREFIX into UNIT), FOLDER... the folders under ROOT to read. Every bad arrow is printed as
// file:line, and the exit status is 1 when there is any.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Layers {
  std::map<std::string, std::set<std::string>> mayInclude;  // direct, as written
  std::map<std::string, std::string> prefixes;               // extra file prefix -> unit
};

struct Arrow {
  std::string file;  // relative to the root
  int line;
  std::string included;
};

bool ReadLayers(const fs::path& path, Layers& layers) {
  std::ifstream in(path);
  if (!in) {
    std::cerr << path.string() << ": cannot be read\n";
    return false;
  }
  std::string line;
  int number = 0;
  bool ok = true;
  while (std::getline(in, line)) {
    ++number;
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string unit;
    if (!(words >> unit)) continue;
    std::string word;
    if (unit.back() == ':') {
      unit.pop_back();
      auto& deps = layers.mayInclude[unit];
      while (words >> word) deps.insert(word);
    } else if (words >> word && word == "+=" && words >> word) {
      layers.prefixes[word] = unit;
    } else {
      std::cerr << path.string() << ":" << number << ": neither `UNIT: ...` nor `UNIT += PREFIX`\n";
      ok = false;
    }
  }
  for (const auto& [unit, deps] : layers.mayInclude) {
    for (const std::string& dep : deps) {
      if (!layers.mayInclude.contains(dep)) {
        std::cerr << path.string() << ": " << unit << " names " << dep << ", which is no unit\n";
        ok = false;
      }
    }
  }
  for (const auto& [prefix, unit] : layers.prefixes) {
    if (!layers.mayInclude.contains(unit)) {
      std::cerr << path.string() << ": " << prefix << " goes to " << unit << ", which is no unit\n";
      ok = false;
    }
  }
  return ok;
}

// UnitOf: the unit a file belongs to, by the longest unit name (a folder or a file) or extra
// prefix that covers its path; empty when none does.
std::string UnitOf(const Layers& layers, const std::string& file) {
  std::string best;
  std::size_t bestLength = 0;
  for (const auto& [unit, deps] : layers.mayInclude) {
    const bool covers = file == unit || (file.starts_with(unit) && file[unit.size()] == '/');
    if (covers && unit.size() > bestLength) best = unit, bestLength = unit.size();
  }
  for (const auto& [prefix, unit] : layers.prefixes) {
    if (file.starts_with(prefix) && prefix.size() > bestLength) best = unit, bestLength = prefix.size();
  }
  return best;
}

// NodeOf: what the cycle check counts as a folder: the file's own folder, or the unit an extra
// prefix gives it (a unit whose files still live in another unit's folder).
std::string NodeOf(const Layers& layers, const std::string& file) {
  std::string best;
  for (const auto& [prefix, unit] : layers.prefixes) {
    if (file.starts_with(prefix) && prefix.size() > best.size()) best = prefix;
  }
  if (!best.empty()) return layers.prefixes.at(best);
  return fs::path(file).parent_path().generic_string();
}

// Cycles: the strongly connected components of more than one node (Tarjan's algorithm).
std::vector<std::set<std::string>> Cycles(const std::map<std::string, std::set<std::string>>& graph) {
  std::map<std::string, int> index, low;
  std::vector<std::string> stack;
  std::set<std::string> onStack;
  std::vector<std::set<std::string>> cycles;
  int next = 0;
  std::function<void(const std::string&)> visit = [&](const std::string& v) {
    index[v] = low[v] = next++;
    stack.push_back(v);
    onStack.insert(v);
    if (const auto it = graph.find(v); it != graph.end()) {
      for (const std::string& w : it->second) {
        if (!index.contains(w)) {
          visit(w);
          low[v] = std::min(low[v], low[w]);
        } else if (onStack.contains(w)) {
          low[v] = std::min(low[v], index[w]);
        }
      }
    }
    if (low[v] != index[v]) return;
    std::set<std::string> component;
    std::string w;
    do {
      w = stack.back();
      stack.pop_back();
      onStack.erase(w);
      component.insert(w);
    } while (w != v);
    if (component.size() > 1) cycles.push_back(std::move(component));
  };
  for (const auto& [v, edges] : graph) {
    if (!index.contains(v)) visit(v);
  }
  return cycles;
}

// Closure: every unit each unit may include, directly or through the units it may include.
std::map<std::string, std::set<std::string>> Closure(const Layers& layers) {
  std::map<std::string, std::set<std::string>> reach;
  for (const auto& [unit, deps] : layers.mayInclude) {
    std::vector<std::string> work(deps.begin(), deps.end());
    auto& seen = reach[unit];
    while (!work.empty()) {
      const std::string next = work.back();
      work.pop_back();
      if (!seen.insert(next).second) continue;
      const auto& more = layers.mayInclude.at(next);
      work.insert(work.end(), more.begin(), more.end());
    }
  }
  return reach;
}

std::vector<Arrow> ReadArrows(const fs::path& root, const std::vector<std::string>& folders) {
  static const std::regex kInclude(R"re(^\s*#\s*include\s*"([^"]+)")re");
  static const std::set<std::string> kSources = {".h", ".hpp", ".c", ".cc", ".cpp", ".inc"};
  std::vector<std::string> files;
  for (const std::string& folder : folders) {
    if (!fs::is_directory(root / folder)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root / folder)) {
      if (entry.is_regular_file() && kSources.contains(entry.path().extension().string())) {
        files.push_back(fs::relative(entry.path(), root).generic_string());
      }
    }
  }
  std::sort(files.begin(), files.end());
  std::vector<Arrow> arrows;
  for (const std::string& file : files) {
    std::ifstream in(root / file);
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
      ++number;
      std::smatch m;
      if (!std::regex_search(text, m, kInclude)) continue;
      // As the compiler looks: beside the file first, then from the root every target adds.
      fs::path found = fs::path(file).parent_path() / m[1].str();
      if (!fs::exists(root / found)) found = m[1].str();
      if (!fs::exists(root / found)) continue;  // generated, or not ours
      arrows.push_back({file, number, found.lexically_normal().generic_string()});
    }
  }
  return arrows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: layering_check ROOT LAYERS FOLDER...\n";
    return 2;
  }
  const fs::path root = argv[1];
  Layers layers;
  if (!ReadLayers(argv[2], layers)) return 1;
  int bad = 0;
  for (const auto& cycle : Cycles(layers.mayInclude)) {
    std::cerr << argv[2] << ": the order has a cycle among";
    for (const std::string& unit : cycle) std::cerr << " " << unit;
    std::cerr << "\n";
    ++bad;
  }
  if (bad != 0) return 1;

  const auto reach = Closure(layers);
  const std::vector<Arrow> arrows = ReadArrows(root, {argv + 3, argv + argc});
  std::set<std::string> homeless;
  std::map<std::string, std::set<std::string>> folders;
  std::map<std::pair<std::string, std::string>, const Arrow*> example;
  for (const Arrow& a : arrows) {
    const std::string from = UnitOf(layers, a.file), to = UnitOf(layers, a.included);
    for (const std::string* file : {&a.file, &a.included}) {
      if (UnitOf(layers, *file).empty() && homeless.insert(*file).second) {
        std::cerr << *file << ": in no layer of " << argv[2] << "\n";
        ++bad;
      }
    }
    if (!from.empty() && !to.empty() && from != to && !reach.at(from).contains(to)) {
      std::cerr << a.file << ":" << a.line << ": includes " << a.included << ": " << from
                << " may not include " << to << "\n";
      ++bad;
    }
    const std::string x = NodeOf(layers, a.file), y = NodeOf(layers, a.included);
    if (x != y) {
      folders[x].insert(y);
      example.try_emplace({x, y}, &a);
    }
  }
  for (const auto& cycle : Cycles(folders)) {
    std::cerr << "cycle between folders:";
    for (const std::string& f : cycle) std::cerr << " " << f;
    std::cerr << "\n";
    for (const auto& [edge, a] : example) {
      if (cycle.contains(edge.first) && cycle.contains(edge.second)) {
        std::cerr << "  " << a->file << ":" << a->line << ": includes " << a->included << "\n";
      }
    }
    ++bad;
  }
  if (bad == 0) std::cout << arrows.size() << " includes read, all along the layer order\n";
  return bad == 0 ? 0 : 1;
}
