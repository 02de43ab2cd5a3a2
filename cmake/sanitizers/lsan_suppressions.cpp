// Leaks that LeakSanitizer reports from inside OpenImageIO: when libpng meets a damaged file it
// longjmps out of OpenImageIO's reader, skipping the destructors of strings the reader had
// allocated for its error message. Nothing of ours is held there, so only allocations made
// within that library are ignored.
extern "C" const char* __lsan_default_suppressions() { return "leak:libOpenImageIO.so\n"; }

// Without this the list of suppressions used is printed at exit, after the command's messages.
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }

// Allocations are traced with the full unwinder: the fast one stops at the first frame of a
// library built without frame pointers (libstdc++), before the OpenImageIO frame the
// suppression above names.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
