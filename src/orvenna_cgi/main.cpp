#include "orvenna_cgi/entry.h"

int main(int argc, char** argv) { return qlm::Orvenna_Main(argc, argv); }
