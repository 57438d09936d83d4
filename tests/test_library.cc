// Loaded at run time by the binder's tests.
extern "C" int palisadeTestEntry() { return 42; }
