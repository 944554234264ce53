// Reading the monitor's output and writing into its nodes.
#include "support/monitor_output.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

std::vector<std::string> ready_port_names(const std::string& out) {
  std::vector<std::string> names;
  size_t at = out.find("player options: ");
  if (at == std::string::npos) return names;
  std::istringstream words(out.substr(at + 16, out.find('\n', at) - at - 16));
  std::string flag, name;
  while (words >> flag >> name) names.push_back(name);
  return names;
}

std::string node_path(const std::string& port_name) {
  return port_name.rfind('/', 0) == 0 ? port_name : "/dev/" + port_name;
}

std::vector<std::string> port_lines(const std::string& out, int port) {
  std::vector<std::string> lines;
  std::istringstream stream(out);
  std::string line;
  const std::string mark = "  " + std::to_string(port) + "  ";
  while (std::getline(stream, line))
    if (line.size() > 17 && line[5] == '.' && line.compare(12, mark.size(), mark) == 0)
      lines.push_back(line.substr(17));
  return lines;
}

std::vector<std::string> log_bytes(const std::string& log, int port) {
  std::vector<std::string> bytes;
  std::istringstream stream(log);
  std::string line;
  long long last_ns = 0;
  while (std::getline(stream, line)) {
    int line_port = -1;
    long long ns = 0;
    int consumed = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "%d %lld %n", &line_port, &ns, &consumed), 2) << line;
    if (line_port != port) continue;
    EXPECT_GE(ns, last_ns) << line;
    last_ns = ns;
    bytes.push_back(line.substr(static_cast<size_t>(consumed)));
  }
  return bytes;
}

void write_node(const std::string& path, const Bytes& bytes) {
  int fd = open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}
