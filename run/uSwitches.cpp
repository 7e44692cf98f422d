#include "run/uSwitches.h"

#include <cctype>

namespace tavik {

bool HasSwitch(const std::vector<std::string>& args, char letter) {
  const int want = std::tolower(static_cast<unsigned char>(letter));
  for (const std::string& a : args) {
    if (a.size() == 2 && (a[0] == '-' || a[0] == '/') &&
        std::tolower(static_cast<unsigned char>(a[1])) == want)
      return true;
  }
  return false;
}

TSwitches ParseSwitches(const std::vector<std::string>& args) {
  TSwitches s;
  s.hidden = HasSwitch(args, 'h');
  s.silent = HasSwitch(args, 's');
  s.minimised = HasSwitch(args, 'm');
  s.preCheck = HasSwitch(args, 'p');
  return s;
}

}  // namespace tavik
