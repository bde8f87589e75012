#include "dtucentre/output.h"

#include <cerrno>
#include <cstring>

namespace centre {

Output::~Output() {
  if (!path_.empty()) std::fclose(log_);
}

bool Output::open_log(const std::string &path, std::string *error) {
  std::FILE *f = std::fopen(path.c_str(), "a");
  if (f == nullptr) {
    *error = "cannot open the log file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!path_.empty()) std::fclose(log_);
  log_ = f;
  path_ = path;
  return true;
}

bool Output::reopen(std::string *error) {
  if (path_.empty()) return true;
  return open_log(path_, error);
}

void Output::write(std::FILE *f, const std::string &line) {
  const bool screen = f == stdout && before_write;
  if (screen) before_write();
  std::fwrite(line.data(), 1, line.size(), f);
  std::fputc('\n', f);
  std::fflush(f);
  if (screen && after_write) after_write();
}

void Output::log(const std::string &line) { write(path_.empty() ? stdout : log_, line); }
void Output::reply(const std::string &line) { write(stdout, line); }

}  // namespace centre
