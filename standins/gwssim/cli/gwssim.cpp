// gwssim: the admin side of the simulated Workspace domain (tests and the demo only).
#include <gwssim/state.h>

#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    fprintf(stderr, "usage: gwssim init|key|dump|fault|calls DIR ...\n");
    return 2;
}
