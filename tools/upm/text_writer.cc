// The text forms of upm's answers:
//
//   guids    the address, then one GUID a line, indented; or "  not found",
//            "  failed: UP_..."
//   email    "ADDRESS<TAB>EMAIL", or "ADDRESS<TAB>not found" / "failed: UP_..."
//   explain  a header line, then the tree: the user, the primary group with
//            the groups above it, the groups above the user; per node its
//            name, GUID, where the record came from ("LDAP" or "cache"),
//            the lookup's time, its DN and, where a branch ended, why
//   object   a header line, then one line per value: attribute, variant
//            type, value text
//   discover the steps, then the path found
#include <algorithm>
#include <cstdio>
#include <string>

#include "tools/upm/answer_writer.h"
#include "tools/upm/variant_type_name.h"

namespace upm {
namespace {

std::string Milliseconds(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f ms", ms);
  return text;
}

const char* Source(bool from_directory) { return from_directory ? "LDAP" : "cache"; }

std::string EndNote(const ExplainNode& node) {
  switch (node.end) {
    case BranchEnd::kNone:
      return "";
    case BranchEnd::kDuplicate:
      return "  [duplicate: GUID already listed, branch ends]";
    case BranchEnd::kCycle:
      return "  [cycle: an ancestor of its own, branch ends]";
    case BranchEnd::kDepthLimit:
      return "  [more than 512 groups without a GUID, branch ends]";
    case BranchEnd::kNotFound:
      return "  [not in the directory]";
    case BranchEnd::kFailed:
      return "  [failed: " + node.error.message + "]";
  }
  return "";
}

class TextWriter : public AnswerWriter {
 public:
  TextWriter(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  void Guids(const LookupAnswer& answer) override {
    out_ << answer.sip << "\n";
    switch (answer.outcome) {
      case Outcome::kFound:
        for (const std::string& guid : answer.guids) out_ << "  " << guid << "\n";
        break;
      case Outcome::kNotFound:
        out_ << "  not found\n";
        break;
      case Outcome::kFailed:
        out_ << "  failed: " << StatusName(answer.error.status) << "\n";
        Error(answer.sip, answer.error);
        break;
    }
    out_.flush();
  }

  void Email(const LookupAnswer& answer) override {
    out_ << answer.sip << "\t";
    switch (answer.outcome) {
      case Outcome::kFound:
        out_ << answer.email << "\n";
        break;
      case Outcome::kNotFound:
        out_ << "not found\n";
        break;
      case Outcome::kFailed:
        out_ << "failed: " << StatusName(answer.error.status) << "\n";
        Error(answer.sip, answer.error);
        break;
    }
    out_.flush();
  }

  void Explain(const ExplainResult& result) override {
    switch (result.outcome) {
      case Outcome::kNotFound:
        out_ << result.sip << ": not found (" << Source(result.user.from_directory) << " "
             << Milliseconds(result.user.milliseconds) << ")\n";
        return;
      case Outcome::kFailed:
        out_ << result.sip << ": failed: " << StatusName(result.error.status) << "\n";
        Error(result.sip, result.error);
        return;
      case Outcome::kFound:
        break;
    }
    out_ << result.sip << ": " << result.guids.size() << " GUIDs in " << Milliseconds(result.milliseconds) << "\n";
    out_ << NodeLine(result.user, "user") << "\n";
    const bool user_has_groups = !result.user.member_of.empty();
    if (result.primary_group) {
      Tree(*result.primary_group, "", !user_has_groups, "primary group");
    } else {
      out_ << (user_has_groups ? "|-- " : "`-- ") << "(no primary group: " << result.primary_group_note << ")\n";
    }
    for (size_t i = 0; i < result.user.member_of.size(); ++i) {
      Tree(result.user.member_of[i], "", i + 1 == result.user.member_of.size(), "");
    }
    out_.flush();
  }

  void Object(const ObjectAnswer& answer) override {
    const ObjectQuery& query = answer.query;
    out_ << ManagerName(query.manager) << " manager, key \"" << query.lookup_key << "\"";
    if (!query.server.empty()) out_ << " on " << query.server;
    out_ << ": ";
    switch (answer.outcome) {
      case Outcome::kNotFound:
        out_ << "not found (" << Milliseconds(answer.milliseconds) << ")\n";
        return;
      case Outcome::kFailed:
        out_ << "failed: " << StatusName(answer.error.status) << "\n";
        Error(query.key, answer.error);
        return;
      case Outcome::kFound:
        break;
    }
    out_ << answer.record.properties.size() << " attributes (" << Source(answer.from_directory) << " "
         << Milliseconds(answer.milliseconds) << ")\n";
    size_t name_width = 0;
    for (const Property& property : answer.record.properties) name_width = std::max(name_width, property.name.size());
    for (const Property& property : answer.record.properties) {
      bool first = true;
      for (const Value& value : property.values) {
        const std::string name = first ? property.name : "";
        std::string type = VariantTypeName(value.vartype);
        out_ << "  " << name << std::string(name_width - name.size() + 2, ' ') << type
             << std::string(type.size() < 16 ? 16 - type.size() : 1, ' ') << value.text << "\n";
        first = false;
      }
      if (property.values.empty()) out_ << "  " << property.name << "  (no values)\n";
    }
    out_.flush();
  }

  void Discovery(const DiscoveryAnswer& answer) override {
    for (size_t i = 0; i < answer.steps.size(); ++i) out_ << (i + 1) << ". " << answer.steps[i] << "\n";
    if (answer.outcome == Outcome::kFound) {
      out_ << "Global Catalog: " << *answer.gc_path << "\n";
    } else {
      out_ << "Global Catalog: none found\n";
      Error("", answer.error);
    }
    out_.flush();
  }

  void Summary(const BatchTotals& totals) override {
    char line[256];
    std::snprintf(line, sizeof line, "%zu addresses in %.2f s: %zu found, %zu not found, %zu failed\n",
                  totals.found + totals.not_found + totals.failed, totals.seconds, totals.found, totals.not_found,
                  totals.failed);
    err_ << line;
    std::snprintf(line, sizeof line, "latency: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                  totals.latency.p50, totals.latency.p90, totals.latency.p99, totals.latency.max);
    err_ << line << std::flush;
  }

 private:
  // "upm: SUBJECT: MESSAGE"; the subject is left out when the message
  // already names it.
  void Error(const std::string& subject, const CallError& error) {
    err_ << "upm: ";
    if (!subject.empty() && error.message.find(subject) == std::string::npos) err_ << subject << ": ";
    err_ << error.message << "\n" << std::flush;
  }

  static std::string NodeLine(const ExplainNode& node, const std::string& role) {
    std::string line = node.name.empty() ? "(no name)" : node.name;
    if (!role.empty()) line += " (" + role + ")";
    if (node.end != BranchEnd::kFailed) {
      line += "  ";
      line += node.guid.empty() ? "(no GUID)" : node.guid;
    }
    line += "  " + std::string(Source(node.from_directory)) + " " + Milliseconds(node.milliseconds);
    if (!node.dn.empty()) line += "  " + node.dn;
    return line + EndNote(node);
  }

  void Tree(const ExplainNode& node, const std::string& prefix, bool last, const std::string& role) {
    out_ << prefix << (last ? "`-- " : "|-- ") << NodeLine(node, role) << "\n";
    const std::string child_prefix = prefix + (last ? "    " : "|   ");
    for (size_t i = 0; i < node.member_of.size(); ++i) {
      Tree(node.member_of[i], child_prefix, i + 1 == node.member_of.size(), "");
    }
  }

  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

std::unique_ptr<AnswerWriter> MakeTextWriter(std::ostream& out, std::ostream& err) {
  return std::make_unique<TextWriter>(out, err);
}

}  // namespace upm
