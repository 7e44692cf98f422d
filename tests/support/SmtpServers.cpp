#include "tests/support/SmtpServers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "platform/uClock.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace tavik::test {

namespace {

constexpr int kPollMs = 50;

void SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the client went away; its own test will say so
    done += static_cast<size_t>(n);
  }
}

bool StartsWithCaseBlind(const std::string& s, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::toupper(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

// Starts argv[0] with stdout going to outFd (-1: inherited); returns its pid.
pid_t Spawn(const std::vector<std::string>& args, int outFd, int closeInChild) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  if (closeInChild >= 0) posix_spawn_file_actions_addclose(&actions, closeInChild);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  return pid;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> FilesEndingWith(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::string SupportScript(const std::string& name) {
  return std::string(TAVIK_SOURCE_DIR) + "/tests/support/" + name;
}

// ---- TSmtpReply

TSmtpReply TSmtpReply::Raw(const std::string& bytes) {
  return Pieces({bytes});
}

TSmtpReply TSmtpReply::Lines(const std::vector<std::string>& lines, bool lineByLine) {
  TSmtpReply r;
  std::string whole;
  for (const std::string& line : lines) {
    if (lineByLine)
      r.pieces.push_back(line + "\r\n");
    else
      whole += line + "\r\n";
  }
  if (!lineByLine) r.pieces.push_back(whole);
  return r;
}

TSmtpReply TSmtpReply::Pieces(const std::vector<std::string>& pieces) {
  TSmtpReply r;
  r.pieces = pieces;
  return r;
}

TSmtpReply TSmtpReply::Silence() {
  TSmtpReply r;
  r.silent = true;
  return r;
}

TSmtpReply& TSmtpReply::ThenClose() {
  closeAfter = true;
  return *this;
}

std::string TSmtpReply::Text() const {
  std::string text;
  for (const std::string& p : pieces) text += p;
  return text;
}

// ---- TScriptedSmtpServer

TScriptedSmtpServer::TScriptedSmtpServer(std::vector<TSmtpReply> script, int pieceGapMs)
    : script_(std::move(script)), gapMs_(pieceGapMs) {}

TScriptedSmtpServer::~TScriptedSmtpServer() {
  Stop();
}

void TScriptedSmtpServer::Start() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("scripted server: socket failed");
  const int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listenFd_, 4) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    throw std::runtime_error(std::string("scripted server: ") + std::strerror(errno));
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { Run(); });
}

void TScriptedSmtpServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
}

std::vector<std::string> TScriptedSmtpServer::Commands() const {
  std::lock_guard g(lock_);
  return commands_;
}

std::vector<std::string> TScriptedSmtpServer::DataBlocks() const {
  std::lock_guard g(lock_);
  return data_;
}

void TScriptedSmtpServer::Run() {
  while (!stop_) {
    pollfd p{listenFd_, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    Serve(fd);
    close(fd);
  }
}

bool TScriptedSmtpServer::Answer(int fd) {
  TSmtpReply reply;
  {
    std::lock_guard g(lock_);
    if (next_ >= script_.size()) return false;
    reply = script_[next_++];
  }
  if (reply.silent) return true;
  for (size_t i = 0; i < reply.pieces.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs_));
    SendAll(fd, reply.pieces[i]);
  }
  return !reply.closeAfter;
}

void TScriptedSmtpServer::Serve(int fd) {
  // Without Nagle every piece leaves on its own, so the client really meets a split reply.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto silentNow = [this] {
    std::lock_guard g(lock_);
    return next_ > 0 && next_ <= script_.size() && script_[next_ - 1].silent;
  };
  if (!Answer(fd)) return;
  bool silent = silentNow();
  bool inData = false;
  std::string buffer;
  char chunk[4096];
  while (!stop_) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kPollMs) <= 0) continue;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    buffer.append(chunk, static_cast<size_t>(n));
    for (;;) {
      bool ask = false;
      if (inData) {
        // The block ends at a line holding a lone dot.
        size_t end = std::string::npos, skip = 0;
        if (buffer.compare(0, 3, ".\r\n") == 0) {
          end = 0;
          skip = 3;
        } else if (size_t at = buffer.find("\r\n.\r\n"); at != std::string::npos) {
          end = at + 2;
          skip = 3;
        }
        if (end == std::string::npos) break;
        {
          std::lock_guard g(lock_);
          data_.push_back(buffer.substr(0, end));
        }
        buffer.erase(0, end + skip);
        inData = false;
        ask = true;
      } else {
        const size_t nl = buffer.find('\n');
        if (nl == std::string::npos) break;
        std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        {
          std::lock_guard g(lock_);
          commands_.push_back(line);
        }
        ask = true;
        if (!silent && StartsWithCaseBlind(line, "DATA")) {
          std::lock_guard g(lock_);
          inData = next_ < script_.size() && script_[next_].Text().rfind("354", 0) == 0;
        }
      }
      if (ask && !silent) {
        if (!Answer(fd)) return;
        silent = silentNow();
      }
    }
  }
}

// ---- Servers run as scripts

int StartListeningScript(const std::vector<std::string>& args, int& pid) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(args[1] + ": pipe failed");
  try {
    pid = Spawn(args, out[1], out[0]);
  } catch (...) {
    close(out[0]);
    close(out[1]);
    throw;
  }
  close(out[1]);
  // The script names its port once it is listening.
  std::string said;
  const int64_t deadline = MonotonicMs() + 20000;
  while (said.find('\n') == std::string::npos && MonotonicMs() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[64];
    const ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  const int port = said.rfind("PORT ", 0) == 0 ? std::atoi(said.c_str() + 5) : 0;
  if (port <= 0) {
    StopScript(pid);
    throw std::runtime_error(args[1] + " did not start: " + said);
  }
  return port;
}

void StopScript(int& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  const int64_t deadline = MonotonicMs() + 5000;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (MonotonicMs() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid = -1;
}

// ---- TTricklingSmtpServer

TTricklingSmtpServer::TTricklingSmtpServer(TTrickle what, TTls tls, const std::string& cert,
                                           const std::string& key) {
  std::vector<std::string> args = {TestPython, SupportScript("trickle_smtp.py"), "--trickle",
                                   what == TTrickle::Handshake ? "handshake" : "reply"};
  if (tls != TTls::None)
    args.insert(args.end(),
                {"--tls", tls == TTls::Implicit ? "implicit" : "starttls", "--cert", cert, "--key", key});
  port_ = StartListeningScript(args, pid_);
}

TTricklingSmtpServer::~TTricklingSmtpServer() {
  StopScript(pid_);
}

// ---- TAioSmtpServer

TAioSmtpServer::TAioSmtpServer(std::optional<TAccount> account, std::optional<TTls> tls, std::string host)
    : account_(std::move(account)), tls_(std::move(tls)), host_(std::move(host)) {}

TAioSmtpServer::~TAioSmtpServer() {
  Stop();
}

void TAioSmtpServer::Start() {
  dir_ = std::make_unique<TTempDir>();
  std::vector<std::string> args = {TestPython, SupportScript("smtp_sink.py"), "--folder", dir_->Path()};
  if (account_) args.insert(args.end(), {"--user", account_->user, "--password", account_->password});
  if (tls_)
    args.insert(args.end(), {"--tls", tls_->mode == TTls::Implicit ? "implicit" : "starttls", "--cert",
                             tls_->cert, "--key", tls_->key});
  args.insert(args.end(), {"--host", host_});
  port_ = StartListeningScript(args, pid_);
}

void TAioSmtpServer::Stop() {
  StopScript(pid_);
}

std::vector<TReceivedMail> TAioSmtpServer::Messages() const {
  std::vector<TReceivedMail> mails;
  if (!dir_) return mails;
  for (const std::string& name : FilesEndingWith(dir_->Path(), ".eml")) {
    const std::string base = dir_->Path() + "/" + name.substr(0, name.size() - 4);
    TReceivedMail mail;
    std::vector<std::string> env = SplitLines(ReadFile(base + ".env"));
    if (!env.empty()) {
      mail.mailFrom = env.front();
      mail.rcptTos.assign(env.begin() + 1, env.end());
    }
    mail.raw = ReadFile(base + ".eml");
    mails.push_back(std::move(mail));
  }
  return mails;
}

// ---- TTestCerts

namespace {
void Openssl(const std::string& args) {
  const std::string cmd = "openssl " + args + " >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("failed: " + cmd);
}

std::string Capture(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}
}  // namespace

TTestCerts::TTestCerts() : dir(std::make_unique<TTempDir>()) {
  const std::string d = dir->Path() + "/";
  const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
  caPem = d + "ca.pem";
  Openssl("req -x509 " + ec + " -keyout " + d + "ca.key -out " + caPem +
          " -subj /CN=Tavik-Test-CA -addext basicConstraints=critical,CA:TRUE"
          " -addext keyUsage=critical,keyCertSign,cRLSign");
  auto signedFor = [&](const std::string& name, const std::string& san, std::string& pem, std::string& key) {
    key = d + name + ".key";
    pem = d + name + ".pem";
    WriteFile(d + name + ".ext", "subjectAltName=" + san + "\n");
    Openssl("req " + ec + " -keyout " + key + " -out " + d + name + ".csr -subj /CN=" + name);
    Openssl("x509 -req -in " + d + name + ".csr -CA " + caPem + " -CAkey " + d +
            "ca.key -CAcreateserial -out " + pem + " -days 2 -extfile " + d + name + ".ext");
  };
  signedFor("localhost", "DNS:localhost,IP:127.0.0.1,IP:::1", serverPem, serverKey);
  signedFor("mail.other.test", "DNS:mail.other.test", otherPem, otherKey);
  selfKey = d + "self.key";
  selfPem = d + "self.pem";
  Openssl("req -x509 " + ec + " -keyout " + selfKey + " -out " + selfPem +
          " -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1");
  const std::string fp = Capture("openssl x509 -noout -fingerprint -sha256 -in " + selfPem);
  const size_t eq = fp.find('=');
  if (eq == std::string::npos) throw std::runtime_error("no fingerprint: " + fp);
  selfFingerprint = fp.substr(eq + 1);
  while (!selfFingerprint.empty() && std::isspace(static_cast<unsigned char>(selfFingerprint.back())))
    selfFingerprint.pop_back();
}

TTestCerts::~TTestCerts() = default;

// ---- ParseMailWithPython

std::string TParsedMail::Header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
  return {};
}

TParsedMail ParseMailWithPython(const std::string& raw) {
  TTempDir dir;
  WriteFile(dir / "mail.eml", raw);
  const pid_t pid = Spawn({TestPython, SupportScript("mail_parts.py"), dir / "mail.eml", dir.Path()}, -1, -1);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("mail_parts.py failed");
  TParsedMail mail;
  for (const std::string& line : SplitLines(ReadFile(dir / "headers"))) {
    const size_t colon = line.find(": ");
    if (colon != std::string::npos) mail.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
  }
  for (const std::string& line : SplitLines(ReadFile(dir / "parts"))) {
    std::vector<std::string> f;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) f.push_back(field);
    f.resize(4);
    mail.parts.push_back({f[1], f[2], f[3], ReadFile(dir / ("part-" + f[0] + ".bin"))});
  }
  mail.defectText = ReadFile(dir / "defects");
  mail.defects = static_cast<int>(SplitLines(mail.defectText).size());
  mail.ToNames = SplitLines(ReadFile(dir / "tonames"));
  return mail;
}

TSpamScore ScoreWithSpamAssassin(const std::string& raw) {
  TTempDir dir;
  WriteFile(dir / "mail.eml", raw);
  const std::string outPath = dir / "scored";
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0) throw std::runtime_error("cannot write " + outPath);
  const pid_t pid =
      Spawn({"/bin/sh", "-c", "exec spamassassin -L -t < '" + dir / "mail.eml" + "' 2>&1"}, out, -1);
  ::close(out);
  int status = 0;
  waitpid(pid, &status, 0);
  const std::string scored = ReadFile(outPath);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("spamassassin -L -t failed (is it installed?): " + scored);
  std::smatch m;
  static const std::regex status_re("X-Spam-Status: (Yes|No), score=(-?[0-9.]+)");
  if (!std::regex_search(scored, m, status_re))
    throw std::runtime_error("spamassassin gave no score: " + scored);
  TSpamScore r;
  r.score = std::stod(m[2].str());
  const size_t report = scored.find("Content analysis details:");
  r.report = report == std::string::npos ? scored : scored.substr(report);
  return r;
}

}  // namespace tavik::test
