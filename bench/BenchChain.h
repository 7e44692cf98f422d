#pragma once
// What the rotation's benchmarks share: a chain of tiny incrementals and one volume's rotation
// of it, with the run's own log lines and a window that shows nothing.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "QorvLib/uQorvFileCopier.h"
#include "QorvLib/uQorvLogger.h"
#include "core/uRotation.h"
#include "core/uRunOutput.h"
#include "notify/uNotifier.h"

namespace tavik::bench {

// What the window would show, kept as cheap as the offscreen window's own labels.
struct TQuietView : TRunView, TProgressTarget {
  void AppendLog(const std::string&) override {}
  void SetStatus(const std::string&) override {}
  void SetStatus2(const std::string&) override {}
  void SetStarted(const std::string&) override {}
  void SetFinished(const std::string&) override {}
  TProgressTarget& Prog() override { return *this; }
  void ProcessMessages() override {}
  void RequestClose() override {}
  void SetMax(int) override {}
  void SetPosition(int v) override { pos = v; }
  int Position() const override { return pos; }
  int pos = 0;
};

constexpr size_t IncrementSize = 4096;

// A full image and n incrementals of its chain, with their times in chain order.
inline void MakeChain(const std::string& folder, int n) {
  std::filesystem::create_directories(folder);
  std::string bytes(IncrementSize, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + 7);
  std::ofstream(folder + "/SRV_C_VOL-b001.spf", std::ios::binary) << bytes;
  char name[64];
  for (int i = 1; i <= n; ++i) {
    std::snprintf(name, sizeof name, "/SRV_C_VOL-b001-i%05d.spi", i);
    bytes[0] = static_cast<char>(i);
    std::ofstream(folder + name, std::ios::binary) << bytes;
  }
}

// One volume's rotation of the chain in src onto dst, as a run makes it.
inline void RotateChain(const std::string& src, const std::string& dst) {
  TQorvLogger logger;
  logger.ConfigureLog(true, "TavikShadowCopy", "");
  TQuietView view;
  TLineOutput out(logger, view);
  TQorvFileCopier fc;
  fc.ProgBar = &view;
  fc.KeepFileDate = true;
  TNotifier notifier;
  notifier.CreateDestFolder = true;
  RotateVolume(out, fc, notifier, TVolumeJob{src, dst, "SRV_C_VOL", true, true});
}

}  // namespace tavik::bench
