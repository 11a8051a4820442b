// Names and paths the alias-record reader, writer and resolver share
// (contract in alias_record.h).
#include "platform/alias_record.h"

#include <sys/stat.h>

namespace alias_internal {

std::string swap_separators(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == ':') {
      c = '/';
    } else if (c == '/') {
      c = ':';
    }
  }
  return out;
}

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string last_component(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  while (at < path.size()) {
    const std::size_t next = path.find('/', at);
    const std::size_t end = next == std::string_view::npos ? path.size() : next;
    if (end > at) parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::string mount_point_for(const std::string& path, dev_t device) {
  std::string current = path;
  while (current != "/") {
    const std::string parent = parent_of(current);
    struct stat st {};
    if (stat(parent.c_str(), &st) != 0 || st.st_dev != device) return current;
    current = parent;
  }
  return "/";
}

}  // namespace alias_internal
