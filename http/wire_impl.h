// The connection layer's insides, shared by the files that make it up:
//   wire_parse.cpp   reading a request within the size limits
//   wire_conn.cpp    a connection's life and deadlines, answers given later, the stop
//   wire_answer.cpp  writing an answer's bytes
//   wire_stream.cpp  event streams
//   wire.cpp         the Server surface of wire.h
// Only those files include it.  Every Conn lives on the loop thread; other
// threads reach it only through Impl::post() and its ID.
#pragma once

#include <http_parser.h>
#include <uv.h>

#include <condition_variable>
#include <deque>
#include <thread>
#include <unordered_map>

#include "wire.h"

namespace dtu::http::wire {

using Clock = std::chrono::steady_clock;

bool same_name(const std::string &a, const std::string &b);  // ASCII, case-insensitive
std::string error_json(const std::string &text);              // {"error": text}, for texts of ours
const char *reason_of(int status);                            // the status line's words
std::string status_lines(const Response &res);                // the status line and Content-Type

// The handler threads.
class Pool {
 public:
  Pool(std::size_t n, const std::function<void()> &setup) {
    for (std::size_t i = 0; i < n; ++i)
      threads_.emplace_back([this, setup] {
        if (setup) setup();
        for (;;) {
          std::function<void()> job;
          {
            std::unique_lock<std::mutex> lk(m_);
            cv_.wait(lk, [&] { return stop_ || !jobs_.empty(); });
            if (jobs_.empty()) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
          }
          job();
        }
      });
  }
  void enqueue(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> g(m_);
      jobs_.push_back(std::move(fn));
    }
    cv_.notify_one();
  }
  void shutdown() {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto &t : threads_) t.join();
    threads_.clear();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stop_ = false;
};

struct Route {
  std::string method;
  std::regex pattern;
  Server::Handler fn;
};

struct WriteReq {
  uv_write_t req;
  std::string bytes, tail;  // the tail (an answer's body) goes out as it is, not copied behind the head
};

struct Conn {
  enum class St { kRead, kBusy, kWrite, kStream, kLinger, kClosed };
  Impl *srv = nullptr;
  std::uint64_t id = 0;
  uv_tcp_t tcp{};
  uv_timer_t timer{};
  int handles = 2;  // open libuv handles; freed when both have closed
  std::string peer;
  bool counted = false;  // in Impl::per_peer
  http_parser parser{};
  St st = St::kRead;
  bool reading = false;
  std::string in;  // received, not yet parsed

  // The request being read.
  std::shared_ptr<Request> req;
  std::string field, value;
  bool last_was_value = false;
  std::size_t header_bytes = 0;
  bool begun = false, headers_done = false, complete = false;
  int reject_status = 0;
  std::string reject_text;
  bool keep_alive = true, head = false, http10 = false;

  // Its answer.
  std::shared_ptr<Later> later;
  std::shared_ptr<Feed> feed;
  bool chunked = false, ending = false, want_pull = false;
  bool close_after_write = false;
  bool linger = false;     // after the answer: drain what the client still sends, then close
  uv_shutdown_t shutdown{};
  std::size_t writes = 0;  // uv_write calls not yet completed
  Clock::time_point last_sent{}, last_done{};
};

struct Impl {
  Limits limits;
  std::vector<Route> routes;
  std::function<Server::HandlerResponse(const Request &, Response &)> pre;
  Server::Handler error;
  std::function<void(const Request &, Response &, std::exception_ptr)> exception;
  std::function<void(const Request &, const Response &)> logger;

  uv_loop_t loop{};
  uv_tcp_t listener{};
  uv_async_t async{};
  uv_timer_t grace{};
  bool loop_made = false, started = false, stopped = false;
  std::thread thread;
  std::unique_ptr<Pool> pool;
  http_parser_settings settings{};

  std::mutex tasks_m;
  std::vector<std::function<void()>> tasks;  // guarded by tasks_m
  bool loop_done = false;                    // guarded by tasks_m

  // Loop thread only.
  std::unordered_map<std::uint64_t, Conn *> conns;
  std::unordered_map<std::string, std::size_t> per_peer;
  std::uint64_t next_id = 1;
  bool stopping = false, finished = false;
  std::chrono::milliseconds grace_time{900};
  char read_buffer[64 * 1024];

  // Any thread: fn runs on the loop thread (dropped once the loop has ended).
  void post(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(tasks_m);
    if (loop_done) return;
    tasks.push_back(std::move(fn));
    uv_async_send(&async);
  }

  void run_tasks() {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard<std::mutex> g(tasks_m);
      work.swap(tasks);
    }
    for (auto &fn : work) fn();
  }

  static Conn *of(http_parser *p) { return static_cast<Conn *>(p->data); }

  // ---- reading a request within its limits (wire_parse.cpp) ----
  void init_settings();
  int reject(Conn *c, int status, std::string text);
  int count_header(Conn *c, std::size_t n);
  int headers_complete(Conn *c);
  void on_bytes(Conn *c, const char *data, std::size_t n);
  void parse(Conn *c);

  // ---- a connection's life, its deadlines, answers given later, the stop (wire_conn.cpp) ----
  void arm(Conn *c, std::chrono::milliseconds ms, bool repeat = false);
  static void on_timer(Conn *c);
  void on_connection();
  void start_reading(Conn *c);
  void close(Conn *c);
  void dispatch(Conn *c);
  void handle(Request &req, Response &res);
  void handled(std::uint64_t id, const Request &req, Response &res);
  void wait_later(Conn *c, std::shared_ptr<Later> later);
  void later_answered(std::uint64_t id);
  // The bound passed, the client left or the server stops: no answer will be
  // taken any more, and the work is told to stop.
  void later_gone(Later &later);
  void later_timeout(Conn *c);
  void later_stopped(Conn *c);
  void begin_stop();
  void cut_all();
  void finish_stop();

  // ---- writing answers (wire_answer.cpp) ----
  void write(Conn *c, std::string bytes, std::string tail = {});
  void written(Conn *c, int status);
  // Closing a socket with unread bytes sends a reset, which can destroy the
  // answer before the client has read it: so the sending side is shut, and
  // whatever the client still sends is read and dropped for a moment first.
  void linger(Conn *c);
  // An answer this layer makes itself (an error); the connection closes
  // after it.
  void local_answer(Conn *c, int status, const std::string &text);
  void write_answer(Conn *c, const Request &req, Response &res);
  void next_request(Conn *c);

  // ---- event streams (wire_stream.cpp) ----
  void start_stream(Conn *c, const Request &req, Response &res);
  void chunk(Conn *c, const std::string &text);
  void pull(Conn *c);
  void stream_tick(Conn *c);
  void end_stream(Conn *c);
};

}  // namespace dtu::http::wire
