#include "param_names.h"

#include "params.h"

namespace dtu::svc {
namespace {

std::shared_ptr<const ParamNames> &installed() {
  static std::shared_ptr<const ParamNames> names;
  return names;
}

}  // namespace

ParamNames::ParamNames(std::vector<ParamMeaning> rows) : rows_(std::move(rows)) {}

const ParamMeaning *ParamNames::by_tag(int tag) const {
  for (const ParamMeaning &m : rows_)
    if (m.tag == tag) return &m;
  return nullptr;
}

const ParamMeaning *ParamNames::by_name(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (const ParamMeaning &m : rows_)
    if (m.name == name) return &m;
  return nullptr;
}

void use_param_names(std::shared_ptr<const ParamNames> names) { installed() = std::move(names); }

const ParamNames *param_names() { return installed().get(); }

const char *param_name(int tag) {
  const ParamNames *n = param_names();
  const ParamMeaning *m = n ? n->by_tag(tag) : nullptr;
  return m && !m->name.empty() ? m->name.c_str() : nullptr;
}

std::string param_label(int tag) {
  const char *name = param_name(tag);
  return name ? std::string(name) + " (tag " + std::to_string(tag) + ")" : "tag " + std::to_string(tag);
}

bool deployment_allows(int tag, std::uint32_t number, std::string *error) {
  const ParamNames *n = param_names();
  const ParamMeaning *m = n ? n->by_tag(tag) : nullptr;
  if (m == nullptr) return true;
  if (!m->choices.empty()) {
    for (const auto &c : m->choices)
      if (c.first == number) return true;
    if (error) {
      std::string list;
      for (const auto &c : m->choices)
        list += (list.empty() ? "" : ", ") + std::to_string(c.first) + " (" + c.second + ")";
      *error = param_label(tag) + " takes one of " + list;
    }
    return false;
  }
  const ParamInfo *p = find_param(tag);
  const std::uint32_t low = m->has_min ? m->min : 0, high = m->has_max ? m->max : p ? p->max_value : 0;
  if ((m->has_min || m->has_max) && (number < low || number > high)) {
    if (error) *error = param_label(tag) + " takes a number from " + std::to_string(low) + " to " + std::to_string(high);
    return false;
  }
  return true;
}

}  // namespace dtu::svc
