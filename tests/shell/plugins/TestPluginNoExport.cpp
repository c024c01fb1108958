// A plug-in UI library that lacks the settings entry point.

extern "C" __attribute__((visibility("default"))) int SomethingElse() { return 42; }
