#include "dtucentre/param_file.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>

#include <toml++/toml.h>

#include "dtucentre/format.h"
#include "params.h"

namespace centre {
namespace {

using dtu::svc::ParamForm;
using dtu::svc::ParamInfo;
using dtu::svc::ParamMeaning;

constexpr std::size_t kMaxName = 32, kMaxUnit = 16, kMaxLabel = 32, kMaxHelp = 200;

// Reads one [tag.N] table; `at(node)` gives "FILE:LINE: " for a message.
class Reader {
 public:
  explicit Reader(const std::string &source) : source_(source) {}

  std::string at(const toml::source_region &r) const { return source_ + ":" + std::to_string(r.begin.line) + ": "; }

  bool fail(const toml::source_region &r, const std::string &what) {
    why = at(r) + what;
    return false;
  }

  // A text of at most `max` bytes without control characters.
  bool text(const toml::node &n, const std::string &key, std::size_t max, std::string *out) {
    if (!n.is_string()) return fail(n.source(), key + ": expected a text in quotes");
    const std::string &s = n.as_string()->get();
    if (s.size() > max) return fail(n.source(), key + ": at most " + std::to_string(max) + " bytes");
    for (unsigned char c : s)
      if (c < 0x20 || c == 0x7F) return fail(n.source(), key + ": no control characters");
    *out = s;
    return true;
  }

  // A decimal whole number 0..max.
  bool number(const toml::node &n, const std::string &key, const ParamInfo &p, std::uint32_t *out) {
    if (!n.is_integer() || n.as_integer()->flags() != toml::value_flags::none)
      return fail(n.source(), key + ": expected a whole decimal number");
    const std::int64_t v = n.as_integer()->get();
    if (v < 0 || static_cast<std::uint64_t>(v) > p.max_value)
      return fail(n.source(), key + ": " + std::to_string(v) + " is outside tag " + std::to_string(p.tag) +
                                  "'s values 0 to " + std::to_string(p.max_value));
    *out = static_cast<std::uint32_t>(v);
    return true;
  }

  bool entry(const ParamInfo &p, const toml::table &t, ParamMeaning *m) {
    m->tag = p.tag;
    const bool numeric = p.form == ParamForm::kU8 || p.form == ParamForm::kU16 || p.form == ParamForm::kU32;
    const toml::node *choices = nullptr;
    for (const auto &[k, node] : t) {
      const std::string key(k.str());
      const bool ranged = key == "min" || key == "max" || key == "choices";
      if (ranged && !numeric)
        return fail(k.source(), key + ": tag " + std::to_string(p.tag) + " is not a number; only number tags take " +
                                    "min, max or choices");
      bool ok = true;
      if (key == "name") ok = name(node, m);
      else if (key == "unit") ok = text(node, key, kMaxUnit, &m->unit);
      else if (key == "help") ok = text(node, key, kMaxHelp, &m->help);
      else if (key == "min") ok = (m->has_min = number(node, key, p, &m->min));
      else if (key == "max") ok = (m->has_max = number(node, key, p, &m->max));
      else if (key == "choices") choices = &node;
      else return fail(k.source(), "unknown key \"" + escape_bytes(key) + "\" (known: name, unit, min, max, choices, help)");
      if (!ok) return false;
    }
    const std::uint32_t low = m->has_min ? m->min : 0, high = m->has_max ? m->max : p.max_value;
    if (low > high)
      return fail(t.source(), "min " + std::to_string(low) + " is greater than max " + std::to_string(high));
    return choices == nullptr || choice_list(*choices, p, low, high, m);
  }

  bool name(const toml::node &n, ParamMeaning *m) {
    std::string s;
    if (!text(n, "name", kMaxName, &s)) return false;
    bool ok = !s.empty() && s[0] >= 'a' && s[0] <= 'z';
    for (char c : s) ok = ok && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
    if (!ok)
      return fail(n.source(), "name \"" + s + "\": a lower-case letter, then up to 31 of a-z, 0-9 and _");
    auto seen = names_.find(s);
    if (seen != names_.end())
      return fail(n.source(), "name \"" + s + "\" is already tag " + std::to_string(seen->second.first) +
                                  "'s (line " + std::to_string(seen->second.second) + ")");
    for (const ParamInfo &other : dtu::svc::param_catalogue())
      if (other.tag != m->tag && s == other.name)
        return fail(n.source(), "name \"" + s + "\" is the built-in name of tag " + std::to_string(other.tag));
    names_[s] = {m->tag, n.source().begin.line};
    m->name = s;
    return true;
  }

  bool choice_list(const toml::node &n, const ParamInfo &p, std::uint32_t low, std::uint32_t high, ParamMeaning *m) {
    const toml::table *t = n.as_table();
    if (t == nullptr || t->empty())
      return fail(n.source(), "choices: expected a table of value = \"label\", e.g. { 0 = \"off\", 1 = \"on\" }");
    std::map<std::uint32_t, std::string> sorted;
    for (const auto &[k, label] : *t) {
      const std::string key(k.str());
      std::uint64_t v = 0;
      bool digits = !key.empty() && key.size() <= 10;
      for (char c : key) digits = digits && c >= '0' && c <= '9', v = v * 10 + static_cast<unsigned>(c - '0');
      if (!digits) return fail(k.source(), "choices: \"" + escape_bytes(key) + "\" is not a decimal value");
      if (v < low || v > high)
        return fail(k.source(), "choices: " + key + " is outside " + std::to_string(low) + " to " +
                                    std::to_string(high) + (low == 0 && high == p.max_value ? " (the tag's values)" : ""));
      std::string text_label;
      if (!text(label, "choices: " + key, kMaxLabel, &text_label)) return false;
      sorted[static_cast<std::uint32_t>(v)] = text_label;
    }
    m->choices.assign(sorted.begin(), sorted.end());
    return true;
  }

  std::string why;

 private:
  const std::string &source_;
  std::map<std::string, std::pair<int, std::uint32_t>> names_;  // name -> tag, line
};

}  // namespace

bool load_param_names_text(const std::string &text, const std::string &source,
                           std::shared_ptr<const dtu::svc::ParamNames> *out, std::string *why) {
  toml::table doc;
  try {
    doc = toml::parse(text, source);
  } catch (const toml::parse_error &e) {
    const auto &b = e.source().begin;
    *why = source + ":" + std::to_string(b.line) + ":" + std::to_string(b.column) + ": " + std::string(e.description());
    return false;
  }
  Reader r(source);
  std::vector<ParamMeaning> rows;
  for (const auto &[k, node] : doc) {
    if (k.str() != "tag" || !node.is_table())
      return *why = r.at(k.source()) + "unknown key \"" + escape_bytes(std::string(k.str())) + "\" (the file holds [tag.N] tables)",
             false;
    for (const auto &[tk, entry] : *node.as_table()) {
      int tag = 0;
      std::string bad;
      // Digits only: a name here would make the file depend on itself.
      const std::string tag_text(tk.str());
      const bool digits = !tag_text.empty() && tag_text.find_first_not_of("0123456789") == std::string::npos;
      if (!digits || !dtu::svc::parse_tag(tag_text, &tag, &bad))
        return *why = r.at(tk.source()) + (digits ? bad : "a tag is a decimal number, got \"" + escape_bytes(tag_text) + "\""),
               false;
      if (!entry.is_table()) return *why = r.at(entry.source()) + "tag." + tag_text + ": expected a table", false;
      ParamMeaning m;
      if (!r.entry(*dtu::svc::find_param(tag), *entry.as_table(), &m)) return *why = r.why, false;
      rows.push_back(std::move(m));
    }
  }
  std::sort(rows.begin(), rows.end(), [](const ParamMeaning &a, const ParamMeaning &b) { return a.tag < b.tag; });
  for (std::size_t i = 1; i < rows.size(); ++i)
    if (rows[i].tag == rows[i - 1].tag)  // "5" and "05" are both tag 5
      return *why = source + ": tag " + std::to_string(rows[i].tag) + " is given twice", false;
  *out = std::make_shared<const dtu::svc::ParamNames>(std::move(rows));
  return true;
}

bool load_param_names(const std::string &path, std::shared_ptr<const dtu::svc::ParamNames> *out, std::string *why) {
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return *why = "param_names: cannot read " + path + ": " + std::strerror(errno), false;
  std::string text;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  const int read_error = std::ferror(f) ? errno : 0;
  std::fclose(f);
  if (read_error != 0) return *why = "param_names: cannot read " + path + ": " + std::strerror(read_error), false;
  return load_param_names_text(text, path, out, why);
}

}  // namespace centre
