#include "common/path_rules.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <utility>
#include <vector>

namespace corvid {

namespace {

enum class PrefixKind { kNone, kVerbatim, kVerbatimUnc, kVerbatimDisk, kDeviceNs, kUnc, kDisk };

struct Prefix {
  PrefixKind kind = PrefixKind::kNone;
  std::size_t length = 0;

  bool verbatim() const {
    return kind == PrefixKind::kVerbatim || kind == PrefixKind::kVerbatimUnc ||
           kind == PrefixKind::kVerbatimDisk;
  }
  // Everything but a plain drive carries its root with it.
  bool implicit_root() const { return kind != PrefixKind::kNone && kind != PrefixKind::kDisk; }
};

bool is_sep(char c) {
  return c == '\\' || c == '/';
}

bool is_drive(std::string_view p) {
  return p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
}

// Length of the next component when components are separated by `sep_test`.
template <class SepTest>
std::size_t component_end(std::string_view p, std::size_t from, SepTest sep_test) {
  std::size_t i = from;
  while (i < p.size() && !sep_test(p[i]))
    ++i;
  return i;
}

Prefix parse_prefix(std::string_view p) {
  if (p.starts_with("\\\\")) {
    std::string_view rest = p.substr(2);
    if (rest.starts_with("?\\")) {
      const std::size_t start = 4;
      std::string_view v = p.substr(start);
      const auto backslash = [](char c) { return c == '\\'; };
      if (v.starts_with("UNC\\")) {
        std::size_t server_end = component_end(p, start + 4, backslash);
        std::size_t share_end =
            server_end < p.size() ? component_end(p, server_end + 1, backslash) : server_end;
        return {PrefixKind::kVerbatimUnc, share_end};
      }
      if (is_drive(v))
        return {PrefixKind::kVerbatimDisk, start + 2};
      return {PrefixKind::kVerbatim, component_end(p, start, backslash)};
    }
    if (rest.starts_with(".\\")) {
      return {PrefixKind::kDeviceNs, component_end(p, 4, is_sep)};
    }
    std::size_t server_end = component_end(p, 2, is_sep);
    if (server_end > 2) {
      std::size_t share_end =
          server_end < p.size() ? component_end(p, server_end + 1, is_sep) : server_end;
      return {PrefixKind::kUnc, share_end};
    }
    return {};
  }
  if (is_drive(p))
    return {PrefixKind::kDisk, 2};
  return {};
}

struct Parsed {
  Prefix prefix;
  bool has_root = false;
  std::size_t body = 0;  // where the components start
};

Parsed parse(std::string_view p) {
  Parsed r;
  r.prefix = parse_prefix(p);
  r.body = r.prefix.length;
  if (r.body < p.size() && (r.prefix.verbatim() ? p[r.body] == '\\' : is_sep(p[r.body]))) {
    r.has_root = true;
    r.body += 1;
  } else if (r.prefix.implicit_root()) {
    r.has_root = true;
  }
  return r;
}

struct Component {
  std::size_t begin, end;
};

std::vector<Component> components(std::string_view p, const Parsed& parsed) {
  std::vector<Component> out;
  const bool verbatim = parsed.prefix.verbatim();
  const bool may_start_with_dot = parsed.prefix.kind == PrefixKind::kNone && !parsed.has_root;
  std::size_t i = parsed.body;
  while (i < p.size()) {
    std::size_t end = verbatim ? component_end(p, i, [](char c) { return c == '\\'; })
                               : component_end(p, i, is_sep);
    std::string_view comp = p.substr(i, end - i);
    const bool keep =
        !comp.empty() && (comp != "." || verbatim || (may_start_with_dot && out.empty() && i == 0));
    if (keep)
      out.push_back({i, end});
    i = end + 1;
  }
  return out;
}

}  // namespace

bool is_absolute_path(std::string_view path) {
  const Parsed parsed = parse(path);
  return parsed.prefix.kind != PrefixKind::kNone && parsed.has_root;
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  const Parsed base_parsed = parse(base);
  const Parsed name_parsed = parse(name);
  bool need_sep = !out.empty() && !is_sep(out.back());
  if (base_parsed.prefix.kind == PrefixKind::kDisk && base_parsed.prefix.length == base.size()) {
    need_sep = false;
  }
  if (name_parsed.prefix.kind != PrefixKind::kNone)
    return std::string(name);
  if (base_parsed.prefix.verbatim() && !name.empty() && !name_parsed.has_root) {
    // Verbatim paths are not normalised by Windows, so "." and ".." are resolved here.
    const auto backslash_or_slash = [](char c) { return c == '\\' || c == '/'; };
    const std::size_t floor = base_parsed.prefix.length;
    for (std::size_t i = 0; i <= name.size();) {
      std::size_t end = component_end(name, i, backslash_or_slash);
      std::string_view comp = name.substr(i, end - i);
      if (comp == "..") {
        std::size_t cut = out.find_last_of('\\');
        if (cut != std::string::npos && cut >= floor)
          out.resize(cut);
      } else if (!comp.empty() && comp != ".") {
        if (!out.empty() && out.back() != '\\')
          out += '\\';
        out += comp;
      }
      i = end + 1;
    }
    return out;
  }
  if (name_parsed.has_root) {
    out.resize(base_parsed.prefix.length);
  } else if (need_sep) {
    out += '\\';
  }
  out += name;
  return out;
}

std::optional<std::string> parent_path(std::string_view path) {
  const Parsed parsed = parse(path);
  const std::vector<Component> comps = components(path, parsed);
  if (comps.empty())
    return std::nullopt;
  if (comps.size() == 1)
    return std::string(path.substr(0, parsed.body));
  return std::string(path.substr(0, comps[comps.size() - 2].end));
}

}  // namespace corvid

namespace corvid {

namespace {

std::string fold(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::optional<NormalPath> normalize_path(std::string_view path) {
  const Parsed parsed = parse(path);
  if (parsed.prefix.kind == PrefixKind::kNone || !parsed.has_root)
    return std::nullopt;
  const std::string_view prefix = path.substr(0, parsed.prefix.length);
  NormalPath out;
  switch (parsed.prefix.kind) {
    case PrefixKind::kDisk:
      out.prefix = fold(prefix);
      break;
    case PrefixKind::kVerbatimDisk:
      out.prefix = fold(prefix.substr(4));
      break;
    case PrefixKind::kVerbatimUnc:
      out.prefix = "\\\\" + fold(prefix.substr(8));
      break;
    default:
      out.prefix = fold(prefix);
      break;
  }
  for (char& c : out.prefix) {
    if (c == '/')
      c = '\\';
  }
  const bool verbatim = parsed.prefix.verbatim();
  std::size_t i = parsed.body;
  while (i <= path.size()) {
    const std::size_t end = verbatim ? component_end(path, i, [](char c) { return c == '\\'; })
                                     : component_end(path, i, is_sep);
    const std::string_view comp = path.substr(i, end - i);
    i = end + 1;
    if (comp.empty())
      continue;
    if (comp == "." || comp == "..") {
      if (verbatim)
        return std::nullopt;
      if (comp == ".." && !out.components.empty())
        out.components.pop_back();
      continue;
    }
    if (comp.back() == '.' || comp.back() == ' ')
      return std::nullopt;
    out.components.push_back(fold(comp));
  }
  return out;
}

std::optional<std::vector<std::string>> components_below(std::string_view dir,
                                                         std::string_view path) {
  const auto base = normalize_path(dir);
  std::optional<NormalPath> target = normalize_path(path);
  if (!base || !target || base->prefix != target->prefix)
    return std::nullopt;
  std::vector<std::string>& components = target->components;
  if (components.size() <= base->components.size() ||
      !std::equal(base->components.begin(), base->components.end(), components.begin()))
    return std::nullopt;
  components.erase(components.begin(),
                   components.begin() + static_cast<std::ptrdiff_t>(base->components.size()));
  return std::move(components);
}

bool is_inside(std::string_view dir, std::string_view path) {
  return components_below(dir, path).has_value();
}

bool is_same_path(std::string_view a, std::string_view b) {
  const auto left = normalize_path(a);
  const auto right = normalize_path(b);
  return left && right && *left == *right;
}

}  // namespace corvid
