#pragma once
// Temporary folders, a sealed environment and a scripted UI for the tests.
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "platform/uUiServices.h"

namespace tavik::test {

// A fresh folder below the system's temporary folder, removed with everything in it.
class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::string& Path() const { return path_; }
  // The system's own separator throughout, as the program builds paths.
  std::string operator/(const std::string& rel) const {
#ifdef _WIN32
    std::string r = path_ + "\\" + rel;
    for (char& c : r)
      if (c == '/') c = '\\';
    return r;
#else
    return path_ + "/" + rel;
#endif
  }

 private:
  std::string path_;
};

// Points HOME, XDG_DATA_HOME (Windows: APPDATA) and PROGRAMDATA into a temporary folder for the test's life,
// so no test ever touches the real all-users or per-user folders.
class TSealedEnv {
 public:
  TSealedEnv();
  ~TSealedEnv();
  std::string ProgramData() const { return dir_ / "programdata"; }
  std::string UserData() const { return dir_ / "userdata"; }
  std::string Home() const { return dir_ / "home"; }
  const TTempDir& Dir() const { return dir_; }

 private:
  TTempDir dir_;
  std::vector<std::pair<std::string, std::string>> saved_;
  std::vector<std::string> unset_;
};

// Sets or removes a variable of the process's environment.
void SetEnv(const std::string& name, const std::string& value);
void UnsetEnv(const std::string& name);

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
void SetMTime(const std::string& path, long long epochSeconds);
// Writes text over the start of path in place, then puts its access and modification times back:
// only the change time tells that the file was written.
void RewriteKeepingTimes(const std::string& path, const std::string& text);

// Runs "sha256sum -c SHA256SUMS" in folder (its output in output); true when it passed.
bool Sha256sumCheck(const std::string& folder, std::string* output = nullptr);
// The names in folder. Its SHA256SUMS, when there, must pass sha256sum -c (the test fails
// otherwise) and is left out: what the rotation's tests compare are the images.
std::set<std::string> ImageNames(const std::string& folder);

// A small disk of its own (a tmpfs) mounted over a folder for one test; unmounted however the
// test ends. Mounted() is false where mounting is not permitted.
class TSmallDisk {
 public:
  TSmallDisk(const std::string& at, const std::string& size);
  ~TSmallDisk();
  TSmallDisk(const TSmallDisk&) = delete;
  TSmallDisk& operator=(const TSmallDisk&) = delete;
  bool Mounted() const { return mounted_; }

 private:
  std::string at_;
  bool mounted_ = false;
};

// For a forked child: the first write that would take any file past bytes kills the process
// (SIGXFSZ, no core file), part way through the write that crosses it, as a kill or a power cut
// at that moment would.
void DieWhenAFileReaches(unsigned long long bytes);

// Sets the process's time zone (a TZ value) for a scope and restores the previous one.
class TScopedTz {
 public:
  explicit TScopedTz(const char* tz);
  ~TScopedTz();
  TScopedTz(const TScopedTz&) = delete;
  TScopedTz& operator=(const TScopedTz&) = delete;

 private:
  std::string saved_;
  bool had_ = false;
};

// Records every question and answers from its script; never blocks.
class TScriptedUi : public TUiServices {
 public:
  TScriptedUi();
  ~TScriptedUi() override;
  struct TAsked {
    std::string kind;  // "info", "warning", "error", "ari", "input"
    std::string text;
  };
  std::vector<TAsked> asked;
  std::deque<TMsgAnswer> ariAnswers;                      // default Abort when empty
  std::deque<std::pair<bool, std::string>> inputAnswers;  // default cancel
  int processed = 0;

  void ShowInfo(const std::string& text) override { asked.push_back({"info", text}); }
  void ShowWarning(const std::string& text) override { asked.push_back({"warning", text}); }
  void ShowError(const std::string& text) override { asked.push_back({"error", text}); }
  TMsgAnswer AskAbortRetryIgnore(const std::string& text) override;
  bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) override;
  void ProcessMessages() override { ++processed; }

 private:
  TUiServices* previous_;
};

}  // namespace tavik::test
