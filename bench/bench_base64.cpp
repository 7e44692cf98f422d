// Base64 of a large attachment: our 76-character stream against coreutils base64, file to file.
// Usage: bench_base64 [MiB]   (default 256)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "mail/VumAttFile.h"
#include "platform/uSystem.h"

using namespace tavik;

namespace {

double Seconds(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long long FileSize(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return -1;
  std::fseek(f, 0, SEEK_END);
  long long n = std::ftell(f);
  std::fclose(f);
  return n;
}

double TimeCoreutils(const std::string& args, const std::string& in, const std::string& out) {
  std::string cmd = "base64 " + args + " '" + in + "' > '" + out + "'";
  auto start = std::chrono::steady_clock::now();
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", cmd.c_str());
    std::exit(1);
  }
  return Seconds(start);
}

double TimeStream(const std::string& in, const std::string& out) {
  auto start = std::chrono::steady_clock::now();
  int src = ::open(in.c_str(), O_RDONLY);
  TFile dst = TFile::CreateAlways(out, ShareNone);
  if (src < 0 || !dst.IsOpen()) {
    std::perror("open");
    std::exit(1);
  }
  {
    TFileSink sink(std::move(dst), out);
    TBase64EncodingStream enc(sink);
    std::vector<char> buf(1 << 20);
    ssize_t n;
    while ((n = ::read(src, buf.data(), buf.size())) > 0) enc.Write(buf.data(), static_cast<size_t>(n));
    enc.Finish();
    sink.Close();
  }
  ::close(src);
  return Seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  const long long mib = argc > 1 ? std::atoll(argv[1]) : 256;
  const long long bytes = mib << 20;
  const std::string dir = TempFolderPath();
  const std::string tag = std::to_string(::getpid());
  const std::string in = dir + "bench_b64_in_" + tag, out = dir + "bench_b64_out_" + tag;

  {
    std::mt19937_64 gen(1);
    std::vector<unsigned long long> block((1 << 20) / 8);
    FILE* f = std::fopen(in.c_str(), "wb");
    for (long long done = 0; done < bytes; done += 1 << 20) {
      for (auto& w : block) w = gen();
      std::fwrite(block.data(), 1, 1 << 20, f);
    }
    std::fclose(f);
  }
  // One untimed pass each warms the page cache for all three.
  TimeStream(in, out);

  double ours = TimeStream(in, out);
  long long ourSize = FileSize(out);
  double w76 = TimeCoreutils("-w 76", in, out);
  long long w76Size = FileSize(out);
  double w0 = TimeCoreutils("-w 0", in, out);
  std::remove(in.c_str());
  std::remove(out.c_str());

  const double gb = static_cast<double>(bytes) / 1e9;
  std::printf("input: %lld MiB\n", mib);
  std::printf("TBase64EncodingStream (76, CRLF): %.3f s  %.2f GB/s  (%lld bytes out)\n", ours, gb / ours,
              ourSize);
  std::printf("coreutils base64 -w 76 (LF):      %.3f s  %.2f GB/s  (%lld bytes out)\n", w76, gb / w76,
              w76Size);
  std::printf("coreutils base64 -w 0:            %.3f s  %.2f GB/s\n", w0, gb / w0);
  std::printf("ratio coreutils -w 76 / ours: %.2f\n", w76 / ours);
  std::printf("ratio coreutils -w 0  / ours: %.2f  (goal: >= 1)\n", w0 / ours);
  return 0;
}
