// The datapackage.json reader on large texts: MB/s (10^6 bytes a second) and
// the peak memory it adds to the text's own, for texts of 64 MiB shaped as
// the worst cases for memory and time: a million resources all asked for, a
// tiny resource list of millions, one huge string, escapes everywhere.
//   package_text_speed
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "package/datapackage_text.hpp"

using namespace quillmark;
using namespace quillmark::package;

namespace {

constexpr std::size_t kSize = std::size_t{64} << 20;

// A line of /proc/self/status, in KiB: VmRSS (now) or VmHWM (the peak).
long status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Reads `text` in a child process whose peak is reset once the text stands
// in memory, so that the peak it reports is the reader's own.
void measure(const char* name, const std::string& text, const std::vector<std::string>& paths) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child != 0) {
    waitpid(child, nullptr, 0);
    return;
  }
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = status_kib("VmRSS");
  const auto began = std::chrono::steady_clock::now();
  const Result<DataPackageText> package = read_datapackage(text, paths);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  std::printf("%-28s %6.1f MiB %7.0f MB/s  +%5ld MiB peak  %s\n", name,
              static_cast<double>(text.size()) / (1 << 20),
              static_cast<double>(text.size()) / took.count() / 1e6,
              (status_kib("VmHWM") - before) / 1024,
              package ? ("listed " + std::to_string(package->listed.size())).c_str()
                      : package.error().display().c_str());
  std::fflush(stdout);
  _exit(0);
}

std::string resources(const std::function<std::string(std::size_t)>& entry) {
  std::string text = "{\n  \"profile\": \"data-package\",\n  \"resources\": [\n";
  for (std::size_t i = 0; text.size() < kSize; ++i) text += (i ? ",\n" : "") + entry(i);
  return text + "\n  ]\n}\n";
}

}  // namespace

int main() {
  const std::string tiny = resources([](std::size_t) { return std::string("{}"); });
  measure("tiny resources", tiny, {"archive/a.warc.gz"});

  const std::string one_string =
      "{\"resources\": [], \"title\": \"" + std::string(kSize, 'x') + "\"}";
  measure("one huge string", one_string, {"archive/a.warc.gz"});

  const std::string escaped = "{\"resources\": [], \"title\": \"" + [] {
    std::string s;
    while (s.size() < kSize) s += "\\u00e9\\n\\ud83d\\ude00";
    return s;
  }() + "\"}";
  measure("escapes", escaped, {"archive/a.warc.gz"});

  std::vector<std::string> paths;
  const std::string packaged = resources([&](std::size_t i) {
    paths.push_back("archive/" + std::to_string(i) + ".warc.gz");
    return "    {\n      \"name\": \"" + std::to_string(i) + ".warc.gz\",\n      \"path\": \"" +
           paths.back() +
           "\",\n      \"hash\": \"sha256:"
           "88c559e30bc88ebf8e124cf75757109e02249a091674edb41266cc6e1ec897f9\",\n      "
           "\"bytes\": 340\n    }";
  });
  measure("packager's layout, 1 asked", packaged, {paths[paths.size() / 2]});
  measure("packager's layout, all asked", packaged, paths);
  return 0;
}
