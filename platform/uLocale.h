#pragma once
// The user's date and time separators, as the C library's LC_TIME locale writes them.
namespace tavik {
char LocaleDateSeparator();
char LocaleTimeSeparator();
// Tests choose the separators of another locale without needing it installed; 0 restores.
void OverrideLocaleSeparators(char date, char time);
}  // namespace tavik
