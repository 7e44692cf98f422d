#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tavik::test {

TTempDir::~TTempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; give the owner write access back first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

TSealedEnv::TSealedEnv() {
  const std::pair<const char*, std::string> vars[] = {{"HOME", Home()},
                                                      {"XDG_DATA_HOME", UserData()},
                                                      {"APPDATA", UserData()},
                                                      {"PROGRAMDATA", ProgramData()}};
  for (const auto& [name, value] : vars) {
    std::filesystem::create_directories(value);
    if (const char* old = std::getenv(name))
      saved_.emplace_back(name, old);
    else
      unset_.emplace_back(name);
    SetEnv(name, value);
  }
}

TSealedEnv::~TSealedEnv() {
  for (const auto& [name, value] : saved_) SetEnv(name, value);
  for (const auto& name : unset_) UnsetEnv(name);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::set<std::string> ImageNames(const std::string& folder) {
  std::set<std::string> r;
  for (const auto& e : std::filesystem::directory_iterator(folder)) r.insert(e.path().filename().string());
  if (r.erase("SHA256SUMS") > 0) {
    std::string output;
    EXPECT_TRUE(Sha256sumCheck(folder, &output)) << folder << ":\n" << output;
  }
  return r;
}

TScriptedUi::TScriptedUi() : previous_(SetUi(this)) {}
TScriptedUi::~TScriptedUi() {
  SetUi(previous_);
}

TMsgAnswer TScriptedUi::AskAbortRetryIgnore(const std::string& text) {
  asked.push_back({"ari", text});
  if (ariAnswers.empty()) return TMsgAnswer::Abort;
  TMsgAnswer a = ariAnswers.front();
  ariAnswers.pop_front();
  return a;
}

bool TScriptedUi::InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
  asked.push_back({"input", caption + "|" + prompt + "|" + value});
  if (inputAnswers.empty()) return false;
  auto [ok, text] = inputAnswers.front();
  inputAnswers.pop_front();
  if (ok) value = text;
  return ok;
}

}  // namespace tavik::test
