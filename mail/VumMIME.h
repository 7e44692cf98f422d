#pragma once
// Generators of the message wire format: dates, zone offsets, Message-IDs and boundaries.
#include <string>

#include "platform/uClock.h"

namespace tavik {

// "Wed, 7 Dec 2011 14:05:09 +1300" in the local zone, with English names whatever the locale.
std::string MailDate(TDateTime t);
// The local zone's offset at t, as a mail date writes it ("+1300", "-0500", "-0000" at UTC).
std::string ZoneOffset(TDateTime t);
// biasMinutes as the system reports it: UTC = local time + bias, so east of UTC is negative.
std::string FormatZoneBias(int biasMinutes);
// "<VUM" yyyymmdd "$" X ".$" random "@" localHost ">"; X folds localAddr in, or is random.
// A localAddr part that is not a decimal number throws EQorvError.
std::string NewMessageId(const std::string& localHost, const std::string& localAddr);
// "----=_VUMbound_hh_nnss_yyyymmdd_XXXXXXXX.XXXXXXXX" from the current local time.
std::string NewBoundary();

}  // namespace tavik
