// The JSON forms of upm's answers: one document per line and answer, the
// fields JsonFieldsHelp lists. Fields that do not apply are left out
// (never null), except "gc_path" and "primary_group", which are null when
// there is none.
#include <string>

#include <nlohmann/json.hpp>

#include "tools/upm/answer_writer.h"
#include "tools/upm/variant_type_name.h"

namespace upm {
namespace {

using nlohmann::json;

const char* Source(bool from_directory) { return from_directory ? "LDAP" : "cache"; }

json ErrorJson(const CallError& error) {
  return json{{"status", StatusName(error.status)}, {"code", error.code}, {"message", error.message}};
}

json NodeJson(const ExplainNode& node) {
  json value = {{"role", RoleName(node.role)},
                {"key", node.key},
                {"name", node.name},
                {"dn", node.dn},
                {"guid", node.guid},
                {"listed", node.listed},
                {"source", Source(node.from_directory)},
                {"milliseconds", node.milliseconds}};
  if (node.end != BranchEnd::kNone) value["end"] = BranchEndName(node.end);
  if (node.end == BranchEnd::kFailed) value["error"] = ErrorJson(node.error);
  json member_of = json::array();
  for (const ExplainNode& child : node.member_of) member_of.push_back(NodeJson(child));
  value["member_of"] = std::move(member_of);
  return value;
}

class JsonWriter : public AnswerWriter {
 public:
  JsonWriter(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  void Guids(const LookupAnswer& answer) override {
    json value = Lookup(answer);
    if (answer.outcome == Outcome::kFound) value["guids"] = answer.guids;
    Write(out_, value);
  }

  void Email(const LookupAnswer& answer) override {
    json value = Lookup(answer);
    if (answer.outcome == Outcome::kFound) value["email"] = answer.email;
    Write(out_, value);
  }

  void Explain(const ExplainResult& result) override {
    json value = {{"sip", result.sip},
                  {"status", OutcomeName(result.outcome)},
                  {"milliseconds", result.milliseconds}};
    if (result.outcome == Outcome::kFailed) {
      value["error"] = ErrorJson(result.error);
    } else {
      value["guids"] = result.guids;
      value["user"] = NodeJson(result.user);
      value["primary_group"] = result.primary_group ? NodeJson(*result.primary_group) : json(nullptr);
      if (!result.primary_group_note.empty()) value["primary_group_note"] = result.primary_group_note;
    }
    Write(out_, value);
  }

  void Object(const ObjectAnswer& answer) override {
    const ObjectQuery& query = answer.query;
    json value = {{"key", query.key},
                  {"as", ObjectKindName(query.kind)},
                  {"manager", ManagerName(query.manager)},
                  {"lookup_key", query.lookup_key},
                  {"status", OutcomeName(answer.outcome)},
                  {"milliseconds", answer.milliseconds}};
    if (!query.server.empty()) value["server"] = query.server;
    if (answer.outcome == Outcome::kFailed) {
      value["error"] = ErrorJson(answer.error);
    } else {
      if (answer.outcome == Outcome::kFound) value["source"] = Source(answer.from_directory);
      json properties = json::array();
      for (const Property& property : answer.record.properties) {
        json values = json::array();
        for (const Value& v : property.values) {
          values.push_back({{"type", VariantTypeName(v.vartype)}, {"vartype", v.vartype}, {"text", v.text}});
        }
        properties.push_back({{"name", property.name}, {"values", std::move(values)}});
      }
      value["properties"] = std::move(properties);
    }
    Write(out_, value);
  }

  void Discovery(const DiscoveryAnswer& answer) override {
    json value = {{"status", OutcomeName(answer.outcome)},
                  {"gc_path", answer.gc_path ? json(*answer.gc_path) : json(nullptr)},
                  {"steps", answer.steps}};
    if (answer.outcome == Outcome::kFailed) value["error"] = ErrorJson(answer.error);
    Write(out_, value);
  }

  void Summary(const BatchTotals& totals) override {
    json latency = {{"p50", totals.latency.p50},
                    {"p90", totals.latency.p90},
                    {"p99", totals.latency.p99},
                    {"max", totals.latency.max}};
    json summary = {{"total", totals.found + totals.not_found + totals.failed},
                    {"found", totals.found},
                    {"not_found", totals.not_found},
                    {"failed", totals.failed},
                    {"seconds", totals.seconds},
                    {"latency_ms", std::move(latency)}};
    Write(err_, json{{"summary", std::move(summary)}});
  }

 private:
  static json Lookup(const LookupAnswer& answer) {
    json value = {{"sip", answer.sip},
                  {"status", OutcomeName(answer.outcome)},
                  {"milliseconds", answer.milliseconds}};
    if (answer.outcome == Outcome::kFailed) value["error"] = ErrorJson(answer.error);
    return value;
  }

  // One document a line; text that is not UTF-8 is written with U+FFFD in
  // its place rather than failing the whole answer.
  static void Write(std::ostream& stream, const json& value) {
    stream << value.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
  }

  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

std::unique_ptr<AnswerWriter> MakeJsonWriter(std::ostream& out, std::ostream& err) {
  return std::make_unique<JsonWriter>(out, err);
}

const char* JsonFieldsHelp() {
  return "JSON (--json): one document per line and answer; fields that do not apply are left out.\n"
         "  every answer  status: \"found\" | \"not_found\" | \"failed\";  milliseconds: the lookup's time;\n"
         "                error: {status: \"UP_...\", code, message} when failed\n"
         "  guids         sip, guids: [GUID, ...] (user, primary group, groups, as up_get_guids)\n"
         "  email         sip, email\n"
         "  explain       sip, guids (walk order), user, primary_group (null when none),\n"
         "                primary_group_note; a node: role (\"user\" | \"primary_group\" | \"group\"),\n"
         "                key, name, dn, guid, listed, source (\"LDAP\" | \"cache\"), milliseconds,\n"
         "                end (\"duplicate\" | \"cycle\" | \"depth_limit\" | \"not_found\" | \"failed\"),\n"
         "                error, member_of: [node, ...]\n"
         "  object        key, as, manager, lookup_key, server, source,\n"
         "                properties: [{name, values: [{type: \"VT_...\", vartype, text}]}]\n"
         "  discover      gc_path (null when none), steps: [text, ...]\n"
         "  perf          pid, counters: {total_ds_access, total_ds_access_time_ms, ...};\n"
         "                with --watch also seconds, per_second: {...}; without --pid\n"
         "                processes: [pid, ...]\n"
         "  batch summary (on stderr) summary: {total, found, not_found, failed, seconds,\n"
         "                latency_ms: {p50, p90, p99, max}}\n";
}

}  // namespace upm
