// A shared library without the module entry, for the host's error path.
extern "C" int somethingElse() { return 1; }
