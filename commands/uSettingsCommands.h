#pragma once
// "--set" and "--settings": the notification settings from a shell, each key and value checked
// before anything is written, and saved exactly as the dialog's OK saves them.
#include <string>
#include <vector>

#include "commands/uCommand.h"

namespace tavik {

// The name of every notification setting, in the order the settings file holds them.
std::vector<std::string> SettingKeyNames();

// Each returns its exit status.
int SetSettingsCommand(const std::vector<std::string>& assignments, TCommandStreams io);
int PrintSettingsCommand(TCommandStreams io);

}  // namespace tavik
