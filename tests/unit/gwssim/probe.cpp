// A tool made only to exercise the frame: it does exactly what its arguments say.
//   --print TEXT        TEXT on stdout
//   --write FILE TEXT   FILE replaced by TEXT (a named output file)
//   --mark NAME         creates NAME in the domain folder (work done on the "Google" side)
//   --exit N            returns N
// Anything else is ignored, so any argv can be logged.
#include <gwssim/cli.h>
#include <gwssim/state.h>
#include <gwssim/toolrun.h>

#include <cstdlib>
#include <cstring>

namespace {

int Probe_Body(int argc, char** argv) {
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--print") == 0 && i + 1 < argc) {
            Gwssim_Print(argv[++i]);
        } else if (strcmp(argv[i], "--write") == 0 && i + 2 < argc) {
            Gwssim_Write_File(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (strcmp(argv[i], "--mark") == 0 && i + 1 < argc) {
            Gwssim_Write_File(Gwssim_Root() + "/" + argv[++i], "done\n");
        } else if (strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
            status = atoi(argv[++i]);
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) { return Gwssim_Tool_Main("probe", argc, argv, Probe_Body); }
