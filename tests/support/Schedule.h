#pragma once
// The weekday schedule as a test wants it: the same disk every day and every day checked, so what
// a run does never depends on today's weekday.
#include <string>

#include "notify/uNotifier.h"

namespace tavik::test {

inline void ScheduleEveryDay(TNotifier& n, const std::string& diskId) {
  n.IDDisk = true;
  for (bool TNotifier::*flag :
       {&TNotifier::IDDiskSun, &TNotifier::IDDiskMon, &TNotifier::IDDiskTue, &TNotifier::IDDiskWed,
        &TNotifier::IDDiskThur, &TNotifier::IDDiskFri, &TNotifier::IDDiskSat})
    n.*flag = true;
  for (std::string TNotifier::*id :
       {&TNotifier::SundayID, &TNotifier::MondayID, &TNotifier::TuesdayID, &TNotifier::WednesdayID,
        &TNotifier::ThursdayID, &TNotifier::FridayID, &TNotifier::SaturdayID})
    n.*id = diskId;
}

}  // namespace tavik::test
