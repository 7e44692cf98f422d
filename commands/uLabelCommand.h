#pragma once
// "--label <ID>": writes the disk's identity file as a run labels a new disk, so a disk can be
// named before its first night, and a folder is never taken for a disk by mistake.
#include <string>
#include <vector>

#include "commands/uCommand.h"

namespace tavik {

int LabelCommand(const std::vector<std::string>& args, TCommandStreams io);
// The same for the job file at jobPath.
int LabelCommand(const std::vector<std::string>& args, TCommandStreams io, const std::string& jobPath);

}  // namespace tavik
