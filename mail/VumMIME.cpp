#include "mail/VumMsg.h"
#include "platform/uErrors.h"

namespace tavik {
// Temporary until the composer lands in this unit.
void TVumMsg::Compose() {
  throw EQorvError("Compose is not built yet");
}
}  // namespace tavik
