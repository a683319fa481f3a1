// LeakSanitizer's hook for the user-interface tests: fontconfig's caches and Qt D-Bus's
// per-process connection data live until exit by design; our own allocations stay checked.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libQt6DBus.so\n";
}
