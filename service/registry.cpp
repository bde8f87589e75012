// The registry's checks and selectors.
#include "registry.h"

#include "text.h"

namespace dtu::svc {
namespace {

bool word_byte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-';
}

// Free text: well-formed UTF-8 without control characters (C0, DEL, C1);
// the note may hold newlines and tabs.
bool check_text(std::string_view s, std::size_t max, bool multiline, std::string *error) {
  if (s.size() > max) return *error = "longer than " + std::to_string(max) + " bytes", false;
  if (!text::valid_utf8(s)) return *error = "not valid UTF-8", false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const bool allowed = multiline && (c == '\n' || c == '\t');
    const bool c1 = c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    if (((c < 0x20 || c == 0x7F) && !allowed) || c1) return *error = "control characters are not allowed", false;
  }
  return true;
}

bool check_word(std::string_view s, std::size_t max, bool may_be_empty, std::string *error) {
  if (s.empty() && !may_be_empty) return *error = "must not be empty", false;
  if (s.size() > max) return *error = "longer than " + std::to_string(max) + " bytes", false;
  for (unsigned char c : s)
    if (!word_byte(c)) return *error = "only letters, digits, '_', '.' and '-' are allowed", false;
  return true;
}

}  // namespace

bool check_meta(const TerminalMeta &m, std::string *field, std::string *error) {
  std::string why;
  auto bad = [&](std::string f) {
    *field = std::move(f);
    *error = *field + ": " + why;
    return false;
  };
  if (!check_text(m.name, kMetaNameMax, false, &why)) return bad("name");
  if (!check_word(m.group, kMetaGroupMax, true, &why)) return bad("group");
  if (m.labels.size() > kMetaLabelsMax) return why = "at most " + std::to_string(kMetaLabelsMax) + " labels", bad("labels");
  for (const auto &[k, v] : m.labels) {
    if (!check_word(k, kMetaLabelKeyMax, false, &why)) return why = "key " + text::utf8_or_escaped(k) + ": " + why, bad("labels");
    if (!check_text(v, kMetaLabelValueMax, false, &why)) return bad("labels." + k);
  }
  if (!check_text(m.note, kMetaNoteMax, true, &why)) return bad("note");
  return true;
}

bool Selector::parse(std::string_view text, std::string *error) {
  if (text == "all") {
    kind_ = Kind::kAll;
    return true;
  }
  const std::pair<const char *, Kind> forms[] = {
      {"group=", Kind::kGroup}, {"label:", Kind::kLabel}, {"name=", Kind::kName}, {"prefix=", Kind::kPrefix}};
  for (const auto &[head, kind] : forms) {
    const std::string_view h(head);
    if (text.substr(0, h.size()) != h) continue;
    std::string_view rest = text.substr(h.size());
    key_.clear();
    if (kind == Kind::kLabel) {
      const std::size_t eq = rest.find('=');
      if (eq == std::string_view::npos || eq == 0) return *error = "selector: expected label:KEY=VALUE", false;
      key_.assign(rest.substr(0, eq));
      rest = rest.substr(eq + 1);
    }
    if (rest.empty()) return *error = std::string("selector: ") + head + " needs a value", false;
    kind_ = kind;
    value_.assign(rest);
    return true;
  }
  *error = "selector: expected all, group=G, label:K=V, name=N or prefix=P";
  return false;
}

bool Selector::matches(std::string_view id_text, const TerminalMeta *meta) const {
  switch (kind_) {
    case Kind::kAll: return true;
    case Kind::kPrefix: return id_text.substr(0, value_.size()) == value_;
    case Kind::kGroup: return meta && meta->group == value_;
    case Kind::kName: return meta && meta->name == value_;
    case Kind::kLabel: {
      if (!meta) return false;
      auto it = meta->labels.find(key_);
      return it != meta->labels.end() && it->second == value_;
    }
  }
  return false;
}

const TerminalMeta *Registry::find(std::string_view id) const {
  auto it = map_.find(id);
  return it == map_.end() ? nullptr : &it->second;
}

}  // namespace dtu::svc
