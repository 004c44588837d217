#include "test_support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace test_support {

namespace {

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value != nullptr ? value : "");  // an empty value removes it
#else
  if (value != nullptr) setenv(name, value, 1);
  else unsetenv(name);
#endif
}

}  // namespace

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::random_device seed;
  std::mt19937 random(seed());
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "updater-test-%08x", static_cast<unsigned>(random()));
    std::error_code error;
    if (fs::create_directory(base / name, error)) path_ = (base / name).string();
  }
  if (path_.empty()) {
    ADD_FAILURE() << "cannot make a scratch folder in " << base;
    return;
  }
  // Private, as mkdtemp makes it.
  std::error_code ignored;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace, ignored);
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests make things read-only; give the owner back every right first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& dir)
    : previous_(std::filesystem::current_path().string()) {
  std::filesystem::current_path(dir);
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = std::getenv(name);
  hadPrevious_ = old != nullptr;
  if (hadPrevious_) previous_ = old;
  SetVariable(name, value);
}

ScopedEnv::~ScopedEnv() {
  SetVariable(name_.c_str(), hadPrevious_ ? previous_.c_str() : nullptr);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace test_support
