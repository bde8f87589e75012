// The terminal registry: what the operator says about each terminal (a
// name, a group, free labels and a note), checked on the way in, kept on
// the loop thread and, with a journal, in its database.  A registered ID
// need not have been heard; a terminal heard need not be registered.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace dtu::svc {

constexpr std::size_t kMetaNameMax = 64, kMetaGroupMax = 32, kMetaLabelKeyMax = 32, kMetaLabelValueMax = 64,
                      kMetaLabelsMax = 16, kMetaNoteMax = 512;

struct TerminalMeta {
  std::string name, group, note;  // UTF-8; empty: not given
  std::map<std::string, std::string> labels;
  bool operator==(const TerminalMeta &o) const {
    return name == o.name && group == o.group && note == o.note && labels == o.labels;
  }
};

// Checks every field: false with the field's name ("name", "group",
// "labels", "labels.KEY", "note") in *field and a one-line reason in *error.
bool check_meta(const TerminalMeta &m, std::string *field, std::string *error);

// Which terminals a command names: "all", "group=G", "label:K=V",
// "name=N" (exact) or "prefix=P" (the ID's text form starts so).
class Selector {
 public:
  // False with a one-line reason for any other form or an empty value.
  bool parse(std::string_view text, std::string *error);
  // `id_text` is the ID's text form; `meta` nullptr when not registered.
  bool matches(std::string_view id_text, const TerminalMeta *meta) const;

 private:
  enum class Kind { kAll, kGroup, kLabel, kName, kPrefix } kind_ = Kind::kAll;
  std::string key_, value_;
};

// The registry itself, by raw ID.  Loop thread only (it lives in the service).
class Registry {
 public:
  using Map = std::map<std::string, TerminalMeta, std::less<>>;
  const TerminalMeta *find(std::string_view id) const;
  void put(const std::string &id, TerminalMeta m) { map_[id] = std::move(m); }
  bool erase(const std::string &id) { return map_.erase(id) > 0; }
  std::size_t size() const { return map_.size(); }
  const Map &all() const { return map_; }

 private:
  Map map_;
};

}  // namespace dtu::svc
