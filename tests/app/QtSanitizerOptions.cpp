// The window's tests run Qt, whose libraries report what is not ours; the
// suppressions, with their reasons, are in qt-sanitizers.supp.

extern "C" {
__attribute__((used, visibility("default"))) const char* __lsan_default_options() {
    return "suppressions=" ZELT_QT_SUPPRESSIONS;
}
__attribute__((used, visibility("default"))) const char* __tsan_default_options() {
    return "suppressions=" ZELT_QT_SUPPRESSIONS;
}
}
