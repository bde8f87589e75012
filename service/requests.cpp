// Parameter reads and writes: one of each on the wire per terminal, the
// rest waiting in order, each ended by its reply, a timeout or the terminal
// leaving.
#include <algorithm>
#include <cstring>

#include "core.h"

namespace dtu::svc {

void Service::Impl::finish(const std::string &id, Request &req, bool read, CommandResult error) {
  touched.push_back(id);
  journal_request_ended(req.handle);
  if (error == CommandResult::kTimeout) {
    ++counters.param_timeouts;
    Event e = make(EventType::kTimeout, id);
    e.request = req.handle;
    e.reason = read ? "param_read" : "param_set";
    emit(e);
  } else {
    error_event(std::string(read ? "parameter read" : "parameter write") + " ended: " + result_name(error), id,
                req.handle, result_name(error));
  }
  if (req.done) {
    ParamResult r;
    r.request = req.handle;
    r.id = id;
    r.ok = false;
    r.error = error;
    defer(std::move(req.done), std::move(r));
  }
}

void Service::Impl::start_next(const std::string &id, bool read) {
  while (true) {
    auto it = terms.find(id);
    if (it == terms.end()) return;
    auto &q = read ? it->second.reads : it->second.writes;
    if (q.empty() || q.front().deadline != 0) return;
    Terminal &t = it->second.pub;
    CommandResult error = CommandResult::kOk;
    if (!t.online) {
      error = CommandResult::kOffline;
    } else if (read) {
      if (DoReadParam(t.peer.addr, t.peer.port, id.c_str()) != 1) error = CommandResult::kSendFailed;
    } else {
      ClearParam();
      for (const ParamValue &v : q.front().values) {
        int length = 0, err = 0;
        const std::vector<std::uint8_t> bytes = param_bytes(v, &length);
        if (SetParam(v.tag, bytes.data(), length, &err) != 1) error = CommandResult::kBadValue;
      }
      if (error == CommandResult::kOk && DoUpdateParam(t.peer.addr, t.peer.port, id.c_str()) != 1)
        error = CommandResult::kSendFailed;
    }
    flush_outs();
    if (error == CommandResult::kOk) {
      q.front().deadline = clock() + 1000ull * config.request_timeout;
      return;
    }
    Request req = std::move(q.front());
    q.pop_front();
    finish(id, req, read, error);
  }
}

std::uint64_t Service::Impl::request(std::string_view id_view, bool read, std::vector<ParamValue> values,
                                     ParamCallback done) {
  assert_loop_thread();
  Batch batch(*this);
  const std::string id(id_view);
  const std::uint64_t handle = next_handle++;
  Request req;
  req.handle = handle;
  req.values = std::move(values);
  req.done = std::move(done);
  CommandResult error = CommandResult::kOk;
  if (id.empty() || id.size() > DTU_ID_LENGTH || id.find('\0') != std::string::npos) error = CommandResult::kBadId;
  if (error == CommandResult::kOk && !read) {
    if (req.values.empty()) error = CommandResult::kBadValue;
    for (const ParamValue &v : req.values) {
      const ParamInfo *p = find_param(v.tag);
      ParamValue parsed;
      if (p == nullptr || p->form != v.form ||
          ((v.form == ParamForm::kText || v.form == ParamForm::kComposite)
               ? !parse_param(v.tag, v.text, &parsed, nullptr)
               : v.number > p->max_value))
        error = CommandResult::kBadValue;
    }
  }
  auto it = terms.find(id);
  if (error == CommandResult::kOk && (it == terms.end() || !it->second.pub.online)) error = CommandResult::kOffline;
  if (error != CommandResult::kOk) {
    finish(id, req, read, error);
    return handle;
  }
  auto &q = read ? it->second.reads : it->second.writes;
  if (q.size() >= config.param_queue) {
    finish(id, req, read, CommandResult::kQueueFull);
    return handle;
  }
  journal_request(id, req, read);
  q.push_back(std::move(req));
  start_next(id, read);
  return handle;
}

bool Service::Impl::cancel(std::uint64_t handle) {
  assert_loop_thread();
  Batch batch(*this);
  for (auto &[id, s] : terms)
    for (int read = 1; read >= 0; --read) {
      auto &q = read ? s.reads : s.writes;
      for (auto r = q.begin(); r != q.end(); ++r) {
        if (r->handle != handle) continue;
        if (r->deadline != 0) {
          r->done = nullptr;
          return true;
        }
        Request req = std::move(*r);
        q.erase(r);
        req.done = nullptr;
        finish(id, req, read != 0, CommandResult::kCancelled);
        return true;
      }
    }
  return false;
}

std::uint64_t Service::read_params(std::string_view id, ParamCallback done) {
  return impl_->request(id, true, {}, std::move(done));
}

std::uint64_t Service::write_params(std::string_view id, std::vector<ParamValue> values, ParamCallback done) {
  return impl_->request(id, false, std::move(values), std::move(done));
}

bool Service::cancel(std::uint64_t request) { return impl_->cancel(request); }

}  // namespace dtu::svc
