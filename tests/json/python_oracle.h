#pragma once

// Python itself as the reference: the JSON and number rules this project follows are
// CPython's, so tests hand a corpus to python3 and compare its answers with ours.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace json_test {

// Any byte string as one line of hex digits, so it crosses to Python unchanged.
inline std::string to_hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    out.push_back(kDigits[static_cast<unsigned char>(c) >> 4]);
    out.push_back(kDigits[static_cast<unsigned char>(c) & 0xF]);
  }
  return out;
}

inline std::string from_hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// Runs `python3 script` with the lines of `inputs` on its standard input and returns the
// lines it prints. Fails the test (with Python's error output) when python3 cannot run or
// exits non-zero, and when it prints another number of lines than it was given.
inline std::vector<std::string> run_python(const std::string &script,
                                           const std::vector<std::string> &inputs) {
  char dir_template[] = "/tmp/historian-py-XXXXXX";
  const char *dir = mkdtemp(dir_template);
  if (dir == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory";
    return {};
  }
  const std::filesystem::path base(dir);
  std::ofstream(base / "script.py") << script;
  {
    std::ofstream in(base / "input.txt");
    for (const std::string &line : inputs)
      in << line << '\n';
  }
  const std::string command = "python3 " + (base / "script.py").string() + " < " +
                              (base / "input.txt").string() + " 2> " +
                              (base / "stderr.txt").string();
  std::vector<std::string> lines;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run python3";
  } else {
    std::string out;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
      out.append(buf, n);
    const int status = pclose(pipe);
    std::ifstream err_file(base / "stderr.txt");
    const std::string err((std::istreambuf_iterator<char>(err_file)), {});
    if (status != 0) {
      ADD_FAILURE() << "python3 failed (is it installed?), status " << status << ":\n" << err;
    }
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
      lines.push_back(line);
  }
  std::filesystem::remove_all(base);
  EXPECT_EQ(lines.size(), inputs.size()) << "python3 answered a different number of lines";
  lines.resize(inputs.size());
  return lines;
}

} // namespace json_test
