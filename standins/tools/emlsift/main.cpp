#include <gwssim/toolrun.h>

#include "emlsift.h"

int main(int argc, char** argv) { return Gwssim_Tool_Main("emlsift", argc, argv, Emlsift_Body); }
