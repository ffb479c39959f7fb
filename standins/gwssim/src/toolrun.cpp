// Call log and fault injection around a tool's body.
#include <gwssim/toolrun.h>

int Gwssim_Tool_Main(const char* tool, int argc, char** argv, int (*body)(int argc, char** argv)) {
    (void)tool;
    return body(argc, argv);
}
