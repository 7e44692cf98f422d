#pragma once
// A check service stand-in for the ping tests (plain HTTP on loopback), and the metrics file as
// the Prometheus client reads it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SmtpServers.h"

namespace tavik::test {

// An HTTP server on loopback that records each request and answers with status, or, silent,
// never answers at all.
class THttpSink {
 public:
  struct TRequest {
    std::string method, path, body;
  };
  explicit THttpSink(int status = 200, bool silent = false) : status_(status), silent_(silent) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 8) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "cannot listen";
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~THttpSink() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/ping/abc"; }
  std::vector<TRequest> Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
  }

 private:
  bool Wait(int fd) {
    while (!stop_) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) return true;
    }
    return false;
  }
  void Serve() {
    while (Wait(fd_)) {
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      std::string data;
      char buf[4096];
      size_t headerEnd = std::string::npos;
      size_t want = 0;
      while (Wait(c)) {
        const ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
        if (headerEnd == std::string::npos && (headerEnd = data.find("\r\n\r\n")) != std::string::npos) {
          const size_t cl = data.find("Content-Length: ");
          want = cl < headerEnd ? std::stoul(data.substr(cl + 16)) : 0;
        }
        if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + want) break;
      }
      if (headerEnd != std::string::npos) {
        const size_t sp1 = data.find(' '), sp2 = data.find(' ', sp1 + 1);
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(
            {data.substr(0, sp1), data.substr(sp1 + 1, sp2 - sp1 - 1), data.substr(headerEnd + 4)});
      }
      if (silent_) {
        while (Wait(c)) {
          if (::read(c, buf, sizeof buf) <= 0) break;
        }
      } else {
        const std::string reply =
            "HTTP/1.1 " + std::to_string(status_) + " X\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK";
        (void)!::write(c, reply.data(), reply.size());
      }
      ::close(c);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  int status_;
  bool silent_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<TRequest> requests_;
  std::thread thread_;
};

// Every sample as "name{label=value}" -> value, read by the Prometheus client's own parser.
inline std::map<std::string, double> ParseWithPrometheus(const std::string& file) {
  const std::string cmd = std::string(TestPython) +
                          " -c 'import sys\n"
                          "from prometheus_client.parser import text_string_to_metric_families as p\n"
                          "for f in p(open(sys.argv[1]).read()):\n"
                          "  assert f.type == \"gauge\" and f.documentation, f.name\n"
                          "  for s in f.samples:\n"
                          "    l = \",\".join(k + \"=\" + v for k, v in sorted(s.labels.items()))\n"
                          "    print(s.name + \"{\" + l + \"}\\t\" + repr(s.value))\n' " +
                          file + " 2>&1";
  std::map<std::string, double> r;
  FILE* p = ::popen(cmd.c_str(), "r");
  char line[4096];
  while (p && std::fgets(line, sizeof line, p)) {
    const std::string l(line);
    const size_t tab = l.find('\t');
    if (tab == std::string::npos) {
      ADD_FAILURE() << "parser: " << l;
      continue;
    }
    r[l.substr(0, tab)] = std::stod(l.substr(tab + 1));
  }
  EXPECT_EQ(p ? ::pclose(p) : -1, 0);
  return r;
}

}  // namespace tavik::test
