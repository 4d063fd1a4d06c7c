// The program's version as text, "calendario 1.0.0", for whoever asks the Linux program which
// version it is (`strings`, a packager's checks): it has no version resource, and the program
// prints nothing. Nothing reads it, so it is kept by its attributes, through the compiler and
// through a linker that collects unused sections. The build gives CALENDARIO_VERSION.
[[gnu::used, gnu::retain]] extern const char kVersion[] = "calendario " CALENDARIO_VERSION;
