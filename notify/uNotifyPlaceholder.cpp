// Keeps the notify library non-empty until its first unit lands.
namespace tavik {
int NotifyLibraryVersion() { return 1; }
}  // namespace tavik
