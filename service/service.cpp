// Skeleton: the interface links; the loop comes next.
#include "service.h"

#include <uv.h>

namespace dtu::svc {

struct Service::Impl {
  uv_loop_t loop{};
  std::vector<std::function<void(const Event &)>> sinks;
  Counters counters;
};

bool validate(const Config &, std::string *) { return true; }

Service::Service(Config config) : config_(std::move(config)), impl_(new Impl) {
  uv_loop_init(&impl_->loop);
}
Service::~Service() { uv_loop_close(&impl_->loop); }
void Service::subscribe(std::function<void(const Event &)> sink) {
  impl_->sinks.push_back(std::move(sink));
}
bool Service::start(std::string *error) {
  if (error) *error = "not implemented yet";
  return false;
}
int Service::run() { return 1; }
void Service::stop() {}
void Service::post(std::function<void(Service &)>) {}
void Service::every(unsigned, std::function<void(Service &)>) {}
uv_loop_s *Service::loop() { return &impl_->loop; }
std::uint16_t Service::port() const { return 0; }
std::uint32_t Service::bound_address() const { return 0; }
const Terminal *Service::find(std::string_view) const { return nullptr; }
std::vector<Terminal> Service::terminals() const { return {}; }
const Counters &Service::counters() const { return impl_->counters; }
SendResult Service::send(std::string_view, const void *, std::size_t, unsigned) { return {}; }
bool Service::close(std::string_view, bool) { return false; }
int Service::close_all(bool) { return 0; }
std::uint64_t Service::read_params(std::string_view, ParamCallback) { return 0; }
std::uint64_t Service::write_params(std::string_view, std::vector<ParamValue>, ParamCallback) {
  return 0;
}
void Service::reopen() {}
bool Service::reload_allow_list(std::string *) { return true; }

bool AllowList::load(const std::string &, std::string *) { return true; }
bool AllowList::parse(std::string_view, std::string *) { return true; }
bool AllowList::allows(std::string_view) const { return true; }

}  // namespace dtu::svc
