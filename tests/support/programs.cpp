// Shared test helpers: programs on the PATH and unprivileged runs.
#include "support/programs.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether path is a regular file that this process may execute.
bool executable_file(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string find_on_path(const std::string& name, const char* path_list) {
  if (path_list == nullptr || name.empty()) return "";
  std::string list = path_list;
  size_t start = 0;
  for (;;) {
    size_t end = list.find(':', start);
    std::string dir = list.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (executable_file(candidate)) return candidate;
    if (end == std::string::npos) return "";
    start = end + 1;
  }
}

// setpriv changes the ids alone; runuser goes through the account, so it
// needs nobody's name.
std::vector<std::string> unprivileged(const std::vector<std::string>& argv, std::string& why) {
  if (geteuid() != 0) return argv;
  const char* path = getenv("PATH");
  std::vector<std::string> wrapped;
  std::string setpriv = find_on_path("setpriv", path);
  std::string runuser = find_on_path("runuser", path);
  if (!setpriv.empty()) {
    wrapped = {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
  } else if (!runuser.empty()) {
    wrapped = {runuser, "-u", "nobody", "--"};
  } else {
    why = "running as root, and neither setpriv nor runuser is on the PATH to drop the privilege";
    return {};
  }
  wrapped.insert(wrapped.end(), argv.begin(), argv.end());
  return wrapped;
}
