#ifndef PROPAGATE_PROGRAM_H_
#define PROPAGATE_PROGRAM_H_

/// The whole program for its arguments: returns the exit status, throws RunError on any failure.
int Run(int argc, char** argv);

#endif  // PROPAGATE_PROGRAM_H_
