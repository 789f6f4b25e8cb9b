// ThreadSanitizer sees libpulse's locks but not the uninstrumented code around them: the lazily
// made lock of a once-initialisation inside libpulse then looks unordered between its main
// loop's thread and ours. Only reports from inside those lock calls are suppressed; races in
// our own code, including the code libpulse calls back, are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:pa_mutex_lock\n"
           "race:pa_mutex_unlock\n";
}
