#pragma once

#include <sys/types.h>

#include <string>

// Processor time (user + system) this process has used so far, all threads, in ms.
double ProcessCpuMs();
// Times the threads of this process have given up the processor to wait (wake-ups), so far.
long ProcessWaits();
// Resident set size of a process (this one by default) from /proc/PID/status, in KiB;
// -1 when it cannot be read.
long ResidentKib(pid_t pid = 0);
// The machine in one line: processors, CPU model and memory.
std::string MachineSummary();
