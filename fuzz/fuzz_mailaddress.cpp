// The message's address lists take the settings' From, To, CC and BCC texts as typed.
#include <cstdint>
#include <string>

#include "QorvLib/uQorvFiles.h"
#include "mail/VumMsg.h"
#include "platform/uErrors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  static tavik::TVumMsg msg;  // one message: its constructor seeds the boundary generator
  msg.SetSendTo(text);
  msg.SetFrom(text);
  msg.SetCC(text);
  msg.SetBCC(text);
  msg.SetReplyTo(text);
  const tavik::TAddressList& to = msg.SendToList();
  for (int i = 0; i < to.Count(); ++i)
    if (to.Items(i).Address.empty()) __builtin_trap();  // an entry without an address is dropped
  (void)msg.SendTo();
  (void)msg.SendToName();
  (void)msg.SendToAddress();
  (void)msg.ReplyTo();
  (void)msg.ReplyToAddress();
  (void)msg.ReplyToName();
  (void)msg.FromList().Render(true);
  try {
    (void)tavik::ParseMailAddress(text);
  } catch (const tavik::EQorvError&) {
    // The documented refusal of an unparsable entry.
  }
  return 0;
}
