// The window's tests run Qt, whose libraries report what is not ours; the
// suppressions, each with its reason, are in qt-lsan.supp and qt-tsan.supp.

extern "C" {
__attribute__((used, visibility("default"))) const char* __lsan_default_options() {
    return "suppressions=" ZELT_QT_LSAN_SUPPRESSIONS;
}
__attribute__((used, visibility("default"))) const char* __tsan_default_options() {
    return "suppressions=" ZELT_QT_TSAN_SUPPRESSIONS;
}
}
