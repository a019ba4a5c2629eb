#pragma once
// kadrix-nights: runs kadrix on many nights (one list each) through GNU
// parallel on this machine or over ssh, or as Slurm array tasks; each
// night locked, its transcript replaced only once kadrix has ended, its
// state kept in a status file the summary and --resume read.

namespace kadrix::nights {

// Exit statuses as every companion's (tools/common/cli.h): 0 when every
// night is ok or uwagi, 1 otherwise, 2 for a wrong call.
int run_nights(int argc, const char* const* argv);

}  // namespace kadrix::nights
