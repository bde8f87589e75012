// The registry over HTTP: a terminal's entry (GET, PUT, PATCH, DELETE of
// /api/terminals/{id}/meta), the CSV export and import, the listing's rows
// of registered IDs never heard, and a send or a parameter write to every
// terminal a selector names.
#include <cstring>

#include "api.h"

namespace dtu::http::api {
namespace {

Json meta_json(const std::string &id, const svc::TerminalMeta &m) {
  return Json{{"id", id_text(id)}, {"name", m.name},   {"group", m.group}, {"labels", m.labels},
              {"note", m.note},    {"registered", true}};
}

const char *const kNotRegistered = "not registered";

// One text field of a body: a string, or (patch) null to clear it.
bool text_field(const Json &body, const char *key, std::string *out, Reply *bad) {
  if (!body.contains(key)) return true;
  const Json &v = body[key];
  if (v.is_null()) return out->clear(), true;
  if (!v.is_string()) return *bad = error_reply(400, std::string(key) + ": expected a string"), false;
  *out = v.get<std::string>();
  return true;
}

// The fields of a PUT (onto an empty entry) or a PATCH (onto the stored
// one): given fields replace, null clears, labels merge per key and a
// label set to null goes.
bool apply_body(const Json &body, svc::TerminalMeta *m, Reply *bad) {
  if (!text_field(body, "name", &m->name, bad) || !text_field(body, "group", &m->group, bad) ||
      !text_field(body, "note", &m->note, bad))
    return false;
  if (!body.contains("labels")) return true;
  const Json &l = body["labels"];
  if (l.is_null()) return m->labels.clear(), true;
  if (!l.is_object()) return *bad = error_reply(400, "labels: expected an object of \"key\": \"value\""), false;
  for (auto it = l.begin(); it != l.end(); ++it) {
    if (it->is_null()) m->labels.erase(it.key());
    else if (it->is_string()) m->labels[it.key()] = it->get<std::string>();
    else return *bad = error_reply(400, "labels." + it.key() + ": expected a string or null"), false;
  }
  return true;
}

// Stores the entry on the loop: 200 with it, or 400 naming the bad field.
Reply store(Service &s, const std::string &id, svc::TerminalMeta m) {
  std::string field, error;
  if (!s.set_meta(id, m, &field, &error)) return Reply{400, Json{{"error", error}, {"field", field}}};
  return Reply{200, meta_json(id, *s.meta(id))};
}

// ---- CSV -------------------------------------------------------------------

// A cell as the registry's CSV writes it: one a spreadsheet would take for
// a formula (= + - @ first) gets a ' in front, as the history's CSV does;
// quoted when it holds a comma, a quote or a line end.
std::string csv_cell(std::string v) {
  if (!v.empty() && std::strchr("=+-@", v[0]) != nullptr) v.insert(0, 1, '\'');
  if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
  std::string out = "\"";
  for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}
// The reverse of the guard, on import: what the export wrote comes back.
std::string unguard(std::string v) {
  if (v.size() >= 2 && v[0] == '\'' && std::strchr("=+-@", v[1]) != nullptr) v.erase(0, 1);
  return v;
}

// Labels as one cell: "k=v;k2=v2", a ';' or '\' in a value written "\;", "\\".
std::string labels_cell(const std::map<std::string, std::string> &labels) {
  std::string out;
  for (const auto &[k, v] : labels) {
    if (!out.empty()) out += ';';
    out += k + '=';
    for (char c : v) {
      if (c == ';' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out;
}
bool parse_labels(const std::string &cell, std::map<std::string, std::string> *out, std::string *error) {
  std::string item;
  auto take = [&] {
    if (item.empty()) return true;
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) return *error = "labels: expected key=value pairs separated by ;", false;
    (*out)[item.substr(0, eq)] = item.substr(eq + 1);
    item.clear();
    return true;
  };
  for (std::size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] == '\\' && i + 1 < cell.size()) item += cell[++i];
    else if (cell[i] == ';') {
      if (!take()) return false;
    } else item += cell[i];
  }
  return take();
}

// RFC 4180 records: fields split on commas, quoted fields may hold commas,
// quotes ("") and line ends; a record ends at CRLF or LF.  Each record with
// the line it began on.  False with a reason for a quote left open.
struct CsvRecord {
  std::size_t line = 0;
  std::vector<std::string> fields;
};
bool parse_csv(const std::string &text, std::vector<CsvRecord> *out, std::string *error) {
  std::size_t line = 1, i = 0;
  while (i < text.size()) {
    CsvRecord r;
    r.line = line;
    std::string field;
    bool quoted = false, was_quoted = false;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      if (quoted) {
        if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') field += '"', ++i;
        else if (c == '"') quoted = false;
        else {
          if (c == '\n') ++line;
          field += c;
        }
      } else if (c == '"' && field.empty() && !was_quoted) {
        quoted = was_quoted = true;
      } else if (c == ',') {
        r.fields.push_back(std::move(field));
        field.clear();
        was_quoted = false;
      } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
        i += c == '\r' ? 2 : 1;
        ++line;
        break;
      } else {
        field += c;
      }
    }
    if (quoted) return *error = "line " + std::to_string(r.line) + ": a quoted field is not closed", false;
    r.fields.push_back(std::move(field));
    if (!(r.fields.size() == 1 && r.fields[0].empty())) out->push_back(std::move(r));  // blank lines skipped
  }
  return true;
}

}  // namespace

void add_registry_rows(const Service &s, const Shared &sh, std::vector<Row> *rows) {
  for (const auto &[id, m] : s.registry().all()) {
    if (s.find(id) != nullptr) continue;
    svc::Terminal never;
    never.id = id;
    rows->push_back(copy_row(never, sh, &m));
  }
  for (const auto &[id, when] : s.unregistered_seen()) {
    if (s.find(id) != nullptr || s.meta(id) != nullptr) continue;
    svc::Terminal refused;
    refused.id = id;
    refused.first_seen_ms = refused.last_seen_ms = when;
    rows->push_back(copy_row(refused, sh, nullptr));
  }
}

// ---- a terminal's entry ----------------------------------------------------

void Server::get_meta(const Req &req, Res &res) {
  Reply bad;
  const std::string id = term_id(req, &bad);
  if (id.empty()) return send_json(res, bad);
  send_json(res, on_loop(svc_, *shared_, [id](Service &s) {
    const svc::TerminalMeta *m = s.meta(id);
    return m ? Reply{200, meta_json(id, *m)} : error_reply(404, kNotRegistered);
  }));
}

void Server::put_meta(const Req &req, Res &res) {
  Reply bad;
  const std::string id = term_id(req, &bad);
  Json body;
  svc::TerminalMeta m;
  if (id.empty() || !parse_body(req, {"name", "group", "labels", "note"}, &body, &bad) || !apply_body(body, &m, &bad))
    return send_json(res, bad);
  send_json(res, on_loop(svc_, *shared_, [id, m](Service &s) { return store(s, id, m); }));
}

void Server::patch_meta(const Req &req, Res &res) {
  Reply bad;
  const std::string id = term_id(req, &bad);
  Json body;
  if (id.empty() || !parse_body(req, {"name", "group", "labels", "note"}, &body, &bad)) return send_json(res, bad);
  send_json(res, on_loop(svc_, *shared_, [id, body](Service &s) {
    const svc::TerminalMeta *now = s.meta(id);
    svc::TerminalMeta m = now ? *now : svc::TerminalMeta{};  // an ID not registered starts empty
    Reply why;
    if (!apply_body(body, &m, &why)) return why;
    return store(s, id, std::move(m));
  }));
}

void Server::delete_meta(const Req &req, Res &res) {
  Reply bad;
  const std::string id = term_id(req, &bad);
  if (id.empty()) return send_json(res, bad);
  send_json(res, on_loop(svc_, *shared_, [id](Service &s) {
    const svc::TerminalMeta *m = s.meta(id);
    if (!m) return error_reply(404, kNotRegistered);
    Json j = meta_json(id, *m);
    s.erase_meta(id);
    j["registered"] = false;
    return Reply{200, j};
  }));
}

// ---- CSV export and import -------------------------------------------------

void Server::export_registry(const Req &, Res &res) {
  auto copy = std::make_shared<svc::Registry::Map>();
  Reply r = on_loop(svc_, *shared_, [copy](Service &s) {
    *copy = s.registry().all();
    return Reply{};
  });
  if (r.status != 200) return send_json(res, r);
  std::string out = "id,name,group,labels,note\r\n";
  for (const auto &[id, m] : *copy)
    out += csv_cell(id_text(id)) + ',' + csv_cell(m.name) + ',' + csv_cell(m.group) + ',' +
           csv_cell(labels_cell(m.labels)) + ',' + csv_cell(m.note) + "\r\n";
  res.set_header("Content-Disposition", "attachment; filename=\"registry.csv\"");
  res.set_content(out, "text/csv; charset=utf-8");
}

void Server::import_registry(const Req &req, Res &res) {
  std::vector<CsvRecord> records;
  std::string error;
  if (!parse_csv(req.body, &records, &error)) return send_json(res, error_reply(400, error));
  if (records.empty()) return send_json(res, error_reply(400, "the body needs a header line: id,name,group,labels,note"));
  // The header names the columns, in any order; id is required.
  static const char *const kColumns[] = {"id", "name", "group", "labels", "note"};
  int column[5] = {-1, -1, -1, -1, -1};
  const CsvRecord &head = records.front();
  for (std::size_t i = 0; i < head.fields.size(); ++i) {
    std::string name = head.fields[i];
    for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    int k = 0;
    while (k < 5 && name != kColumns[k]) ++k;
    if (k == 5 || column[k] >= 0)
      return send_json(res, error_reply(400, "line 1: the header names each of id,name,group,labels,note at most once, and nothing else"));
    column[k] = static_cast<int>(i);
  }
  if (column[0] < 0) return send_json(res, error_reply(400, "line 1: the header has no id column"));
  struct Line {
    std::size_t line;
    std::string id_text, id;
    svc::TerminalMeta meta;
    std::string error;  // set: refused before the loop
  };
  auto lines = std::make_shared<std::vector<Line>>();
  for (std::size_t n = 1; n < records.size(); ++n) {
    const CsvRecord &r = records[n];
    Line l;
    l.line = r.line;
    auto cell = [&](int k) { return column[k] >= 0 ? unguard(r.fields[static_cast<std::size_t>(column[k])]) : std::string(); };
    if (r.fields.size() != head.fields.size()) {
      l.id_text = r.fields.empty() ? "" : unguard(r.fields[0]);
      l.error = "expected " + std::to_string(head.fields.size()) + " fields, found " + std::to_string(r.fields.size());
    } else {
      l.id_text = cell(0);
      l.meta.name = cell(1);
      l.meta.group = cell(2);
      l.meta.note = cell(4);
      if (!id_from_text(l.id_text, &l.id)) l.error = "id: not a terminal ID (1 to 11 bytes; other bytes as %XX)";
      else parse_labels(cell(3), &l.meta.labels, &l.error);
    }
    lines->push_back(std::move(l));
  }
  send_json(res, on_loop(svc_, *shared_, [lines](Service &s) {
    std::size_t accepted = 0;
    Json refused = Json::array();
    for (Line &l : *lines) {
      std::string field;
      if (l.error.empty() && s.set_meta(l.id, l.meta, &field, &l.error)) {
        ++accepted;
        continue;
      }
      refused.push_back({{"line", l.line}, {"id", l.id_text}, {"error", l.error}});
    }
    return Reply{200, Json{{"accepted", accepted}, {"refused", refused}}};
  }));
}

// ---- commands by selector ----------------------------------------------------

namespace {
bool selector_of(const Json &body, svc::Selector *sel, Reply *bad) {
  if (!body.contains("select") || !body["select"].is_string())
    return *bad = error_reply(400, "select: expected a selector (all, group=G, label:K=V, name=N or prefix=P)"), false;
  std::string why;
  if (!sel->parse(body["select"].get<std::string>(), &why)) return *bad = error_reply(400, why), false;
  return true;
}
}  // namespace

void Server::select_send(const Req &req, Res &res) {
  Json body;
  Reply bad;
  std::string bytes;
  unsigned expiry = 0;
  svc::Selector sel;
  if (!parse_body(req, {"select", "text", "hex", "expiry"}, &body, &bad) || !selector_of(body, &sel, &bad) ||
      !downlink_body(body, &bytes, &expiry, &bad))
    return send_json(res, bad);
  send_json(res, on_loop(svc_, *shared_, [sel, bytes, expiry](Service &s) {
    Json results = Json::array();
    for (const std::string &id : s.select(sel)) {
      Reply r = send_reply(svc::send_command(s, id, bytes, expiry));
      Json one{{"id", id_text(id)}, {"status", r.status}};
      one.update(r.body);
      results.push_back(std::move(one));
    }
    return Reply{200, Json{{"results", results}}};
  }));
}

void Server::select_params(const Req &req, Res &res) {
  Json body;
  Reply bad;
  std::vector<svc::ParamValue> values;
  svc::Selector sel;
  if (!parse_body(req, {"select", "params"}, &body, &bad) || !selector_of(body, &sel, &bad) ||
      !write_values(body, &values, &bad))
    return send_json(res, bad);
  // Every write goes at once; the answer waits for the last of them (each
  // ends by the service's request timeout at the latest).
  answer_later(svc_, *shared_, res, [sel, values](Service &s, std::function<void(Reply)> answer) -> std::uint64_t {
    struct Gather {
      Json results = Json::array();
      std::size_t waiting = 0;
      std::function<void(Reply)> answer;
    };
    auto g = std::make_shared<Gather>();
    g->answer = std::move(answer);
    const std::vector<std::string> ids = s.select(sel);
    g->results = Json::array();
    for (std::size_t i = 0; i < ids.size(); ++i) g->results.push_back(Json{{"id", id_text(ids[i])}});
    g->waiting = ids.size() + 1;  // one for this loop: no answer before every write is made
    auto done = [g](std::size_t i, const Reply &r) {
      g->results[i]["status"] = r.status;
      g->results[i].update(r.body);
      if (--g->waiting == 0) g->answer(Reply{200, Json{{"results", g->results}}});
    };
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const svc::RequestOutcome out = svc::write_command(s, ids[i], values, [done, i](const svc::ParamResult &r) {
        done(i, param_reply(r, false));
      });
      if (out.result == svc::CommandResult::kUnknownId) done(i, error_reply(404, "no terminal with this ID has been heard"));
    }
    if (--g->waiting == 0) g->answer(Reply{200, Json{{"results", g->results}}});
    return 0;
  }, param_bound());
}

}  // namespace dtu::http::api
