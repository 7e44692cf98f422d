#pragma once
// The user's date and time separators, as the C library's LC_TIME locale writes them.
namespace tavik {
// Always one printable ASCII character: a locale whose separator is anything else (a multi-byte
// character such as a CJK date mark, a blank, nothing) gets "/" and ":".
char LocaleDateSeparator();
char LocaleTimeSeparator();
// The separator a strftime format puts between its fields, or fallback when that is not one
// printable ASCII character.
char SeparatorOf(const char* format, char fallback);
// Tests choose the separators of another locale without needing it installed; 0 restores.
void OverrideLocaleSeparators(char date, char time);
}  // namespace tavik
