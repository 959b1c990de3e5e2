// Linked into every program and test program of a sanitizer build (and only there): the one
// place for the sanitizers' built-in options and suppressions.

#if defined(__SANITIZE_THREAD__)
// Qt (as packaged) is not built for ThreadSanitizer: its own locks and queues are invisible to
// it, so every hand-over between Qt's threads looks like a race. Reports that pass through Qt,
// libdbus or GLib are dropped; races in our own threads (the link stack, the delivery threads,
// the proxy's state) are still reported.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6\n"
         "race:libdbus-1\n"
         "race:libglib-2.0\n"
         "mutex:libQt6\n"
         "deadlock:libQt6\n"
         "deadlock:libdbus-1\n";
}

// Programs and tests start other programs (QProcess, fork + exec) while threads run; the child
// only calls exec.
extern "C" const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif

#if defined(__SANITIZE_ADDRESS__)
// fontconfig keeps caches for the life of the process (widgets with text load it).
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n";
}
#endif
