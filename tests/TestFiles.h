// Files for the tests: a temporary directory removed with everything in it,
// and whole files read and written.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace IfaTest {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ifa-test.XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(TempDir const&) = delete;
  TempDir& operator=(TempDir const&) = delete;
  std::string file(std::string const& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string contents(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void write(std::string const& path, std::string const& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace IfaTest
