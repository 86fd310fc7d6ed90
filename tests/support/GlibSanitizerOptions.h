#pragma once
// Include in one source file of a test program that loads GLib (the internet
// route, GStreamer). Sanitizer builds: GLib allocates one block while it is
// loaded and never frees it; full stacks tell that block (made under the
// loader) apart from anything of ours.

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif
