#ifndef QUARNET_DISPATCHER_H_
#define QUARNET_DISPATCHER_H_

/// Runs the command named by argv[1] with (argc - 1, argv + 1), or prints the usage; returns the exit status.
int Dispatch(int argc, char** argv);

#endif  // QUARNET_DISPATCHER_H_
