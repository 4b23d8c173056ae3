#include "tools/upm/explain_dot.h"

#include <cstdio>
#include <map>
#include <sstream>

namespace upm {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

class DotGraph {
 public:
  explicit DotGraph(std::ostringstream& out) : out_(out) {}

  // Declares `node` (once per group) and returns its id.
  std::string Declare(const ExplainNode& node) {
    const std::string identity = Identity(node);
    if (auto it = ids_.find(identity); it != ids_.end()) return it->second;
    const std::string id = "n" + std::to_string(ids_.size());
    ids_[identity] = id;
    char time[32];
    std::snprintf(time, sizeof time, "%.2f ms", node.milliseconds);
    std::string label = node.name.empty() ? "(no name)" : node.name;
    if (node.role == NodeRole::kUser) label += "\nuser";
    if (node.role == NodeRole::kPrimaryGroup) label += "\nprimary group";
    label += "\n" + (node.guid.empty() ? std::string("(no GUID)") : node.guid);
    label += "\n" + std::string(node.from_directory ? "LDAP " : "cache ") + time;
    std::string attributes;
    if (node.role == NodeRole::kUser) attributes += ", shape=ellipse";
    if (node.end == BranchEnd::kFailed) {
      label += "\nfailed: " + node.error.message;
      attributes += ", color=red";
    } else if (node.end == BranchEnd::kNotFound) {
      label += "\nnot in the directory";
      attributes += ", style=dashed";
    }
    out_ << "  " << id << " [label=\"" << DotEscape(label) << "\"" << attributes << "];\n";
    return id;
  }

  void Walk(const ExplainNode& from, const std::string& from_id) {
    for (const ExplainNode& child : from.member_of) Edge(from_id, child, "");
  }

  void Edge(const std::string& from_id, const ExplainNode& to, const std::string& label) {
    const std::string to_id = Declare(to);
    std::string attributes;
    if (to.end == BranchEnd::kDuplicate || to.end == BranchEnd::kCycle) {
      attributes = "style=dashed, label=\"" + std::string(BranchEndName(to.end)) + "\"";
    } else if (!label.empty()) {
      attributes = "label=\"" + DotEscape(label) + "\"";
    }
    out_ << "  " << from_id << " -> " << to_id;
    if (!attributes.empty()) out_ << " [" << attributes << "]";
    out_ << ";\n";
    if (to.end == BranchEnd::kNone) Walk(to, to_id);
  }

 private:
  // Groups are one node per GUID (else per DN); the user is its own.
  static std::string Identity(const ExplainNode& node) {
    if (node.role == NodeRole::kUser) return "user:";
    if (!node.guid.empty()) return "guid:" + Lower(node.guid);
    return "dn:" + Lower(node.dn);
  }

  std::ostringstream& out_;
  std::map<std::string, std::string> ids_;
};

}  // namespace

std::string DotEscape(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string ExplainToDot(const ExplainResult& result) {
  std::ostringstream out;
  out << "digraph \"" << DotEscape("upm explain " + result.sip) << "\" {\n"
      << "  rankdir=LR;\n"
      << "  node [shape=box, fontname=\"Helvetica\"];\n";
  if (result.outcome != Outcome::kFound) {
    const std::string label =
        result.sip + "\n" + (result.outcome == Outcome::kNotFound ? "not found" : "failed: " + result.error.message);
    out << "  n0 [label=\"" << DotEscape(label) << "\", shape=ellipse, style=dashed];\n}\n";
    return out.str();
  }
  DotGraph graph(out);
  const std::string user = graph.Declare(result.user);
  if (result.primary_group) graph.Edge(user, *result.primary_group, "primary group");
  graph.Walk(result.user, user);
  out << "}\n";
  return out.str();
}

}  // namespace upm
