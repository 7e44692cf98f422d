#pragma once
// The command-line switches: "-" or "/" followed by exactly one letter, in any case.
#include <string>
#include <vector>

namespace tavik {

struct TSwitches {
  bool hidden = false;     // "h"
  bool silent = false;     // "s"
  bool minimised = false;  // "m"
  bool preCheck = false;   // "P"
  bool Unattended() const { return hidden || silent; }
};

bool HasSwitch(const std::vector<std::string>& args, char letter);
TSwitches ParseSwitches(const std::vector<std::string>& args);

}  // namespace tavik
