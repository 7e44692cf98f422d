// Sends a mail with a 240 KiB attachment to a local aiosmtpd with TVumSMTP and, in the same run,
// the very bytes that arrived with Python's smtplib, and prints the time per send of both: once
// over plain SMTP, once with the 240 KiB run log through STARTTLS (both sides checking the
// server's certificate against the same CA).
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "mail/VumMsg.h"
#include "mail/VumSMTP.h"
#include "platform/uClock.h"
#include "tests/support/SmtpServers.h"
#include "tests/support/TestSupport.h"

using namespace tavik;

namespace {

constexpr int kSends = 20;
constexpr int kRounds = 3;

struct TTransport {
  const char* host = "127.0.0.1";
  TSmtpSecurity security = ssNone;
  std::string caFile;
};

double TavikSecondsPerSend(int port, TVumMsg& msg, const TTransport& t) {
  const int64_t start = MonotonicMs();
  for (int i = 0; i < kSends; ++i) {
    TVumSMTP smtp;
    smtp.Host = t.host;
    smtp.Port = std::to_string(port);
    smtp.Security = t.security;
    smtp.CAFile = t.caFile;
    if (!smtp.Connect() || !smtp.SendMessage(msg)) {
      std::fprintf(stderr, "TVumSMTP send failed: %s %s %s\n", smtp.ReplyCode().c_str(),
                   smtp.ReplyText().c_str(), smtp.TlsError().c_str());
      std::exit(1);
    }
    smtp.Disconnect();
  }
  return (MonotonicMs() - start) / 1000.0 / kSends;
}

double SmtplibSecondsPerSend(int port, const std::string& messageFile, const TTransport& t) {
  const std::string command = std::string(test::TestPython) + " " + test::SupportScript("smtplib_send.py") +
                              (t.caFile.empty() ? "" : " --starttls '" + t.caFile + "'") + " " +
                              std::to_string(port) + " '" + messageFile + "' " + std::to_string(kSends) +
                              " backup@example.org ann@example.org";
  std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
  double seconds = 0;
  if (!out || std::fscanf(out.get(), "%lf", &seconds) != 1) {
    std::fprintf(stderr, "smtplib run failed\n");
    std::exit(1);
  }
  return seconds;
}

// One row: the message composed once, the best of the rounds on each side.
void Row(const char* name, test::TAioSmtpServer& server, const std::string& attachmentPath,
         const TTransport& t, const test::TTempDir& dir) {
  TVumMsg msg;
  msg.SetFrom("Backup <backup@example.org>");
  msg.SetSendTo("ann@example.org");
  msg.Subject = "Benchmark";
  msg.Text() = {"A mail with an attachment."};
  msg.Attachments().Add(attachmentPath);
  msg.Compose();
  server.Start();
  // The first send also gives the bytes that smtplib is to send: the same message as received.
  TavikSecondsPerSend(server.Port(), msg, t);
  const std::string eml = dir / (std::string(name) + ".eml");
  test::WriteFile(eml, server.Messages().front().raw);
  double tavik = 1e9, python = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    tavik = std::min(tavik, TavikSecondsPerSend(server.Port(), msg, t));
    python = std::min(python, SmtplibSecondsPerSend(server.Port(), eml, t));
  }
  std::printf("%s: %zu lines, %zu bytes on the wire; best of %d rounds of %d sends\n", name,
              msg.RawMail().size(), server.Messages().front().raw.size(), kRounds, kSends);
  std::printf("  TVumSMTP: %.2f ms per send\n", tavik * 1000);
  std::printf("  smtplib:  %.2f ms per send\n", python * 1000);
  std::printf("  ratio TVumSMTP / smtplib: %.2f\n", tavik / python);
  server.Stop();
}

}  // namespace

int main() {
  test::TTempDir dir;
  std::string attachment(240 * 1024, '\0');
  for (size_t i = 0; i < attachment.size(); ++i) attachment[i] = static_cast<char>((i * 2654435761u) >> 13);
  test::WriteFile(dir / "image.bin", attachment);
  std::string log;
  for (int i = 0; log.size() < 240 * 1024; ++i)
    log += "[07/12/26 02:00:00.000]\t0\tFile copying /srv/images/SRV_C_VOL-b002-i" + std::to_string(i) +
           ".spi to /media/backup/vol1/\r\n";
  log.resize(240 * 1024);
  test::WriteFile(dir / "run.log", log);

  test::TAioSmtpServer plain;
  Row("plain SMTP", plain, dir / "image.bin", {}, dir);

  const test::TTestCerts certs;
  test::TAioSmtpServer secure(std::nullopt, test::TAioSmtpServer::TTls{test::TAioSmtpServer::TTls::StartTls,
                                                                       certs.serverPem, certs.serverKey});
  Row("STARTTLS", secure, dir / "run.log", {"localhost", ssStartTls, certs.caPem}, dir);
  return 0;
}
