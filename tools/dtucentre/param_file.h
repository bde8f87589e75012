// The deployment's parameter file (param_names): a TOML table per tag
// giving it a name, a unit, a help line and, for a number, a range or a
// list of labelled choices.  Checked whole against the built-in table at
// start; any fault is an error naming the file and its line.
#pragma once

#include <memory>
#include <string>

#include "param_names.h"

namespace centre {

// False with "FILE:LINE: what is wrong" in *why (exit code 2 for the caller).
bool load_param_names(const std::string &path, std::shared_ptr<const dtu::svc::ParamNames> *out, std::string *why);
bool load_param_names_text(const std::string &text, const std::string &source,
                           std::shared_ptr<const dtu::svc::ParamNames> *out, std::string *why);

}  // namespace centre
