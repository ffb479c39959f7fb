#include "qlm_deamon/scheduler.h"

int main(int argc, char** argv) { return qlm::Daemon_Main(argc, argv); }
