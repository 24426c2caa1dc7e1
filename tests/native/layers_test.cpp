// The layers of docs/architecture.md hold in the sources: every `#include "…"` in
// helper_service/, tools/ and bench/ names a header of the file's own module, of a module its
// row of the layer table lets it include, or a header that row names; no one but its own
// module includes a header the page lists as private; and no portable source includes a header
// of one system.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace corvid {
namespace {

namespace fs = std::filesystem;

// One row of the layer table: "log/" may include "common/"; an entry ending in ".h" allows that
// one header of its module rather than the whole module.
struct Layer {
  std::string module;
  std::vector<std::string> may_include;
};

struct LayerRules {
  std::vector<Layer> layers;  // in table order, lowest first
  std::vector<std::string> private_headers;
  // Made by the build (in the build tree): any module may include them.
  std::vector<std::string> generated_headers;
};

std::vector<std::string> backticked(std::string_view text) {
  std::vector<std::string> words;
  for (std::size_t open = text.find('`'); open != std::string_view::npos;
       open = text.find('`', open)) {
    const std::size_t close = text.find('`', open + 1);
    if (close == std::string_view::npos)
      break;
    words.emplace_back(text.substr(open + 1, close - open - 1));
    open = close + 1;
  }
  return words;
}

std::vector<std::string_view> lines_of(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

constexpr std::string_view kPrivateMarker = "Headers private to their module";
constexpr std::string_view kGeneratedMarker = "Headers the build generates";

// The "## Layers" section: its table ("| `module/` | holds | may include |") and the bullets
// after the private-header sentence. Empty rules when the section is missing.
LayerRules parse_rules(std::string_view markdown) {
  LayerRules rules;
  bool in_section = false;
  bool in_private = false;
  bool in_generated = false;
  for (const std::string_view line : lines_of(markdown)) {
    if (line.starts_with("## ")) {
      in_section = line == "## Layers";
      in_private = false;
      in_generated = false;
      continue;
    }
    if (!in_section)
      continue;
    if (line.starts_with(kPrivateMarker) || line.starts_with(kGeneratedMarker)) {
      in_private = line.starts_with(kPrivateMarker);
      in_generated = !in_private;
      continue;
    }
    if (in_generated && line.starts_with("- `")) {
      rules.generated_headers.push_back(backticked(line).front());
      continue;
    }
    if (in_private && line.starts_with("- `")) {
      rules.private_headers.push_back(backticked(line).front());
      continue;
    }
    if (!line.starts_with("| `"))
      continue;
    const std::size_t first_end = line.find('|', 1);
    const std::size_t last_start = line.rfind('|', line.size() - 2);
    const std::vector<std::string> module = backticked(line.substr(0, first_end));
    if (module.size() != 1 || last_start == std::string_view::npos || last_start <= first_end)
      continue;
    rules.layers.push_back({module.front(), backticked(line.substr(last_start))});
  }
  return rules;
}

// "log/" for "log/log.h".
std::string module_of_header(std::string_view header) {
  const std::size_t slash = header.find('/');
  return slash == std::string_view::npos ? std::string() : std::string(header.substr(0, slash + 1));
}

// Why a file of `from` may not include `header` (a path under helper_service/), or nothing when
// it may.
std::optional<std::string> refusal(const LayerRules& rules, const std::string& from,
                                   const std::string& header) {
  const std::string target = module_of_header(header);
  if (target == from)
    return std::nullopt;
  if (std::ranges::find(rules.private_headers, header) != rules.private_headers.end())
    return "private to " + target;
  const auto layer =
      std::ranges::find_if(rules.layers, [&](const Layer& l) { return l.module == from; });
  if (layer == rules.layers.end())
    return from + " is not in the layer table";
  for (const std::string& allowed : layer->may_include) {
    if (allowed == target || allowed == header)
      return std::nullopt;
  }
  std::string text = from + " may include only";
  for (const std::string& allowed : layer->may_include)
    text += " " + allowed;
  if (layer->may_include.empty())
    text += " itself";
  return text;
}

constexpr std::string_view kTable =
    "# Title\n"
    "\n"
    "## Layers\n"
    "\n"
    "| module | holds | may include |\n"
    "|---|---|---|\n"
    "| `common/` | values, `UniqueHandle<Traits>` | nothing else |\n"
    "| `log/` | the log | `common/` |\n"
    "| `channel/` | `message.h`, the server | `common/`, `log/` |\n"
    "| `tools/` | the client | `common/`, `channel/contract.h` |\n"
    "\n"
    "Headers private to their module, which only it includes:\n"
    "\n"
    "- `log/platform.h`: the system's side\n"
    "\n"
    "Headers the build generates, which any module may include:\n"
    "\n"
    "- `version.h`: the version\n"
    "\n"
    "## Threads\n"
    "\n"
    "| thread | runs | started by |\n"
    "|---|---|---|\n"
    "| `main` | the loop | `the process` |\n"
    "- `common/not_private.h`\n";

TEST(LayerRules, TheTableAndThePrivateListAreRead) {
  const LayerRules rules = parse_rules(kTable);
  ASSERT_EQ(rules.layers.size(), 4u);
  EXPECT_EQ(rules.layers[0].module, "common/");
  EXPECT_TRUE(rules.layers[0].may_include.empty());
  EXPECT_EQ(rules.layers[2].module, "channel/");
  EXPECT_EQ(rules.layers[2].may_include, (std::vector<std::string>{"common/", "log/"}));
  EXPECT_EQ(rules.layers[3].may_include,
            (std::vector<std::string>{"common/", "channel/contract.h"}));
  EXPECT_EQ(rules.private_headers, std::vector<std::string>{"log/platform.h"});
  EXPECT_EQ(rules.generated_headers, std::vector<std::string>{"version.h"});
  EXPECT_TRUE(parse_rules("# Title\n| `common/` | x | `log/` |\n").layers.empty());
}

TEST(LayerRules, UpwardAndPrivateIncludesAreRefused) {
  const LayerRules rules = parse_rules(kTable);
  struct Case {
    std::string from;
    std::string header;
    bool allowed;
  };
  const Case cases[] = {
      {"common/", "common/error.h", true},     // its own module
      {"log/", "log/platform.h", true},        // its own private header
      {"log/", "common/error.h", true},        // a module above it
      {"channel/", "log/log.h", true},         // two above
      {"tools/", "channel/contract.h", true},  // the one header its row names
      {"common/", "log/log.h", false},         // upward
      {"log/", "channel/message.h", false},    // upward
      {"tools/", "channel/server.h", false},   // not the named header
      {"tools/", "log/log.h", false},          // a module its row leaves out
      {"channel/", "log/platform.h", false},   // another module's private header
      {"tools/", "log/platform.h", false},     //
      {"plugin/", "common/error.h", false},    // not in the table
      {"channel/", "host/service.h", false},   // a module the table doesn't know
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!refusal(rules, c.from, c.header).has_value(), c.allowed)
        << c.from << " including " << c.header;
  }
  EXPECT_EQ(refusal(rules, "common/", "log/log.h"), "common/ may include only itself");
  EXPECT_EQ(refusal(rules, "tools/", "channel/server.h"),
            "tools/ may include only common/ channel/contract.h");
  EXPECT_EQ(refusal(rules, "channel/", "log/platform.h"), "private to log/");
}

// ---------------------------------------------------------------------------------------------
// The sources themselves.

const fs::path kSourceDir = CORVID_SOURCE_DIR;

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

LayerRules shipped_rules() {
  const std::string page = read_text(kSourceDir / "docs" / "architecture.md");
  EXPECT_FALSE(page.empty()) << "docs/architecture.md not found beside the sources";
  return parse_rules(page);
}

struct Include {
  std::string header;
  bool quoted;  // "…" rather than <…>
};

// The header named by `#include "…"` or `#include <…>` on `line`, if the line is one.
std::optional<Include> include_of(std::string_view line) {
  const std::size_t hash = line.find_first_not_of(" \t");
  if (hash == std::string_view::npos || line[hash] != '#')
    return std::nullopt;
  line.remove_prefix(hash + 1);
  line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
  if (!line.starts_with("include"))
    return std::nullopt;
  line.remove_prefix(7);
  line.remove_prefix(std::min(line.find_first_not_of(" \t"), line.size()));
  if (!line.starts_with('"') && !line.starts_with('<'))
    return std::nullopt;
  const std::size_t close = line.find(line[0] == '"' ? '"' : '>', 1);
  if (close == std::string_view::npos)
    return std::nullopt;
  return Include{std::string(line.substr(1, close - 1)), line[0] == '"'};
}

// Why a portable source may not include `include`, or nothing when it may. Allowed by shape
// rather than by a list of what to keep out: in angle brackets only the standard library (a name
// without extension or directory) and the JSON library; in quotes nothing of ours that is
// Windows-only (a `_win` header, or host/).
std::optional<std::string> non_portable(const Include& include) {
  const fs::path header(include.header);
  if (include.quoted) {
    if (header.stem().string().ends_with("_win") || include.header.starts_with("host/"))
      return "a Windows-only header of ours";
    return std::nullopt;
  }
  if (include.header.starts_with("nlohmann/") ||
      include.header.find_first_of("./") == std::string::npos)
    return std::nullopt;
  return "a system's header, not the standard library's";
}

// Portable: under helper_service/ or tools/, outside host/ (Windows-only as a whole) and not a
// platform half (`_win`, or `_posix`, which builds only where there is no Windows).
bool is_portable(const std::string& name) {
  const std::string stem = fs::path(name).stem().string();
  return (name.starts_with("helper_service/") || name.starts_with("tools/")) &&
         !name.starts_with("helper_service/host/") && !stem.ends_with("_win") &&
         !stem.ends_with("_posix");
}

TEST(LayerRules, PortableSourcesIncludeNoSystemHeader) {
  struct Case {
    std::string line;
    bool allowed;
  };
  const Case cases[] = {
      {"#include <string>", true},
      {"#  include\t<cstdio>", true},
      {"#include <nlohmann/json.hpp>", true},
      {R"(#include "common/utf.h")", true},
      {"#include <windows.h>", false},
      {"#include <sddl.h>", false},
      {"#include <aclapi.h>", false},
      {"#include <shellapi.h>", false},
      {"#include <wrl/client.h>", false},
      {"#include <unistd.h>", false},
      {R"(#include "common/handle_win.h")", false},
      {R"(#include "host/service.h")", false},
  };
  for (const Case& c : cases) {
    const std::optional<Include> include = include_of(c.line);
    ASSERT_TRUE(include.has_value()) << c.line;
    EXPECT_EQ(!non_portable(*include).has_value(), c.allowed) << c.line;
  }
}

struct Source {
  fs::path path;
  std::string name;    // from the source root, with forward slashes
  std::string module;  // "log/", "tools/", ...
};

std::vector<Source> sources() {
  std::vector<Source> found;
  const auto add = [&](const fs::path& root, bool by_subdirectory) {
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
      const fs::path& path = entry.path();
      if (!entry.is_regular_file() || (path.extension() != ".h" && path.extension() != ".cpp"))
        continue;
      const std::string below = path.lexically_relative(root).generic_string();
      const std::string top = root.filename().generic_string() + "/";
      found.push_back({path, path.lexically_relative(kSourceDir).generic_string(),
                       by_subdirectory ? module_of_header(below) : top});
    }
  };
  add(kSourceDir / "helper_service", true);
  add(kSourceDir / "tools", false);
  add(kSourceDir / "bench", false);
  std::ranges::sort(found, {}, &Source::name);
  return found;
}

TEST(Layers, ThePageNamesEveryModuleInOrderAndOnlyThingsThatExist) {
  const LayerRules rules = shipped_rules();
  std::vector<std::string> modules;
  for (const Layer& layer : rules.layers)
    modules.push_back(layer.module);
  EXPECT_EQ(modules, (std::vector<std::string>{"common/", "log/", "supervisor/", "channel/",
                                               "host/", "tools/", "bench/"}));
  // Each row names only what sits above it, and only directories and headers that exist.
  for (std::size_t i = 0; i < rules.layers.size(); ++i) {
    for (const std::string& allowed : rules.layers[i].may_include) {
      const std::string target = module_of_header(allowed);
      const auto above = std::find_if(rules.layers.begin(), rules.layers.begin() + i,
                                      [&](const Layer& l) { return l.module == target; });
      EXPECT_NE(above, rules.layers.begin() + i)
          << rules.layers[i].module << " may include " << allowed << ", which is not above it";
      EXPECT_TRUE(fs::exists(kSourceDir / "helper_service" / allowed))
          << allowed << " in the row of " << rules.layers[i].module;
    }
  }
  EXPECT_FALSE(rules.private_headers.empty());
  for (const std::string& header : rules.private_headers)
    EXPECT_TRUE(fs::is_regular_file(kSourceDir / "helper_service" / header)) << header;
}

TEST(Layers, EveryIncludeKeepsToTheTable) {
  const LayerRules rules = shipped_rules();
  ASSERT_FALSE(rules.layers.empty());
  const std::vector<Source> files = sources();
  ASSERT_GT(files.size(), 50u) << "sources not found under " << kSourceDir;
  std::size_t checked = 0;
  std::size_t portable = 0;
  for (const Source& file : files) {
    std::istringstream text(read_text(file.path));
    std::string line;
    for (int number = 1; std::getline(text, line); ++number) {
      const std::optional<Include> include = include_of(line);
      if (!include)
        continue;
      const std::string where = file.name + ":" + std::to_string(number) + ": " + line + ": ";
      if (is_portable(file.name)) {
        ++portable;
        if (const std::optional<std::string> why = non_portable(*include))
          ADD_FAILURE() << where << "in a portable source, " << *why;
      }
      if (!include->quoted)
        continue;
      const std::string& header = include->header;
      ++checked;
      if (header.find("..") != std::string::npos) {
        ADD_FAILURE() << where << "reaches out of its directory";
        continue;
      }
      // A header beside the file is its own module's.
      if (fs::exists(file.path.parent_path() / header) ||
          std::ranges::find(rules.generated_headers, header) != rules.generated_headers.end())
        continue;
      if (!fs::is_regular_file(kSourceDir / "helper_service" / header)) {
        ADD_FAILURE() << where << "no such header under helper_service/";
        continue;
      }
      if (const std::optional<std::string> why = refusal(rules, file.module, header))
        ADD_FAILURE() << where << *why;
    }
  }
  EXPECT_GT(checked, 100u);
  EXPECT_GT(portable, 100u);
}

}  // namespace
}  // namespace corvid
