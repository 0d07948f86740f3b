// Quoting names for messages.
#include "names.h"

#include <vector>

#include "format/printable.h"

std::string Printed(const std::string& name) {
  // An escape is at most four bytes for one byte of the name.
  std::vector<char> text(4 * name.size() + 1);
  size_t n = Printable(name.data(), name.size(), text.data(), text.size());
  return std::string(text.data(), n);
}

std::string Quoted(const std::string& name) { return "'" + Printed(name) + "'"; }

std::string QuotedStart(const std::string& name) {
  constexpr size_t Start = 40;
  if (name.size() <= Start) return Quoted(name);
  std::string quoted = Quoted(name.substr(0, Start));
  quoted.insert(quoted.size() - 1, "...");
  return quoted;
}
