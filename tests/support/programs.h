// Shared test helpers: finding a program on the PATH, and the command line
// that runs a program as a user without any privilege.
#pragma once

#include <string>
#include <vector>

// The first executable regular file called name in the directories of
// path_list (a PATH value, entries separated by ':', an empty entry being
// the current directory), or "" when there is none or path_list is null.
std::string find_on_path(const std::string& name, const char* path_list);

// The command line that runs argv (argv[0] a path) as a user without
// privilege: argv itself when this process is not root; as root, argv
// behind setpriv (or else runuser) as nobody, 65534, without supplementary
// groups. Empty, with why saying so, when root has neither tool.
std::vector<std::string> unprivileged(const std::vector<std::string>& argv, std::string& why);
