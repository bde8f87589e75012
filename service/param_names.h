// What the parameters mean in one deployment: the library and the built-in
// table know a parameter by its tag only; a deployment may give a tag a
// name, a unit, a help line and, for a number, a narrower range or a list
// of allowed values with labels.  The centre reads them from a file at start
// (tools/dtucentre/param_file.cpp) and installs them once, before any front
// end runs; from then on they are read only, by every thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dtu::svc {

struct ParamMeaning {
  int tag = 0;
  std::string name;  // [a-z][a-z0-9_]{0,31}; empty: the tag has no name here
  std::string unit;  // "" when not given
  std::string help;  // "" when not given
  bool has_min = false, has_max = false;
  std::uint32_t min = 0, max = 0;  // numbers only; within the tag's built-in maximum
  std::vector<std::pair<std::uint32_t, std::string>> choices;  // value, label; ascending; empty: any in range
};

class ParamNames {
 public:
  // Rows by ascending tag; the caller has checked them (one per tag, names unique).
  explicit ParamNames(std::vector<ParamMeaning> rows);
  const ParamMeaning *by_tag(int tag) const;
  const ParamMeaning *by_name(std::string_view name) const;
  const std::vector<ParamMeaning> &rows() const { return rows_; }

 private:
  std::vector<ParamMeaning> rows_;
};

// The deployment's meanings; nullptr (the default) when it gives none.  Set
// once at start, before the loop and the front ends' threads; tests may set
// and clear it between cases.
void use_param_names(std::shared_ptr<const ParamNames> names);
const ParamNames *param_names();

// The name a tag has here, or nullptr.
const char *param_name(int tag);

// Whether `number` is a value the deployment allows for `tag` (true when it
// says nothing about the tag).  False with a reason naming the parameter,
// its tag and what it takes ("report_interval (tag 7) takes a number from
// 10 to 3600").
bool deployment_allows(int tag, std::uint32_t number, std::string *error);

// How messages name a tag: "report_interval (tag 7)", or "tag 7".
std::string param_label(int tag);

}  // namespace dtu::svc
