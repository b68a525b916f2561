// Makes a COM port appear in, or vanish from, the system's list while programs run, as plugging
// in an adapter does: a DOS device name for a serial device the prefix already has.
// Usage: define-com-port.exe add COM12 \Device\Serial0 | define-com-port.exe remove COM12
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    const bool add = argc == 4 && std::strcmp(argv[1], "add") == 0;
    const bool remove = argc == 3 && std::strcmp(argv[1], "remove") == 0;
    if (!add && !remove) {
        std::fprintf(stderr, "usage: define-com-port add COMn DEVICE | remove COMn\n");
        return 2;
    }
    const BOOL done = add ? ::DefineDosDeviceA(DDD_RAW_TARGET_PATH, argv[2], argv[3])
                          : ::DefineDosDeviceA(DDD_REMOVE_DEFINITION, argv[2], nullptr);
    if (!done) {
        std::fprintf(stderr, "define-com-port: %s %s failed: error %lu\n", argv[1], argv[2],
                     ::GetLastError());
        return 1;
    }
    return 0;
}
