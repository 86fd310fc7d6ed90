// The window's tests run Qt, whose libraries report what is not ours; the
// suppressions, each with its reason, are in qt-lsan.supp and qt-tsan.supp.

extern "C" {
// Whole stacks for allocations, so that a suppression can name where in a
// library the allocation was made (the frame-pointer walk stops inside
// libraries built without frame pointers).
__attribute__((used, visibility("default"))) const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}
__attribute__((used, visibility("default"))) const char* __lsan_default_options() {
    return "suppressions=" ZELT_QT_LSAN_SUPPRESSIONS;
}
__attribute__((used, visibility("default"))) const char* __tsan_default_options() {
    return "suppressions=" ZELT_QT_TSAN_SUPPRESSIONS;
}
}
