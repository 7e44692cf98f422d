#pragma once
// SMTP servers on 127.0.0.1 for the tests: a scripted one on a thread of the test, for odd, split
// and missing replies, and a real aiosmtpd run as a child process, for delivery end to end.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tavik::test {

class TTempDir;

// One reply of the scripted server.
struct TSmtpReply {
  std::vector<std::string> pieces;  // written one after another, with a pause between
  bool silent = false;              // never answer again on this connection
  bool closeAfter = false;          // close the connection once written

  TSmtpReply() = default;
  // One line; CR LF is added.
  TSmtpReply(const char* line) : pieces{std::string(line) + "\r\n"} {}  // NOLINT: scripts read as text
  TSmtpReply(const std::string& line) : pieces{line + "\r\n"} {}        // NOLINT
  static TSmtpReply Raw(const std::string& bytes);                      // exactly these bytes, in one write
  // Lines ended by CR LF each; lineByLine writes every line on its own, as many servers do.
  static TSmtpReply Lines(const std::vector<std::string>& lines, bool lineByLine);
  static TSmtpReply Pieces(const std::vector<std::string>& pieces);
  static TSmtpReply Silence();
  TSmtpReply& ThenClose();
  std::string Text() const;
};

// Answers from its script: the first reply is the greeting, each further one answers one command
// (a DATA block up to its "." line counts as one). When the script runs out it closes the
// connection. Connections are served one after another and share the script.
class TScriptedSmtpServer {
 public:
  explicit TScriptedSmtpServer(std::vector<TSmtpReply> script, int pieceGapMs = 40);
  ~TScriptedSmtpServer();
  TScriptedSmtpServer(const TScriptedSmtpServer&) = delete;
  TScriptedSmtpServer& operator=(const TScriptedSmtpServer&) = delete;

  void Start();  // listening when it returns
  int Port() const { return port_; }
  void Stop();  // closes everything; also done by the destructor

  std::vector<std::string> Commands() const;    // every command line received, without its CR LF
  std::vector<std::string> DataBlocks() const;  // each DATA block's bytes before its "." line
  int Connections() const { return connections_; }

 private:
  void Run();
  void Serve(int fd);
  bool Answer(int fd);  // false when the connection is to end

  std::vector<TSmtpReply> script_;
  size_t next_ = 0;
  int gapMs_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  mutable std::mutex lock_;
  std::vector<std::string> commands_;
  std::vector<std::string> data_;
};

// A server that answers a byte at a time, for ever, on one connection: the TLS handshake
// (STARTTLS or from the first byte), the greeting inside TLS, or the plain reply to EHLO/HELO.
class TTricklingSmtpServer {
 public:
  enum class TTrickle { Handshake, Reply };
  enum class TTls { None, StartTls, Implicit };
  // Listening when it returns; cert and key (PEM files) serve the TLS side.
  TTricklingSmtpServer(TTrickle what, TTls tls, const std::string& cert = "", const std::string& key = "");
  ~TTricklingSmtpServer();
  TTricklingSmtpServer(const TTricklingSmtpServer&) = delete;
  TTricklingSmtpServer& operator=(const TTricklingSmtpServer&) = delete;
  int Port() const { return port_; }

 private:
  int pid_ = -1;
  int port_ = 0;
};

// Starts a server script that prints "PORT <n>" once listening; returns that port (pid set).
// Throws std::runtime_error when it does not come up. StopScript ends it and waits for it.
int StartListeningScript(const std::vector<std::string>& args, int& pid);
void StopScript(int& pid);

struct TReceivedMail {
  std::string mailFrom;
  std::vector<std::string> rcptTos;
  std::string raw;  // the message as received, dot-stuffing undone
};

// aiosmtpd under the system's python, on a free loopback port. With an account it offers
// AUTH LOGIN and PLAIN on the plain connection, insists on them and accepts only that account.
class TAioSmtpServer {
 public:
  struct TAccount {
    std::string user;
    std::string password;
  };
  // How the server secures its connections; the certificate and key are PEM files.
  struct TTls {
    enum { StartTls, Implicit } mode = StartTls;
    std::string cert;
    std::string key;
  };
  explicit TAioSmtpServer(std::optional<TAccount> account = std::nullopt,
                          std::optional<TTls> tls = std::nullopt, std::string host = "127.0.0.1");
  ~TAioSmtpServer();
  TAioSmtpServer(const TAioSmtpServer&) = delete;
  TAioSmtpServer& operator=(const TAioSmtpServer&) = delete;

  void Start();  // throws std::runtime_error when the server does not come up
  int Port() const { return port_; }
  std::vector<TReceivedMail> Messages() const;  // in the order received
  void Stop();

 private:
  std::optional<TAccount> account_;
  std::optional<TTls> tls_;
  std::string host_;
  std::unique_ptr<TTempDir> dir_;
  int pid_ = -1;
  int port_ = 0;
};

// A message taken apart by Python's email package.
struct TParsedMail {
  struct TPart {
    std::string contentType;
    std::string fileName;
    std::string charset;
    std::string payload;  // decoded
  };
  std::vector<std::pair<std::string, std::string>> headers;  // decoded, unfolded, in order
  std::vector<TPart> parts;                                  // the leaves, in order
  int defects = 0;                   // what a standards-following reader (policy default) finds wrong
  std::string defectText;            // those defects, one per line
  std::vector<std::string> ToNames;  // display names of To as that reader gives them
  std::string Header(const std::string& name) const;  // first of that name, case-blind; "" if none
};
TParsedMail ParseMailWithPython(const std::string& raw);

// What spamassassin's local rules make of a mail: its score and its report. Throws when the
// scorer is missing or fails, so a test that needs it fails rather than passing unscored.
struct TSpamScore {
  double score = 0;
  std::string report;
};
TSpamScore ScoreWithSpamAssassin(const std::string& raw);

// Certificates made for a test run by the openssl tool, in a folder of their own: a CA, a server
// certificate it signed for localhost, 127.0.0.1 and ::1, one it signed for another name, and a
// self-signed one for localhost with its SHA-256 fingerprint.
struct TTestCerts {
  TTestCerts();  // throws std::runtime_error when openssl fails
  ~TTestCerts();
  std::string caPem, serverPem, serverKey, otherPem, otherKey, selfPem, selfKey;
  std::string selfFingerprint;  // "AB:CD:..." as the openssl tool prints it
  std::unique_ptr<TTempDir> dir;
};

// The system's python for the tests, and this folder's scripts.
inline constexpr const char* TestPython = "/usr/bin/python3";
std::string SupportScript(const std::string& name);

}  // namespace tavik::test
