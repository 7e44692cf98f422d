// Keeps the mail library non-empty until its first unit lands.
namespace tavik {
int VumLibraryVersion() { return 1; }
}  // namespace tavik
