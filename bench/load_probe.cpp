// A process that loads one shared library, as a host program loads the module, and ends.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2 || dlopen(argv[1], RTLD_LAZY) == nullptr) {
        std::fprintf(stderr, "load_probe: %s\n", argc == 2 ? dlerror() : "usage: load_probe LIBRARY");
        return 1;
    }
    return 0;
}
