// The HTTP/1.1 server under the API: one libuv loop on a thread of its own
// does every read and write (so a slow or idle client costs a socket and a
// few bytes, never a thread), http-parser reads the requests, and a small
// pool of threads runs the handlers.
//
// What the loop enforces for every connection:
//   - a whole-header deadline and a whole-body deadline (not per byte: a
//     client that sends one byte every few seconds is cut all the same);
//   - a cap on connections per client address and in all;
//   - the body limit from Content-Length alone (413 before any body byte);
//   - a closed client noticed at once, also while its answer is being waited
//     for (Later) or while it holds an event stream (Feed);
//   - a stop that closes every connection within its grace time.
//
// The handler surface mirrors what the routes need: a handler fills a
// Response on a pool thread, or hands it over to be answered later from any
// thread, or turns it into an endless chunked stream.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace dtu::http::wire {

struct Request {
  std::string method;       // "GET", "POST", ...; HEAD is routed as GET
  std::string target;       // as sent: path and query
  std::string path;         // percent-decoded once
  std::multimap<std::string, std::string> params;  // the query, decoded ('+' is a space)
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  std::smatch matches;      // the route's groups, over `path`
  std::string remote_addr;

  bool has_header(const std::string &name) const;          // names case-insensitive
  std::string get_header_value(const std::string &name) const;  // "" when absent
  bool has_param(const std::string &name) const;
  std::string get_param_value(const std::string &name) const;   // the first one
};

class Later;
class Feed;

// Hooks of an event stream; every one runs on the server's loop thread.
struct FeedHooks {
  std::function<std::string()> pull;  // the text to send now ("" for nothing)
  std::function<std::string()> last;  // at a stop: the text that ends the stream
  std::function<void()> closed;       // the stream is over (client gone or stop)
  // An answer of known end (a long listing sent as it is read), not an
  // event stream: no keep-alive comment lines; after each pull, done()
  // says whether that was the last text, and the answer then ends and the
  // connection closes.  A stop before that cuts it without the chunked
  // terminator, so that the client sees the answer incomplete.
  std::function<bool()> done;
};

struct Response {
  int status = 200;
  std::string body;
  std::string content_type;
  std::vector<std::pair<std::string, std::string>> headers;

  void set_content(std::string text, std::string type) {
    body = std::move(text);
    content_type = std::move(type);
  }
  void set_header(std::string name, std::string value) { headers.emplace_back(std::move(name), std::move(value)); }

  // The answer comes later, from any thread, through the returned object.
  // When `bound` passes first, `timeout` is sent instead.  The connection's
  // thread is free meanwhile.
  std::shared_ptr<Later> defer(std::chrono::milliseconds bound, Response timeout);
  // The answer is a chunked stream of the status and headers set here: the
  // loop writes what hooks.pull() gives whenever Feed::wake() is called, a
  // comment line when it has been quiet for a while, and at a stop the text
  // of hooks.last() and the stream's end.
  std::shared_ptr<Feed> stream(FeedHooks hooks);

  std::shared_ptr<Later> later_;  // set by defer()
  std::shared_ptr<Feed> feed_;    // set by stream()
};

class Later {
 public:
  // Any thread; the first answer (or the timeout) wins, later ones are dropped.
  void answer(Response response);
  // Runs once (on the loop thread) when the client goes, the bound passes or
  // the server stops before an answer: the place to cancel the work.  Set it
  // in the handler, before it returns.
  void on_gone(std::function<void()> fn);

 private:
  friend struct Response;
  friend struct Impl;
  std::mutex m_;
  bool answered_ = false;           // guarded by m_
  std::unique_ptr<Response> reply_;  // guarded by m_: waiting to be written
  std::function<void()> notify_;    // guarded by m_: tells the loop a reply is here
  std::function<void()> gone_;
  std::chrono::milliseconds bound_{0};
  std::unique_ptr<Response> timeout_;
};

class Feed {
 public:
  // Any thread: hooks.pull() has something to send.
  void wake();

 private:
  friend struct Response;
  friend struct Impl;
  FeedHooks hooks_;
  std::mutex m_;
  std::function<void()> notify_;  // guarded by m_
  bool pending_ = false;          // guarded by m_: woken before the loop took the stream
  std::atomic<bool> scheduled_{false};
};

struct Limits {
  std::size_t max_body = 64 * 1024;
  std::size_t max_header = 16 * 1024;        // request line and headers
  std::chrono::milliseconds header_time{10000};  // a whole header, from the first byte
  std::chrono::milliseconds idle_time{10000};    // a kept-alive connection with no request
  std::chrono::milliseconds body_time{10000};    // a whole body, from the header's end
  std::chrono::milliseconds write_time{10000};   // an answer's bytes to leave
  std::chrono::milliseconds keep_alive{15000};   // a quiet stream gets a comment line
  std::size_t per_client = 16;               // connections per client address; 0 = no cap
  std::size_t max_connections = 512;         // in all
  std::size_t threads = 8;                   // handler threads
  std::function<void()> thread_setup;        // runs first on every thread of the server
};

struct Impl;

class Server {
 public:
  enum class HandlerResponse { Handled, Unhandled };
  using Handler = std::function<void(const Request &, Response &)>;

  Server();
  ~Server();  // stop()
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Before start().  Routes match the decoded path in full, first one wins;
  // Get also serves HEAD.
  void Get(const std::string &pattern, Handler handler);
  void Post(const std::string &pattern, Handler handler);
  // Any other method ("PUT", "PATCH", "DELETE"); a method no route names
  // gets 404, as before.
  void Route(const std::string &method, const std::string &pattern, Handler handler);
  void set_pre_routing_handler(std::function<HandlerResponse(const Request &, Response &)> fn);
  void set_error_handler(Handler fn);  // for answers of 400 and above whose body is empty
  void set_exception_handler(std::function<void(const Request &, Response &, std::exception_ptr)> fn);
  // Every answer as it is written (on the loop thread).
  void set_logger(std::function<void(const Request &, const Response &)> fn);
  void set_limits(Limits limits);

  // Binds host:port (0: a free one); the port, or -1 with the reason.
  int bind(const std::string &host, int port, std::string *error);
  void start();  // the loop thread and the handler threads
  // Ends every connection: waiting answers get 503, streams their last
  // text and end, the rest is closed; after `grace`, whatever is left is
  // cut.  Returns when every thread of the server has ended.
  void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(900));

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace dtu::http::wire
