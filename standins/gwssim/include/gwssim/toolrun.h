// The frame every tool stand-in runs in: call log and fault injection.
//
//   int main(int argc, char** argv) { return Gwssim_Tool_Main("scoutix", argc, argv, Scoutix_Body); }
//
// Gwssim_Tool_Main, in the state folder of Gwssim_Root():
//  1. restores default handling of SIGTERM, SIGINT and SIGPIPE (a kill ends the tool at once);
//  2. appends the call to calls.jsonl (tool, argv as a JSON array, pid, pgid, ppid, time);
//  3. counts the call against every rule of faults.json whose tool and match texts fit it, and
//     takes the first rule that fires (see the gwssim CLI: fault add --tool --match --action
//     [--times N] [--skip N] [--exit N] [--ms N]);
//  4. runs body, or in its place what the rule says:
//       fail        stderr "ERROR: 500: backendError", exit N (default 1), nothing done
//       conn        stderr "ERROR: Connection error: ...", exit N (default 3, GAM's; 0 allowed), nothing done
//       unreachable stderr "ERROR: Unable to find the server at HOST", exit N (default 5, GAM's once a
//                   name lookup or HTTP call has failed through its retries), nothing done; HOST is
//                   the first API the real tool reaches for: admin.googleapis.com for gam's `user ...`,
//                   calendar-json.googleapis.com for its `calendar(s) ...`, www.googleapis.com otherwise
//       empty       exit 0 with nothing on stdout, nothing done
//       hang        blocks until killed; hang_noterm also ignores SIGTERM
//       truncate    body runs; its stdout and the files it wrote are cut to half their bytes, exit 0
//       garbage     body runs; its stdout and the files it wrote are replaced by text that is neither
//                   CSV nor JSON, exit 0
//       fail_after  body runs (its writes to the domain stay); stdout dropped, files it wrote
//                   removed, stderr "ERROR: 500: backendError", exit N (default 1)
//       conn_after  the same with the connection-error line (exit N, default 3)
//       delay       body runs as usual after a pause of --ms N milliseconds (a slow tool)
//  5. appends the exit status to calls.jsonl and returns it.
// "Files it wrote" are argv items that name a regular file the body created or replaced.
// Without a state folder the call is neither logged nor faulted; body still runs.
#pragma once

int Gwssim_Tool_Main(const char* tool, int argc, char** argv, int (*body)(int argc, char** argv));
